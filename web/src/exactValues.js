import { exactPixels } from './api.js';

// The picture travels as half floats; the values the inspector and the
// eyedropper give are the exact float32 ones, fetched a tile around the
// pixel at a time and kept while the picture is.
const tileSize = 32;
const readers = new WeakMap();

function reader(image) {
  const tiles = new Map();
  return (x, y) => {
    const left = x - (x % tileSize), bottom = y - (y % tileSize);
    const width = Math.min(tileSize, image.width - left), height = Math.min(tileSize, image.height - bottom);
    const key = `${left} ${bottom}`;
    if (!tiles.has(key)) {
      const tile = exactPixels(image, left, bottom, width, height);
      tile.catch(() => tiles.delete(key));  // asked again next time
      tiles.set(key, tile);
    }
    return tiles.get(key).then((values) => {
      const at = ((y - bottom) * width + (x - left)) * 4;
      return Array.from(values.subarray(at, at + 4));
    });
  };
}

/// The exact R, G, B, A of pixel x, y (row 0 at the bottom) of a picture
/// `renderImage` gave.
export function exactPixel(image, x, y) {
  if (!readers.has(image)) readers.set(image, reader(image));
  return readers.get(image)(x, y);
}

// Float pictures to screen pixels: display-only exposure, gamma and channel
// choice, one pass over typed arrays into one ImageData.

const lutSize = 16384;
const gammaTables = new Map();

/// 8-bit display levels of 0..1 through 1/gamma, by lutSize steps.
function gammaTable(gamma) {
  let table = gammaTables.get(gamma);
  if (!table) {
    table = new Uint8Array(lutSize + 1);
    for (let i = 0; i <= lutSize; i++) table[i] = Math.round(255 * Math.pow(i / lutSize, 1 / gamma));
    gammaTables.set(gamma, table);
  }
  return table;
}

// Rec. 709 luma weights.
const lumaWeights = [0.2126, 0.7152, 0.0722];

/// Fills `target` (an ImageData of the picture's size) from `image`
/// ({width, height, pixels}: RGBA float32, bottom row first), top row first.
/// channel: 'rgb', 'r', 'g', 'b', 'a' or 'luma'. NaN shows as black.
export function toDisplay(image, target, { channel, exposure, gamma }) {
  const { width, height, pixels } = image;
  const out = new Uint32Array(target.data.buffer);
  const table = gammaTable(gamma);
  const scale = Math.pow(2, exposure) * lutSize;
  const level = (v) => {
    const t = v * scale;
    return table[t > 0 ? (t < lutSize ? t | 0 : lutSize) : 0];
  };
  const single = { r: 0, g: 1, b: 2, a: 3 }[channel];
  const [wr, wg, wb] = lumaWeights;
  for (let row = 0; row < height; row++) {
    let from = (height - 1 - row) * width * 4;
    let to = row * width;
    const end = to + width;
    if (channel === 'rgb') {
      for (; to < end; to++, from += 4)
        out[to] = 0xff000000 | (level(pixels[from + 2]) << 16) | (level(pixels[from + 1]) << 8) | level(pixels[from]);
    } else {
      for (; to < end; to++, from += 4) {
        const v = single === undefined
          ? wr * pixels[from] + wg * pixels[from + 1] + wb * pixels[from + 2]
          : pixels[from + single];
        out[to] = 0xff000000 | (level(v) * 0x010101);
      }
    }
  }
}

// Half-float pictures to screen pixels: display-only exposure, gamma and
// channel choice. The canvas fallback for when the browser offers no WebGL2:
// every one of the 65536 half values maps to its display level once per
// display setting, so a picture costs one table look-up per channel.

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

/// The value of every half float, by its 16 bits.
export const halfValues = (() => {
  const values = new Float32Array(65536);
  for (let bits = 0; bits < 65536; bits++) {
    const sign = bits & 0x8000 ? -1 : 1;
    const exponent = (bits >> 10) & 0x1f;
    const fraction = bits & 0x3ff;
    values[bits] = exponent === 0x1f ? (fraction ? NaN : sign * Infinity)
      : exponent === 0 ? sign * fraction * 2 ** -24
      : sign * (1024 + fraction) * 2 ** (exponent - 25);
  }
  return values;
})();

// Rec. 709 luma weights.
export const lumaWeights = [0.2126, 0.7152, 0.0722];

/// The display level of a value: exposure, then gamma; NaN and below 0 black.
function levelFunction({ exposure, gamma }) {
  const table = gammaTable(gamma);
  const scale = Math.pow(2, exposure) * lutSize;
  return (v) => {
    const t = v * scale;
    return table[t > 0 ? (t < lutSize ? t | 0 : lutSize) : 0];
  };
}

let halfLevels = { key: null, levels: null };

/// The display level of every half float, by its bits.
function halfLevelTable(display) {
  const key = `${display.exposure} ${display.gamma}`;
  if (halfLevels.key !== key) {
    const level = levelFunction(display);
    const levels = new Uint8Array(65536);
    for (let bits = 0; bits < 65536; bits++) levels[bits] = level(halfValues[bits]);
    halfLevels = { key, levels };
  }
  return halfLevels.levels;
}

/// Fills `target` (an ImageData of the picture's size) from `image`
/// ({width, height, halves}: RGBA half floats, bottom row first), top row
/// first. channel: 'rgb', 'r', 'g', 'b', 'a' or 'luma'.
export function toDisplay(image, target, display) {
  const { width, height, halves } = image;
  const out = new Uint32Array(target.data.buffer);
  const levels = halfLevelTable(display);
  const level = levelFunction(display);
  const single = { r: 0, g: 1, b: 2, a: 3 }[display.channel];
  const [wr, wg, wb] = lumaWeights;
  for (let row = 0; row < height; row++) {
    let from = (height - 1 - row) * width * 4;
    let to = row * width;
    const end = to + width;
    if (display.channel === 'rgb') {
      for (; to < end; to++, from += 4)
        out[to] = 0xff000000 | (levels[halves[from + 2]] << 16) | (levels[halves[from + 1]] << 8) | levels[halves[from]];
    } else if (single !== undefined) {
      for (; to < end; to++, from += 4) out[to] = 0xff000000 | (levels[halves[from + single]] * 0x010101);
    } else {
      for (; to < end; to++, from += 4) {
        const v = wr * halfValues[halves[from]] + wg * halfValues[halves[from + 1]] + wb * halfValues[halves[from + 2]];
        out[to] = 0xff000000 | (level(v) * 0x010101);
      }
    }
  }
}

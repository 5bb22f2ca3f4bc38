// The scopes' counts: a histogram per channel and of luminance, and a
// waveform, of RGBA float pixels. A value below the range shown is counted
// in the first bin, one above it in the last (so clipped values show as a
// spike at the edge); NaN has no place and is not counted.

/// The value of every half float, by its 16 bits: the picture the page
/// holds arrives as half floats.
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
const lumaWeights = [0.2126, 0.7152, 0.0722];

/// The bin of `value` among `bins` equal bins over min..max (max in the
/// last), values outside counted at the ends; -1 for NaN.
export function binOf(value, min, max, bins) {
  if (Number.isNaN(value)) return -1;
  const bin = Math.floor(((value - min) / (max - min)) * bins);
  return bin < 0 ? 0 : bin >= bins ? bins - 1 : bin;
}

/// Rec. 709 luminance of linear R, G, B.
export const luminance = (r, g, b) => lumaWeights[0] * r + lumaWeights[1] * g + lumaWeights[2] * b;

/// Counts of R, G, B and luminance of `rgba` (R, G, B, A interleaved) in
/// `bins` bins over min..max: {r, g, b, luma}, each a Uint32Array.
export function histogram(rgba, { bins = 256, min = 0, max = 1 } = {}) {
  const counts = { r: new Uint32Array(bins), g: new Uint32Array(bins), b: new Uint32Array(bins),
                   luma: new Uint32Array(bins) };
  const count = (array, value) => {
    const bin = binOf(value, min, max, bins);
    if (bin >= 0) array[bin]++;
  };
  for (let i = 0; i < rgba.length; i += 4) {
    count(counts.r, rgba[i]);
    count(counts.g, rgba[i + 1]);
    count(counts.b, rgba[i + 2]);
    count(counts.luma, luminance(rgba[i], rgba[i + 1], rgba[i + 2]));
  }
  return counts;
}

/// A waveform of the `width` x `height` pixels of `rgba` (row 0 at the
/// bottom): for each of `columns` columns of the picture (picture column x
/// in column floor(x * columns / width)), the counts of its values in
/// `levels` bins over min..max, level 0 the lowest: a Uint32Array of
/// columns x levels, column by column. `channel`: 'luma', or 0, 1, 2 for
/// R, G, B (an RGB parade is three of them side by side).
export function waveform(rgba, width, height, { columns = width, levels = 256, min = 0, max = 1, channel = 'luma' } = {}) {
  const counts = new Uint32Array(columns * levels);
  for (let y = 0; y < height; y++)
    for (let x = 0; x < width; x++) {
      const i = (y * width + x) * 4;
      const value = channel === 'luma' ? luminance(rgba[i], rgba[i + 1], rgba[i + 2]) : rgba[i + channel];
      const level = binOf(value, min, max, levels);
      if (level >= 0) counts[Math.floor((x * columns) / width) * levels + level]++;
    }
  return counts;
}

/// The drawn height (0..1) of a count against the largest, by count or by
/// log(1 + count).
export const barHeight = (count, peak, log) =>
  peak === 0 ? 0 : log ? Math.log1p(count) / Math.log1p(peak) : count / peak;

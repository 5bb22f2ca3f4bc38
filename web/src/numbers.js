// Numbers as the page shows them.

/// The shortest text that reads back as the same float32: the inspector
/// shows pixels exactly, without the digits a double would add.
export function formatFloat32(value) {
  if (!Number.isFinite(value)) return formatNumber(value);
  const single = Math.fround(value);
  if (Object.is(single, -0)) return '-0';
  for (let digits = 1; digits < 9; digits++) {
    const text = String(Number(single.toPrecision(digits)));
    if (Math.fround(Number(text)) === single) return text;
  }
  return String(Number(single.toPrecision(9)));
}

/// A double as the page shows it, non-finite numbers as `qz` prints them.
export function formatNumber(value) {
  if (Number.isNaN(value)) return 'nan';
  if (!Number.isFinite(value)) return value > 0 ? 'inf' : '-inf';
  return String(value);
}

const nonFinite = { nan: NaN, inf: Infinity, '-inf': -Infinity };

/// A read-out value from the server, where non-finite numbers come as text.
export function readoutNumber(value) {
  return typeof value === 'number' ? value : nonFinite[value] ?? NaN;
}

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { formatFloat32, readoutNumber } from '../src/numbers.js';

test('float32 values print shortest and read back as the same float', () => {
  const cases = [
    [Math.fround(0.1), '0.1'],
    [Math.fround(8.454664), '8.454664'],
    [Math.fround(1 / 3), '0.33333334'],
    [1.401298464324817e-45, '1e-45'],           // the smallest denormal
    [3.4028234663852886e38, '3.4028235e+38'],    // the largest float
    [16777217, '16777216'],                      // rounds to float first
    [-0, '-0'],
    [NaN, 'nan'],
    [Infinity, 'inf'],
    [-Infinity, '-inf'],
  ];
  for (const [value, text] of cases) {
    assert.equal(formatFloat32(value), text);
    if (Number.isFinite(value)) assert.ok(Object.is(Math.fround(Number(text)), Math.fround(value)), text);
  }
});

test('read-outs take the server\'s texts for non-finite numbers', () => {
  assert.deepEqual(['inf', '-inf', 'nan', 2.5].map(readoutNumber), [Infinity, -Infinity, NaN, 2.5]);
});

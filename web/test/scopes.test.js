import assert from 'node:assert/strict';
import { test } from 'node:test';
import { barHeight, binOf, histogram, luminance, waveform } from '../src/scopes.js';

test('a value falls in its bin; outside the range at the ends; NaN nowhere', () => {
  const cases = [  // value, min, max, bins, bin
    [0, 0, 1, 4, 0], [0.2499, 0, 1, 4, 0], [0.25, 0, 1, 4, 1], [0.5, 0, 1, 4, 2], [1, 0, 1, 4, 3],
    [-0.5, 0, 1, 4, 0], [2, 0, 1, 4, 3], [-Infinity, 0, 1, 4, 0], [Infinity, 0, 1, 4, 3], [NaN, 0, 1, 4, -1],
    [0, -1, 3, 4, 1], [2.99, -1, 3, 4, 3], [0.2126, 0, 1, 256, 54],
  ];
  for (const [value, min, max, bins, bin] of cases) assert.equal(binOf(value, min, max, bins), bin, `${value} in ${min}..${max}`);
});

test('luminance weighs R, G, B by Rec. 709', () => {
  assert.equal(luminance(1, 0, 0), 0.2126);
  assert.equal(luminance(0, 1, 0), 0.7152);
  assert.equal(luminance(0, 0, 1), 0.0722);
});

test('a histogram counts each channel and the luminance of every pixel', () => {
  // Luminance: 0.2126, 0.55788, NaN (dropped), 0.4649.
  const rgba = new Float32Array([1, 0, 0, 1, 0.3, 0.6, 0.9, 1, -0.5, 2, NaN, 1, 0.25, 0.5, 0.75, 1]);
  const counts = histogram(rgba, { bins: 4, min: 0, max: 1 });
  assert.deepEqual(Object.fromEntries(Object.entries(counts).map(([key, array]) => [key, [...array]])),
                   { r: [1, 2, 0, 1], g: [1, 0, 2, 1], b: [1, 0, 0, 2], luma: [1, 1, 1, 0] });
});

test('a waveform counts the levels of each column', () => {
  // 2 x 2, bottom row first: grey 0.1, R-only 0.9 / grey 0.7, grey 0.8.
  const rgba = new Float32Array([0.1, 0.1, 0.1, 1, 0.9, 0, 0, 1, 0.7, 0.7, 0.7, 1, 0.8, 0.8, 0.8, 1]);
  const cases = [  // settings, counts column by column, level 0 first
    [{ channel: 0 }, [1, 1, 0, 2]],
    [{ channel: 1 }, [1, 1, 1, 1]],
    [{ channel: 'luma' }, [1, 1, 1, 1]],  // 0.9 red is 0.19134
    [{ channel: 0, columns: 1 }, [1, 3]],
  ];
  for (const [settings, expected] of cases)
    assert.deepEqual([...waveform(rgba, 2, 2, { levels: 2, ...settings })], expected, JSON.stringify(settings));
});

test('bars are drawn by count or by log count against the peak', () => {
  const cases = [[10, 100, false, 0.1], [9, 99, true, 0.5], [0, 99, true, 0], [99, 99, true, 1], [0, 0, false, 0]];
  for (const [count, peak, log, height] of cases)
    assert.ok(Math.abs(barHeight(count, peak, log) - height) < 1e-12, `${count} of ${peak}`);
});

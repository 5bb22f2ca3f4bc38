import assert from 'node:assert/strict';
import { test } from 'node:test';
import { halfValues, toDisplay } from '../src/display.js';

test('half floats decode to their values, zeros, denormals, infinities and NaN among them', () => {
  const cases = [
    [0x0000, 0], [0x8000, -0], [0x0001, 2 ** -24], [0x03ff, 1023 * 2 ** -24], [0x0400, 2 ** -14],
    [0x3c00, 1], [0x3c01, 1 + 2 ** -10], [0xc000, -2], [0x3555, 0.333251953125], [0x7bff, 65504],
    [0x7c00, Infinity], [0xfc00, -Infinity], [0x7e00, NaN], [0x7c01, NaN], [0xffff, NaN],
  ];
  for (const [bits, value] of cases) assert.ok(Object.is(halfValues[bits], value), `0x${bits.toString(16)}`);
});

// 2 x 2, bottom row first: [1, 0.5, 0.25, 1] [NaN, inf, -1, 0.5] / [0, 0, 0, 0] [0.25 x 4].
const picture = {
  width: 2, height: 2,
  halves: new Uint16Array([0x3c00, 0x3800, 0x3400, 0x3c00, 0x7e00, 0x7c00, 0xbc00, 0x3800,
                           0, 0, 0, 0, 0x3400, 0x3400, 0x3400, 0x3400]),
};

test('pictures show top row first, through exposure, gamma and the channel chosen; NaN black', () => {
  const cases = [
    [{ channel: 'rgb', exposure: 0, gamma: 1 }, [[0, 0, 0], [64, 64, 64], [255, 128, 64], [0, 255, 0]]],
    [{ channel: 'rgb', exposure: 1, gamma: 1 }, [[0, 0, 0], [128, 128, 128], [255, 255, 128], [0, 255, 0]]],
    [{ channel: 'rgb', exposure: 0, gamma: 2 }, [[0, 0, 0], [128, 128, 128], [255, 180, 128], [0, 255, 0]]],
    [{ channel: 'g', exposure: 0, gamma: 1 }, [[0, 0, 0], [64, 64, 64], [128, 128, 128], [255, 255, 255]]],
    [{ channel: 'a', exposure: 0, gamma: 1 }, [[0, 0, 0], [64, 64, 64], [255, 255, 255], [128, 128, 128]]],
    [{ channel: 'luma', exposure: 0, gamma: 1 }, [[0, 0, 0], [64, 64, 64], [150, 150, 150], [0, 0, 0]]],
  ];
  for (const [display, rgb] of cases) {
    const target = { data: new Uint8ClampedArray(2 * 2 * 4) };
    toDisplay(picture, target, display);
    assert.deepEqual(Array.from(target.data), rgb.flatMap((pixel) => [...pixel, 255]), JSON.stringify(display));
  }
});

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { editedAt, moveKey, neighbourKey, nodeKeyFrames, removeKey, setKey } from '../src/animation.js';

const keyed = { keys: [{ frame: 1, value: 5 }, { frame: 10, value: 8, interpolation: 'smooth' }], after: 'linear' };

test('a key set at a frame: a new one in frame order, or a new value for the one there', () => {
  const cases = [
    [3, { frame: 1, value: 2 }, { keys: [{ frame: 1, value: 2 }] }],
    [{ expression: 'frame' }, { frame: 4, value: 2 }, { keys: [{ frame: 4, value: 2 }] }],
    [keyed, { frame: 5, value: 7 }, { ...keyed, keys: [keyed.keys[0], { frame: 5, value: 7 }, keyed.keys[1]] }],
    [keyed, { frame: 0, value: 7 }, { ...keyed, keys: [{ frame: 0, value: 7 }, ...keyed.keys] }],
    [keyed, { frame: 10, value: 9 }, { ...keyed, keys: [keyed.keys[0], { frame: 10, value: 9, interpolation: 'smooth' }] }],
  ];
  for (const [value, { frame, value: number }, expected] of cases)
    assert.deepEqual(setKey(value, frame, number), expected, JSON.stringify([value, frame]));
  assert.deepEqual(editedAt(3, 7, 4), 4, 'a still value stays still');
  assert.deepEqual(editedAt(keyed, 1, 6).keys[0], { frame: 1, value: 6 });
});

test('a key removed; the last one leaves its value still; a frame without a key changes nothing', () => {
  assert.deepEqual(removeKey(keyed, 1), { ...keyed, keys: [keyed.keys[1]] });
  assert.equal(removeKey({ keys: [{ frame: 2, value: 'Left' }] }, 2), 'Left');
  assert.equal(removeKey(keyed, 4), keyed);
});

test('a moved key stays between its neighbours', () => {
  const three = { keys: [{ frame: 0, value: 0 }, { frame: 5, value: 1 }, { frame: 6, value: 2 }] };
  const cases = [
    [1, 3, { frame: 3, value: 9 }],
    [1, 9, { frame: 5, value: 9 }],   // no whole frame between 5 and 6: it keeps its own
    [0, 8, { frame: 4, value: 9 }],   // a whole frame from the next key
    [2, 100, { frame: 100, value: 9 }],
  ];
  for (const [index, frame, expected] of cases)
    assert.deepEqual(moveKey(three, index, frame, 9).keys[index], expected, `key ${index} to ${frame}`);
  assert.equal(moveKey(three, 1, 5.9, 1, 1e-3).keys[1].frame, 5.9, 'off whole frames');
});

test('key frames of a node, and the key before and after a frame', () => {
  const node = { values: { a: keyed, b: { keys: [{ frame: 4, value: 1 }, { frame: 10, value: 2 }] }, c: 2 } };
  assert.deepEqual(nodeKeyFrames(node), [1, 4, 10]);
  assert.deepEqual([neighbourKey([1, 4, 10], 4, -1), neighbourKey([1, 4, 10], 4, 1), neighbourKey([1, 4, 10], 10, 1)],
                   [1, 10, null]);
});

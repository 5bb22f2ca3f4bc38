import assert from 'node:assert/strict';
import { test } from 'node:test';
import { KeptPictures } from '../src/KeptPictures.js';

// A picture of `bytes` bytes, as half floats or as display levels.
const halves = (bytes) => ({ halves: new Uint16Array(bytes / 2) });
const levels = (bytes) => ({ levels: new Uint8Array(bytes) });

test('the least recently shown views are dropped first beyond the budget, the latest never', () => {
  const cases = [
    // [key, primary, secondary] kept, or [key] shown again; the views left, oldest shown first
    { steps: [['a', halves(40)], ['b', halves(40)], ['c', levels(40)]], kept: ['b', 'c'] },
    { steps: [['a', halves(40)], ['b', halves(40)], ['a'], ['c', halves(40)]], kept: ['a', 'c'] },
    { steps: [['a', halves(20), levels(20)], ['b', halves(30), levels(30)]], kept: ['a', 'b'] },  // 40 + 60, within
    { steps: [['a', halves(20), levels(20)], ['b', halves(36), levels(36)]], kept: ['b'] },  // 40 + 72 > 100
    { steps: [['a', halves(20)], ['b', halves(200)]], kept: ['b'] },  // over the budget alone
    { steps: [['a', halves(50)], ['a', halves(50)], ['b', halves(50)]], kept: ['a', 'b'] },  // kept anew, counted once
    { steps: [['a', halves(40)], ['x']], kept: ['a'] },
  ];
  for (const { steps, kept } of cases) {
    const pictures = new KeptPictures(100);
    for (const [key, primary, secondary = null] of steps) {
      if (primary) pictures.keep(key, { primary, secondary });
      else pictures.get(key);
    }
    assert.deepEqual([...pictures.byKey.keys()], kept, JSON.stringify(steps.map((step) => step[0])));
  }
});

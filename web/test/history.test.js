import assert from 'node:assert/strict';
import { test } from 'node:test';
import { emptyHistory, nextRedo, nextUndo, record, redo, settle, undo } from '../src/History.js';

// States are plain numbers here: the history keeps whatever it is given.
function play(steps) {
  let history = emptyHistory(), state = 0;
  for (const [kind, label, merge] of steps) {
    if (kind === 'edit') {
      history = record(history, state, label, merge);
      state += 1;
    } else if (kind === 'settle') history = settle(history);
    else {
      const moved = (kind === 'undo' ? undo : redo)(history, state);
      if (moved) [history, state] = moved;
    }
  }
  return { state, undoLabel: nextUndo(history), redoLabel: nextRedo(history), steps: history.past.length };
}

test('undo and redo walk the edits back and forth, each edit one step', () => {
  const cases = [
    { steps: [['edit', 'a'], ['edit', 'b'], ['undo']], state: 1, undoLabel: 'a', redoLabel: 'b' },
    { steps: [['edit', 'a'], ['edit', 'b'], ['undo'], ['undo'], ['undo']], state: 0, undoLabel: null, redoLabel: 'a' },
    { steps: [['edit', 'a'], ['undo'], ['redo']], state: 1, undoLabel: 'a', redoLabel: null },
    { steps: [['edit', 'a'], ['undo'], ['edit', 'c']], state: 1, undoLabel: 'c', redoLabel: null },  // a new edit ends redo
    { steps: [['redo'], ['undo']], state: 0, undoLabel: null, redoLabel: null },
  ];
  for (const { steps, ...expected } of cases) {
    const { steps: _, ...got } = play(steps);
    assert.deepEqual(got, expected, JSON.stringify(steps));
  }
});

test('a drag (edits of one key in a row) is one step until it settles', () => {
  const drag = Array.from({ length: 20 }, () => ['edit', 'Zmax', 'value n Zmax']);
  assert.deepEqual(play([...drag, ['undo']]), { state: 0, undoLabel: null, redoLabel: 'Zmax', steps: 0 });
  assert.equal(play([...drag, ['settle'], ...drag]).steps, 2);
  assert.equal(play([...drag, ['edit', 'Fstop', 'value n Fstop'], ...drag]).steps, 3);
  assert.equal(play([...drag, ['undo'], ['redo'], ...drag]).steps, 2, 'an undo ends the gesture');
  assert.equal(play([['edit', 'move'], ['edit', 'move']]).steps, 2, 'edits without a key never merge');
});

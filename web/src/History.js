// The page's undo history: snapshots of the document (the flow and what was
// selected), each labelled with the edit that left it. Edits of one `merge`
// key in a row (a slider dragged, a field typed into) are one step until
// `settle` marks the end of the gesture. Nothing here touches a file.

export const emptyHistory = () => ({ past: [], future: [], mergeKey: null });

const limit = 200;  // steps kept

/// `before` (the state the edit changed) kept as the step `label` undoes.
export function record(history, before, label, merge = null) {
  if (merge !== null && merge === history.mergeKey && history.past.length)
    return { ...history, future: [] };
  const past = [...history.past, { state: before, label }].slice(-limit);
  return { past, future: [], mergeKey: merge };
}

/// Ends the gesture under way: the next edit is a step of its own.
export const settle = (history) => (history.mergeKey === null ? history : { ...history, mergeKey: null });

/// [history, state to show] going back one step from `current`, or null when there is none.
export function undo(history, current) {
  if (!history.past.length) return null;
  const step = history.past[history.past.length - 1];
  return [{ past: history.past.slice(0, -1), future: [...history.future, { state: current, label: step.label }],
            mergeKey: null }, step.state];
}

export function redo(history, current) {
  if (!history.future.length) return null;
  const step = history.future[history.future.length - 1];
  return [{ past: [...history.past, { state: current, label: step.label }], future: history.future.slice(0, -1),
            mergeKey: null }, step.state];
}

export const nextUndo = (history) => history.past[history.past.length - 1]?.label ?? null;
export const nextRedo = (history) => history.future[history.future.length - 1]?.label ?? null;

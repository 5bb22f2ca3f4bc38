import { useEffect, useMemo, useRef, useState } from 'react';
import { emptyHistory, nextRedo, nextUndo, record, redo, settle, undo } from './History.js';

/// The page's undo history (History.js) as a hook: a gesture ends when the
/// pointer is let go or a field is left.
export default function useHistory() {
  const history = useRef(emptyHistory());
  const [, setVersion] = useState(0);
  const update = (next) => {
    if (next === history.current) return;
    history.current = next;
    setVersion((version) => version + 1);
  };
  useEffect(() => {
    const end = () => update(settle(history.current));
    window.addEventListener('pointerup', end);
    window.addEventListener('focusout', end);
    return () => {
      window.removeEventListener('pointerup', end);
      window.removeEventListener('focusout', end);
    };
  }, []);
  return useMemo(() => {
    const step = (move) => (current) => {
      const moved = move(history.current, current);
      if (!moved) return null;
      update(moved[0]);
      return moved[1];
    };
    return {
      record: (before, label, merge) => update(record(history.current, before, label, merge)),
      undo: step(undo),
      redo: step(redo),
      clear: () => update(emptyHistory()),
      get undoLabel() { return nextUndo(history.current); },
      get redoLabel() { return nextRedo(history.current); },
    };
  }, []);
}

import { useEffect, useRef } from 'react';

/// The page's keys, as the help panel lists them.
export const shortcuts = [
  ['Ctrl+Z', 'undo'], ['Ctrl+Shift+Z, Ctrl+Y', 'redo'], ['Ctrl+S', 'save'],
  ['D', 'bypass the selected node, or enable it again'], ['Delete, Backspace', 'remove the selected nodes or link'],
  ['Ctrl+C, Ctrl+V', 'copy and paste the selected nodes'], ['Ctrl+D', 'duplicate the selected nodes'],
  ['Shift+click, Shift+drag', 'select several nodes, with a box'], ['F', 'fit the picture to the viewer'],
  ['1', 'show the picture at 1:1'], ['?', 'this list'],
];

const inField = (target) => target.closest?.('input, textarea, select, [contenteditable="true"]');

/// Calls `actions[name]` for the page's keys; in a text field only Ctrl+S
/// is taken, so that typing and the field's own undo stay the field's.
export function useShortcuts(actions) {
  const latest = useRef(actions);
  latest.current = actions;
  useEffect(() => {
    const onKey = (event) => {
      const control = event.ctrlKey || event.metaKey;
      const key = event.key.toLowerCase();
      const name = control && key === 's' ? 'save'
        : inField(event.target) || event.altKey ? null
        : control && key === 'z' ? (event.shiftKey ? 'redo' : 'undo')
        : control && key === 'y' ? 'redo'
        : control && key === 'c' ? 'copy'
        : control && key === 'v' ? 'paste'
        : control && key === 'd' ? 'duplicate'
        : control ? null
        : key === 'd' ? 'bypass'
        : key === 'f' ? 'fit'
        : key === '1' ? 'actualSize'
        : event.key === '?' ? 'help'
        : null;
      if (!name || !latest.current[name]) return;
      event.preventDefault();
      latest.current[name]();
    };
    window.addEventListener('keydown', onKey);
    return () => window.removeEventListener('keydown', onKey);
  }, []);
}

export function HelpPanel({ onClose }) {
  return (
    <div className="dialog help" data-testid="help">
      <h3>Keys</h3>
      <table><tbody>
        {shortcuts.map(([keys, what]) => <tr key={keys}><th>{keys}</th><td>{what}</td></tr>)}
      </tbody></table>
      <button onClick={onClose}>Close</button>
    </div>
  );
}

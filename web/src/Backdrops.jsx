import { createContext, memo, useContext, useRef, useState } from 'react';
import { NodeResizer, NodeToolbar } from '@xyflow/react';

/// What a backdrop or note calls back into the graph: `onChange(data,
/// changes, label)` with the members changed, `onRemove([data])`.
export const LayoutActions = createContext(null);

export const palette = ['#335', '#353', '#533', '#552', '#525', '#355', '#444'];

/// A backdrop or note as the undo list names it.
export const layoutName = ({ kind, item }) => (kind === 'backdrops' ? `backdrop${item.title ? ` ${item.title}` : ''}`
                                                                    : 'note');

/// Text edited in place: a double-click opens a field, Enter or leaving it
/// commits, Escape gives up; in a note Shift+Enter starts a new line.
function InPlaceText({ text, multiline, className, testId, onCommit }) {
  const [draft, setDraft] = useState(null);
  const cancelled = useRef(false);
  if (draft === null)
    return <div className={className} data-testid={testId} onDoubleClick={() => setDraft(text)}>{text}</div>;
  const Field = multiline ? 'textarea' : 'input';
  return (
    <Field className={`${className} nodrag nowheel`} data-testid={`${testId}-field`} autoFocus value={draft}
      onFocus={(e) => e.target.select()} onChange={(e) => setDraft(e.target.value)}
      onBlur={() => {
        if (!cancelled.current) onCommit(draft);
        cancelled.current = false;
        setDraft(null);
      }}
      onKeyDown={(e) => {
        if (e.key === 'Escape') cancelled.current = true;
        if (e.key === 'Escape' || (e.key === 'Enter' && !e.shiftKey)) {
          e.preventDefault();
          e.target.blur();
        }
      }} />
  );
}

/// The colours and the removal of the selected backdrop or note, above it.
function LayoutToolbar({ data }) {
  const { onChange, onRemove } = useContext(LayoutActions);
  return (
    // Over the graph's viewport (z-index 2 in React Flow's style), which holds the nodes: React Flow would put
    // it just above its node, and so under the viewport for a backdrop.
    <NodeToolbar className="layout-toolbar" style={{ zIndex: 3 }}>
      {palette.map((colour) => (
        <button key={colour} className={`swatch${data.item.colour === colour ? ' active' : ''}`}
          style={{ background: colour }} data-testid={`colour-${colour}`} title={colour}
          onClick={() => onChange(data, { colour }, `colour of ${layoutName(data)}`)} />
      ))}
      <button data-testid="remove-layout" title="Remove (Delete)" onClick={() => onRemove([data])}>×</button>
    </NodeToolbar>
  );
}

function Resizer({ data, selected, minWidth, minHeight }) {
  const { onChange } = useContext(LayoutActions);
  return (
    <NodeResizer isVisible={selected} minWidth={minWidth} minHeight={minHeight}
      onResizeEnd={(event, { x, y, width, height }) =>
        onChange(data, { x, y, width, height }, `resize ${layoutName(data)}`)} />
  );
}

/// A titled, coloured box drawn behind the nodes; it is grabbed by its
/// title, and its body lets clicks through to the pane.
function Backdrop({ data, selected }) {
  const { onChange } = useContext(LayoutActions);
  return (
    <div className="backdrop" style={{ background: data.item.colour }} data-testid={`backdrop-${data.index}`}>
      <Resizer data={data} selected={selected} minWidth={120} minHeight={60} />
      <LayoutToolbar data={data} />
      <InPlaceText className="backdrop-title" testId="backdrop-title" text={data.item.title ?? ''}
        onCommit={(title) => onChange(data, { title }, 'title of backdrop')} />
    </div>
  );
}

function Note({ data, selected }) {
  const { onChange } = useContext(LayoutActions);
  return (
    <div className="note" style={{ background: data.item.colour }} data-testid={`note-${data.index}`}>
      <Resizer data={data} selected={selected} minWidth={60} minHeight={30} />
      <LayoutToolbar data={data} />
      <InPlaceText className="note-text" testId="note-text" multiline text={data.item.text ?? ''}
        onCommit={(text) => onChange(data, { text }, 'text of note')} />
    </div>
  );
}

export const BackdropNode = memo(Backdrop);
export const NoteNode = memo(Note);

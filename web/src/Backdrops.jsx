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
function InPlaceText({ text, multiline, className, onCommit }) {
  const [draft, setDraft] = useState(null);
  const cancelled = useRef(false);
  if (draft === null)
    return <div className={className} data-testid={className} onDoubleClick={() => setDraft(text)}>{text}</div>;
  const Field = multiline ? 'textarea' : 'input';
  return (
    <Field className={`${className} nodrag nowheel`} data-testid={`${className}-field`} autoFocus value={draft}
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

// A backdrop is a titled, coloured box drawn behind the nodes, grabbed by
// its title, whose body lets clicks through to the pane; a note is a box of
// text. Each is sized by its handles when selected.
const kinds = {
  backdrops: { className: 'backdrop', field: 'title', multiline: false, minWidth: 120, minHeight: 60 },
  notes: { className: 'note', field: 'text', multiline: true, minWidth: 60, minHeight: 30 },
};

function LayoutItem({ data, selected }) {
  const { onChange } = useContext(LayoutActions);
  const { className, field, multiline, minWidth, minHeight } = kinds[data.kind];
  return (
    <div className={className} style={{ background: data.item.colour }} data-testid={`${className}-${data.index}`}>
      <NodeResizer isVisible={selected} minWidth={minWidth} minHeight={minHeight}
        onResizeEnd={(event, { x, y, width, height }) =>
          onChange(data, { x, y, width, height }, `resize ${layoutName(data)}`)} />
      <LayoutToolbar data={data} />
      <InPlaceText className={`${className}-${field}`} multiline={multiline} text={data.item[field] ?? ''}
        onCommit={(text) => onChange(data, { [field]: text }, `${field} of ${className}`)} />
    </div>
  );
}

/// The graph's node of a backdrop or a note.
export const LayoutNode = memo(LayoutItem);

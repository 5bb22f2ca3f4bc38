import { createContext, memo, useCallback, useContext, useEffect, useRef, useState } from 'react';
import { Background, Controls, Handle, Panel, Position, ReactFlow, applyNodeChanges } from '@xyflow/react';
import '@xyflow/react/dist/style.css';
import dagre from '@dagrejs/dagre';
import { LayoutActions, LayoutNode, layoutName, palette } from './Backdrops.jsx';
import {
  addLayout, backdropAround, imageInputs, isEnabled, layoutOf, lyingOn, movedBy, positionOf, removeLayout, setLink,
  setPlaces, updateLayout,
} from './flow.js';

// What the graph's nodes call back into the page.
const GraphActions = createContext(null);

const nodeWidth = 230;
const nodeHeight = (inputCount) => 44 + 30 * inputCount;

const baseName = (path) => path.split('/').pop();
const inputsOf = (tool) => (tool ? imageInputs(tool) : []);

function ToolNode({ id, data }) {
  const { onPickFile, onDisconnect } = useContext(GraphActions);
  const { tool, node, errors } = data;
  const nodeErrors = errors.filter((error) => !error.input);
  return (
    <div className={`tool-node${errors.length ? ' has-error' : ''}${isEnabled(node) ? '' : ' disabled'}`}
      data-testid={`node-${id}`} data-enabled={isEnabled(node) ? '1' : '0'}>
      <div className="tool-node-title">
        <span data-testid="node-name">{id}{isEnabled(node) ? '' : ' (bypassed)'}</span>
        <span className="tool-node-tool">{tool?.name ?? `unknown tool ${node.tool}`}</span>
      </div>
      {nodeErrors.map((error, i) => (
        <div className="node-error" key={i} data-testid="node-error">{error.message}</div>
      ))}
      {inputsOf(tool).map((input) => {
        const link = node.inputs?.[input.id];
        const inputErrors = errors.filter((error) => error.input === input.id);
        return (
          <div className="tool-node-input" key={input.id} data-testid={`input-${id}-${input.id}`}>
            <Handle type="target" position={Position.Left} id={input.id} />
            <span className="input-caption">{input.caption}{input.required ? '' : ' (optional)'}</span>
            {!link?.node && (
              <button className="nodrag link-file" data-testid="pick-file" title={link?.file ?? 'Connect a file'}
                onClick={() => onPickFile(id, input.id)}>
                {link?.file ? baseName(link.file) : 'file…'}
              </button>
            )}
            {link && (
              <button className="nodrag unlink" data-testid="unlink" title="Disconnect"
                onClick={() => onDisconnect(id, input.id)}>×</button>
            )}
            {inputErrors.map((error, i) => (
              <div className="node-error" key={i} data-testid="input-error">{error.message}</div>
            ))}
          </div>
        );
      })}
      <Handle type="source" position={Position.Right} id="Output" />
    </div>
  );
}

const nodeTypes = { tool: memo(ToolNode), backdrop: LayoutNode, note: LayoutNode };

// The graph's node type of the flow's backdrops and of its notes; their ids are the type and the index.
const layoutTypes = { backdrops: 'backdrop', notes: 'note' };
const layoutId = ({ kind, index }) => `${layoutTypes[kind]}:${index}`;
const isTool = (node) => node.type === 'tool';
// React Flow lifts a selected node by 1000: a selected backdrop still lies behind the nodes. Its body
// lets clicks through to the pane (studio.css gives its title and handles back theirs).
const backdropLook = { zIndex: -1001, style: { pointerEvents: 'none' } };
const newBackdropSize = { width: 400, height: 240 };
const newNoteSize = { width: 180, height: 32 };  // a note of one line, as studio.css draws it

const boxOf = (node) => ({ ...node.position, width: node.measured?.width ?? node.width ?? 0,
                           height: node.measured?.height ?? node.height ?? 0 });

/// Places the nodes that have no place yet, left to right in reading order.
function layout(flow, tools, placed) {
  const graph = new dagre.graphlib.Graph();
  graph.setGraph({ rankdir: 'LR', nodesep: 30, ranksep: 70 });
  graph.setDefaultEdgeLabel(() => ({}));
  for (const [name, node] of Object.entries(flow.nodes))
    graph.setNode(name, { width: nodeWidth, height: nodeHeight(inputsOf(tools[node.tool]).length) });
  for (const [name, node] of Object.entries(flow.nodes))
    for (const link of Object.values(node.inputs ?? {}))
      if (link.node && link.node in flow.nodes) graph.setEdge(link.node, name);
  dagre.layout(graph);
  const positions = {};
  for (const name of Object.keys(flow.nodes)) {
    const { x, y, width, height } = graph.node(name);
    positions[name] = placed[name] ?? { x: x - width / 2, y: y - height / 2 };
  }
  return positions;
}

function edgesOf(flow) {
  const edges = [];
  for (const [name, node] of Object.entries(flow.nodes))
    for (const [input, link] of Object.entries(node.inputs ?? {}))
      if (link.node && link.node in flow.nodes)
        edges.push({ id: `${link.node}->${name}.${input}`, source: link.node, sourceHandle: 'Output',
                     target: name, targetHandle: input });
  return edges;
}

/// The flow as a node graph: nodes are the flow's nodes, edges its node
/// links, placed where the flow says (a node without a place is laid out).
/// Every edit, a move included, goes back to the page as a flow change;
/// the nodes selected (Shift adds one, or a box) are reported to `onPicked`.
/// The flow's backdrops and notes are drawn among them; their edits go to
/// `onEdit(change, label)`, and dragging a backdrop carries what lies on it.
export default function FlowGraph({ flow, tools, errors, selected, layoutKey, onSelect, onConnect, onDisconnect,
                                    onRemove, onPickFile, onEdit, onPicked, hookRef }) {
  const [nodes, setNodes] = useState([]);
  const shown = useRef({ nodes, flow });
  shown.current = { nodes, flow };
  const [graph, setGraph] = useState(null);
  const pane = useRef(null);
  // During a backdrop's drag: where what it carries started, and where the node grabbed did.
  const carried = useRef(null);
  const nodeCount = Object.keys(flow.nodes).length;

  // A new layout key (an opened flow) lays every node out afresh.
  useEffect(() => setNodes([]), [layoutKey]);

  useEffect(() => {
    setNodes((previous) => {
      const known = Object.fromEntries(previous.map((node) => [node.id, node]));
      // What is being moved or sized keeps the place shown until the gesture ends.
      const moving = (id) => known[id]?.dragging || known[id]?.resizing || id in (carried.current?.starts ?? {});
      const placed = {};
      for (const [name, node] of Object.entries(flow.nodes)) {
        const place = moving(name) ? known[name].position : positionOf(node) ?? known[name]?.position;
        if (place) placed[name] = place;
      }
      const positions = layout(flow, tools, placed);
      // A node the page selects itself (added, pasted, undone to) is selected
      // alone; one selected in the graph keeps the others the graph selected.
      const alone = selected !== null && !known[selected]?.selected;
      // A backdrop or note picked in the graph leaves the page's node unselected there.
      const layoutPicked = previous.some((node) => !isTool(node) && node.selected);
      const layoutNodes = (kind, look) => layoutOf(flow, kind).map((item, index) => {
        const id = layoutId({ kind, index });
        const box = known[id]?.resizing ? boxOf(known[id]) : item;
        return {
          ...known[id], id, type: layoutTypes[kind], ...look,
          position: moving(id) ? known[id].position : { x: item.x, y: item.y },
          width: box.width, height: box.height,
          selected: Boolean(known[id]?.selected),
          data: { kind, index, item },
        };
      });
      return [...layoutNodes('backdrops', backdropLook), ...Object.entries(flow.nodes).map(([name, node]) => ({
        ...known[name],
        id: name,
        type: 'tool',
        position: positions[name],
        selected: (name === selected && !layoutPicked) ||
                  (!alone && Boolean(known[name]?.selected) && selected !== null),
        data: { node, tool: tools[node.tool], errors: errors.filter((error) => error.node === name) },
      })), ...layoutNodes('notes', {})];
    });
  }, [flow, tools, errors, selected, layoutKey]);

  // A node added or a flow opened: bring every node into view once they are measured.
  useEffect(() => {
    const frame = requestAnimationFrame(() => graph?.fitView({ maxZoom: 1 }));
    return () => cancelAnimationFrame(frame);
  }, [graph, nodeCount, layoutKey]);

  const pickedKey = nodes.filter((node) => isTool(node) && node.selected).map((node) => node.id).join('\n');
  useEffect(() => onPicked?.(pickedKey ? pickedKey.split('\n') : []), [pickedKey]);
  if (hookRef) hookRef.current = {
    /// Where the nodes the flow gives no place are shown.
    unplaced: () => Object.fromEntries(shown.current.nodes
      .filter((node) => node.id in shown.current.flow.nodes && !positionOf(shown.current.flow.nodes[node.id]))
      .map((node) => [node.id, node.position])),
  };

  const onNodesChange = useCallback((changes) => {
    for (const change of changes)
      if (change.type === 'select' && change.selected && change.id in shown.current.flow.nodes) onSelect(change.id);
    setNodes((current) => applyNodeChanges(changes.filter((change) => change.type !== 'remove'), current));
  }, [onSelect]);

  /// A new backdrop goes around the nodes selected, else in the middle of the view, as a note does.
  const add = (kind) => {
    const boxes = shown.current.nodes.filter((node) => node.selected).map(boxOf);
    const size = kind === 'backdrops' ? newBackdropSize : newNoteSize;
    const bounds = pane.current.getBoundingClientRect();
    const centre = graph.screenToFlowPosition({ x: bounds.x + bounds.width / 2, y: bounds.y + bounds.height / 2 });
    const middle = { x: Math.round(centre.x - size.width / 2), y: Math.round(centre.y - size.height / 2) };
    const item = kind === 'backdrops'
      ? { title: 'Backdrop', colour: palette[0], ...(boxes.length ? backdropAround(boxes) : { ...middle, ...size }) }
      : { text: 'Note', ...middle };
    onEdit((current) => addLayout(current, kind, item), `add ${layoutTypes[kind]}`);
  };

  /// Removes nodes `names`, backdrops and notes `items` (their data) and
  /// links `edges` as one step; the links of a node removed go with it.
  const remove = (names, items, edges = []) => {
    // Removed, a backdrop's or note's graph node is left unselected: the next one takes its id.
    const ids = new Set(items.map(layoutId));
    setNodes((current) => current.map((node) => (ids.has(node.id) ? { ...node, selected: false } : node)));
    const links = edges.filter((edge) => !names.includes(edge.source) && !names.includes(edge.target));
    const count = names.length + items.length + links.length;
    const only = names[0] ?? (items.length ? layoutName(items[0]) : null);
    const label = count !== 1 ? `remove ${count} items`
      : only ? `remove ${only}` : `disconnect ${links[0].target} ${links[0].targetHandle}`;
    const alongside = (flow) => Object.keys(layoutTypes).reduce(
      (next, kind) => removeLayout(next, kind, items.filter((data) => data.kind === kind).map((data) => data.index)),
      links.reduce((next, link) => setLink(next, link.target, link.targetHandle, null), flow));
    if (names.length) onRemove(names, label, alongside);
    else if (count) onEdit(alongside, label);
  };

  const onNodeDragStart = (event, node, dragged) => {
    const dragging = new Set(dragged.map((moved) => moved.id));
    const boxes = Object.fromEntries(shown.current.nodes.filter((other) => !dragging.has(other.id))
      .map((other) => [other.id, boxOf(other)]));
    const on = new Set(dragged.filter((moved) => moved.type === 'backdrop').flatMap((backdrop) =>
      lyingOn(boxOf(backdrop), boxes)));
    const starts = Object.fromEntries(shown.current.nodes.filter((other) => on.has(other.id))
      .map((other) => [other.id, other.position]));
    carried.current = on.size ? { starts, from: node.position } : null;
  };
  const carriedWith = (node) => carried.current
    ? movedBy(carried.current.starts, { x: node.position.x - carried.current.from.x,
                                        y: node.position.y - carried.current.from.y })
    : {};
  const onNodeDrag = (event, node) => {
    const places = carriedWith(node);
    if (Object.keys(places).length)
      setNodes((current) => current.map((other) => (other.id in places ? { ...other, position: places[other.id] } : other)));
  };
  // A drag is saved as one change, with what it carried.
  const onNodeDragStop = (event, node, dragged) => {
    const places = { ...carriedWith(node),
                     ...Object.fromEntries((dragged.length ? dragged : [node]).map((moved) => [moved.id, moved.position])) };
    carried.current = null;
    const byId = Object.fromEntries(shown.current.nodes.map((other) => [other.id, other]));
    const split = { nodes: {}, backdrops: {}, notes: {} };
    for (const [id, place] of Object.entries(places)) {
      const moved = byId[id];
      if (isTool(moved)) split.nodes[id] = place;
      else split[moved.data.kind][moved.data.index] = place;
    }
    const count = Object.keys(places).length;
    onEdit((current) => setPlaces(current, split),
           !isTool(node) ? `move ${layoutName(node.data)}` : count === 1 ? `move ${node.id}` : `move ${count} nodes`);
  };

  const actions = { onPickFile, onDisconnect };
  const layoutActions = {
    onChange: (data, changes, label) => onEdit((current) => updateLayout(current, data.kind, data.index, changes), label),
    onRemove: (items) => remove([], items),
  };
  return (
    <GraphActions.Provider value={actions}>
      <LayoutActions.Provider value={layoutActions}>
        <ReactFlow
          ref={pane}
          nodes={nodes}
          edges={edgesOf(flow)}
          nodeTypes={nodeTypes}
          onNodesChange={onNodesChange}
          onDelete={({ nodes: deleted, edges: links }) => remove(deleted.filter(isTool).map((node) => node.id),
                                                               deleted.filter((node) => !isTool(node)).map((node) => node.data),
                                                               links)}
          onConnect={({ source, target, targetHandle }) => onConnect(target, targetHandle, source)}
          onNodeDragStart={onNodeDragStart}
          onNodeDrag={onNodeDrag}
          onNodeDragStop={onNodeDragStop}
          deleteKeyCode={['Delete', 'Backspace']}
          multiSelectionKeyCode="Shift"
          selectionKeyCode="Shift"
          onPaneClick={() => onSelect(null)}
          onInit={setGraph}
          colorMode="dark"
          minZoom={0.2}
          // Places in whole units: a saved layout reads plainly, and a backdrop carries its nodes by its very offset.
          snapToGrid
          snapGrid={[1, 1]}
        >
          <Background />
          <Controls showInteractive={false} />
          <Panel position="top-right" className="graph-buttons">
            <button data-testid="add-backdrop" title="A backdrop around the selected nodes, else in the middle"
              onClick={() => add('backdrops')}>Backdrop</button>
            <button data-testid="add-note" onClick={() => add('notes')}>Note</button>
          </Panel>
        </ReactFlow>
      </LayoutActions.Provider>
    </GraphActions.Provider>
  );
}

import { createContext, memo, useCallback, useContext, useEffect, useRef, useState } from 'react';
import { Background, Controls, Handle, Position, ReactFlow, applyNodeChanges } from '@xyflow/react';
import '@xyflow/react/dist/style.css';
import dagre from '@dagrejs/dagre';
import { imageInputs, isEnabled, positionOf } from './flow.js';

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

const nodeTypes = { tool: memo(ToolNode) };

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
export default function FlowGraph({ flow, tools, errors, selected, layoutKey, onSelect, onConnect, onDisconnect,
                                    onRemove, onPickFile, onMove, onPicked, hookRef }) {
  const [nodes, setNodes] = useState([]);
  const shown = useRef({ nodes, flow });
  shown.current = { nodes, flow };
  const [graph, setGraph] = useState(null);
  const nodeCount = Object.keys(flow.nodes).length;

  // A new layout key (an opened flow) lays every node out afresh.
  useEffect(() => setNodes([]), [layoutKey]);

  useEffect(() => {
    setNodes((previous) => {
      const known = Object.fromEntries(previous.map((node) => [node.id, node]));
      const placed = {};
      for (const [name, node] of Object.entries(flow.nodes)) {
        const place = known[name]?.dragging ? known[name].position : positionOf(node) ?? known[name]?.position;
        if (place) placed[name] = place;
      }
      const positions = layout(flow, tools, placed);
      // A node the page selects itself (added, pasted, undone to) is selected
      // alone; one selected in the graph keeps the others the graph selected.
      const alone = selected !== null && !known[selected]?.selected;
      return Object.entries(flow.nodes).map(([name, node]) => ({
        ...known[name],
        id: name,
        type: 'tool',
        position: positions[name],
        selected: name === selected || (!alone && Boolean(known[name]?.selected) && selected !== null),
        data: { node, tool: tools[node.tool], errors: errors.filter((error) => error.node === name) },
      }));
    });
  }, [flow, tools, errors, selected, layoutKey]);

  // A node added or a flow opened: bring every node into view once they are measured.
  useEffect(() => {
    const frame = requestAnimationFrame(() => graph?.fitView({ maxZoom: 1 }));
    return () => cancelAnimationFrame(frame);
  }, [graph, nodeCount, layoutKey]);

  const pickedKey = nodes.filter((node) => node.selected).map((node) => node.id).join('\n');
  useEffect(() => onPicked?.(pickedKey ? pickedKey.split('\n') : []), [pickedKey]);
  if (hookRef) hookRef.current = {
    /// Where the nodes the flow gives no place are shown.
    unplaced: () => Object.fromEntries(shown.current.nodes
      .filter((node) => node.id in shown.current.flow.nodes && !positionOf(shown.current.flow.nodes[node.id]))
      .map((node) => [node.id, node.position])),
  };

  const onNodesChange = useCallback((changes) => {
    for (const change of changes) if (change.type === 'select' && change.selected) onSelect(change.id);
    setNodes((current) => applyNodeChanges(changes.filter((change) => change.type !== 'remove'), current));
  }, [onSelect]);

  const actions = { onPickFile, onDisconnect };
  return (
    <GraphActions.Provider value={actions}>
      <ReactFlow
        nodes={nodes}
        edges={edgesOf(flow)}
        nodeTypes={nodeTypes}
        onNodesChange={onNodesChange}
        onNodesDelete={(deleted) => deleted.forEach((node) => onRemove(node.id))}
        onEdgesDelete={(deleted) => deleted.forEach((edge) => onDisconnect(edge.target, edge.targetHandle))}
        onConnect={({ source, target, targetHandle }) => onConnect(target, targetHandle, source)}
        onNodeDragStop={(event, node, dragged) =>
          onMove(Object.fromEntries((dragged.length ? dragged : [node]).map((moved) => [moved.id, moved.position])))}
        deleteKeyCode={['Delete', 'Backspace']}
        multiSelectionKeyCode="Shift"
        selectionKeyCode="Shift"
        onPaneClick={() => onSelect(null)}
        onInit={setGraph}
        colorMode="dark"
        minZoom={0.2}
      >
        <Background />
        <Controls showInteractive={false} />
      </ReactFlow>
    </GraphActions.Provider>
  );
}

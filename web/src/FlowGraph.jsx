import { createContext, memo, useCallback, useContext, useEffect, useState } from 'react';
import { Background, Controls, Handle, Position, ReactFlow, applyNodeChanges } from '@xyflow/react';
import '@xyflow/react/dist/style.css';
import dagre from '@dagrejs/dagre';
import { imageInputs } from './flow.js';

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
    <div className={`tool-node${errors.length ? ' has-error' : ''}`} data-testid={`node-${id}`}>
      <div className="tool-node-title">
        <span data-testid="node-name">{id}</span>
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
/// links. Every edit goes back to the page as a flow change.
export default function FlowGraph({ flow, tools, errors, selected, layoutKey, onSelect, onConnect, onDisconnect,
                                    onRemove, onPickFile }) {
  const [nodes, setNodes] = useState([]);
  const [graph, setGraph] = useState(null);
  const nodeCount = Object.keys(flow.nodes).length;

  // A new layout key (an opened flow) lays every node out afresh.
  useEffect(() => setNodes([]), [layoutKey]);

  useEffect(() => {
    setNodes((previous) => {
      const known = Object.fromEntries(previous.map((node) => [node.id, node]));
      const positions = layout(flow, tools, Object.fromEntries(previous.map((node) => [node.id, node.position])));
      return Object.entries(flow.nodes).map(([name, node]) => ({
        ...known[name],
        id: name,
        type: 'tool',
        position: positions[name],
        selected: name === selected,
        data: { node, tool: tools[node.tool], errors: errors.filter((error) => error.node === name) },
      }));
    });
  }, [flow, tools, errors, selected, layoutKey]);

  // A node added or a flow opened: bring every node into view once they are measured.
  useEffect(() => {
    const frame = requestAnimationFrame(() => graph?.fitView({ maxZoom: 1 }));
    return () => cancelAnimationFrame(frame);
  }, [graph, nodeCount, layoutKey]);

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

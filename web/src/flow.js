// The flow document as `qz flow` reads it ({"nodes": {...}, "save": [...]}),
// changed only through these helpers so every edit keeps it valid JSON for
// the server. Node positions are not part of it: the server's flow parser
// refuses unknown keys, so the graph lays itself out.

export const emptyFlow = () => ({ nodes: {} });

export const isImageInput = (input) => input.attributes.DataType === 'Image';
export const imageInputs = (tool) => tool.inputs.filter(isImageInput);

/// A number the tool writes back after rendering: shown, never set.
export const isReadout = (input) => input.attributes.DataType === 'Number' && input.attributes.Flag000A === 1;

/// The value a control shows: the flow's, else the declaration's default.
export function valueOf(node, input) {
  if (node.values && input.id in node.values) return node.values[input.id];
  const { Default, DefaultId } = input.attributes;
  return input.attributes.DataType === 'FuID' ? DefaultId : Default;
}

function withNode(flow, name, change) {
  return { ...flow, nodes: { ...flow.nodes, [name]: change(flow.nodes[name]) } };
}

export function uniqueName(flow, base) {
  for (let n = 1; ; n++) if (!(`${base}${n}` in flow.nodes)) return `${base}${n}`;
}

export function addNode(flow, toolName) {
  const name = uniqueName(flow, toolName);
  return [{ ...flow, nodes: { ...flow.nodes, [name]: { tool: toolName, values: {}, inputs: {} } } }, name];
}

export function removeNode(flow, name) {
  const nodes = {};
  for (const [other, node] of Object.entries(flow.nodes)) {
    if (other === name) continue;
    const inputs = Object.fromEntries(Object.entries(node.inputs ?? {}).filter(([, link]) => link.node !== name));
    nodes[other] = { ...node, inputs };
  }
  return withSaves({ ...flow, nodes }, (flow.save ?? []).filter((save) => save.node !== name));
}

/// Renames a node and every link and save that names it; the node keeps its
/// place in the document.
export function renameNode(flow, from, to) {
  const rename = (name) => (name === from ? to : name);
  const nodes = {};
  for (const [name, node] of Object.entries(flow.nodes)) {
    const inputs = Object.fromEntries(
      Object.entries(node.inputs ?? {}).map(([id, link]) => [id, link.node ? { node: rename(link.node) } : link]),
    );
    nodes[rename(name)] = { ...node, inputs };
  }
  return withSaves({ ...flow, nodes }, (flow.save ?? []).map((save) => ({ ...save, node: rename(save.node) })));
}

export const setValue = (flow, name, id, value) =>
  withNode(flow, name, (node) => ({ ...node, values: { ...node.values, [id]: value } }));

export const setValues = (flow, name, values) =>
  withNode(flow, name, (node) => ({ ...node, values: { ...node.values, ...values } }));

/// Connects an image input to {"file": PATH} or {"node": NAME}; null disconnects it.
export const setLink = (flow, name, id, link) =>
  withNode(flow, name, (node) => {
    const inputs = { ...node.inputs };
    if (link) inputs[id] = link;
    else delete inputs[id];
    return { ...node, inputs };
  });

/// Where the flow writes a node's output: one entry per node; an empty path removes it.
export function setSavePath(flow, name, file) {
  const saves = flow.save ?? [];
  const current = saves.find((save) => save.node === name);
  const others = saves.filter((save) => save !== current);
  return withSaves(flow, file ? [...others, { ...current, node: name, file }] : others);
}

function withSaves(flow, saves) {
  const { save, ...rest } = flow;
  return saves.length ? { ...rest, save: saves } : rest;
}

/// A root-relative path as seen from the open flow's folder, which the server
/// takes a flow's relative paths from.
export function relativeTo(dir, path) {
  const from = dir ? dir.split('/') : [];
  const to = path.split('/');
  let common = 0;
  while (common < from.length && common < to.length - 1 && from[common] === to[common]) common++;
  return [...from.slice(common).map(() => '..'), ...to.slice(common)].join('/');
}

export const folderOf = (path) => (path && path.includes('/') ? path.slice(0, path.lastIndexOf('/')) : '');

/// The part of the flow that `names` read, directly or not, without saves
/// but with its "fps", which expressions count time in: what a render of
/// them needs, so a fault elsewhere in the flow does not stop the viewer.
export function upstreamFlow(flow, names) {
  const needed = new Set();
  const visit = (name) => {
    if (needed.has(name) || !(name in flow.nodes)) return;
    needed.add(name);
    for (const link of Object.values(flow.nodes[name].inputs ?? {})) if (link.node) visit(link.node);
  };
  names.forEach(visit);
  return { ...('fps' in flow ? { fps: flow.fps } : {}),
           nodes: Object.fromEntries(Object.entries(flow.nodes).filter(([name]) => needed.has(name))) };
}

// The flow document as `qz flow` reads it ({"nodes": {...}, "save": [...]}),
// changed only through these helpers so every edit keeps it valid JSON for
// the server. The graph's layout rides in the "studio" members the engine
// ignores: each node's position under its own, backdrops and notes under
// the flow's.

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

/// Bypasses a node (its output is then its main input's picture) or enables it again.
export const setEnabled = (flow, name, enabled) =>
  withNode(flow, name, (node) => {
    const { enabled: _, ...rest } = node;
    return enabled ? rest : { ...rest, enabled: false };
  });

export const isEnabled = (node) => node.enabled !== false;

export const positionOf = (node) => {
  const position = node.studio?.position;
  return position && Number.isFinite(position.x) && Number.isFinite(position.y) ? position : null;
};

/// Places nodes: `positions` by node name, {x, y} each.
export function setPositions(flow, positions) {
  const nodes = { ...flow.nodes };
  for (const [name, { x, y }] of Object.entries(positions))
    if (name in nodes) nodes[name] = { ...nodes[name], studio: { ...nodes[name].studio, position: { x, y } } };
  return { ...flow, nodes };
}

/// The flow's backdrops or notes (`kind` "backdrops" or "notes"): {x, y,
/// width, height, title, colour} and {x, y, text} with optional width,
/// height and colour.
export const layoutOf = (flow, kind) => flow.studio?.[kind] ?? [];

// A kind left empty leaves the document, and so does a "studio" member left empty.
function withLayout(flow, kind, items) {
  const { [kind]: _, ...others } = flow.studio ?? {};
  const studio = items.length ? { ...others, [kind]: items } : others;
  if (Object.keys(studio).length) return { ...flow, studio };
  const { studio: __, ...rest } = flow;
  return rest;
}

export const addLayout = (flow, kind, item) => withLayout(flow, kind, [...layoutOf(flow, kind), item]);

export const updateLayout = (flow, kind, index, changes) =>
  withLayout(flow, kind, layoutOf(flow, kind).map((item, i) => (i === index ? { ...item, ...changes } : item)));

export const removeLayout = (flow, kind, indices) =>
  withLayout(flow, kind, layoutOf(flow, kind).filter((_, i) => !indices.includes(i)));

/// Places nodes, backdrops and notes at once: `places` holds {x, y} by
/// node name under "nodes", by index under "backdrops" and "notes".
export function setPlaces(flow, { nodes = {}, ...layout }) {
  let next = setPositions(flow, nodes);
  for (const [kind, places] of Object.entries(layout))
    for (const [index, { x, y }] of Object.entries(places)) next = updateLayout(next, kind, Number(index), { x, y });
  return next;
}

const backdropMargin = 20;
const backdropTitleRoom = 30;

/// A backdrop's box around `boxes` ({x, y, width, height} each), with room for its title.
export function backdropAround(boxes) {
  const x = Math.min(...boxes.map((box) => box.x)) - backdropMargin;
  const y = Math.min(...boxes.map((box) => box.y)) - backdropMargin - backdropTitleRoom;
  return { x, y, width: Math.max(...boxes.map((box) => box.x + box.width)) + backdropMargin - x,
           height: Math.max(...boxes.map((box) => box.y + box.height)) + backdropMargin - y };
}

/// The ids of `boxes` (by id) that lie wholly on `backdrop`: what dragging it carries along.
export const lyingOn = (backdrop, boxes) => Object.keys(boxes).filter((id) => {
  const box = boxes[id];
  return box.x >= backdrop.x && box.y >= backdrop.y && box.x + box.width <= backdrop.x + backdrop.width &&
         box.y + box.height <= backdrop.y + backdrop.height;
});

/// `places` ({x, y} by id), each moved by `offset`.
export const movedBy = (places, offset) => Object.fromEntries(Object.entries(places).map(([id, { x, y }]) =>
  [id, { x: x + offset.x, y: y + offset.y }]));

/// The nodes `names` as copied: their values, keys, bypass and layout, and
/// their links (saves are left: two nodes would write one file).
export function copyNodes(flow, names) {
  return { nodes: Object.fromEntries(names.filter((name) => name in flow.nodes)
    .map((name) => [name, structuredClone(flow.nodes[name])])) };
}

const pasteOffset = 40;

/// [flow, new names]: the copied nodes under names of their own, links
/// among them kept between the copies, links to other nodes kept where the
/// node is in `flow`, placed a little aside from the originals.
export function pasteNodes(flow, copied) {
  const names = {};
  let next = flow;
  for (const name of Object.keys(copied.nodes)) {
    names[name] = uniqueName(next, name.replace(/\d+$/, ''));
    next = { ...next, nodes: { ...next.nodes, [names[name]]: {} } };
  }
  const nodes = { ...flow.nodes };
  for (const [name, node] of Object.entries(copied.nodes)) {
    const inputs = {};
    for (const [id, link] of Object.entries(node.inputs ?? {}))
      if (!link.node) inputs[id] = link;
      else if (link.node in names) inputs[id] = { node: names[link.node] };
      else if (link.node in flow.nodes) inputs[id] = link;
    const position = positionOf(node);
    const studio = position ? { ...node.studio, position: { x: position.x + pasteOffset, y: position.y + pasteOffset } }
                            : node.studio;
    nodes[names[name]] = { ...structuredClone(node), inputs, ...(studio ? { studio } : {}) };
  }
  return [{ ...flow, nodes }, Object.values(names)];
}

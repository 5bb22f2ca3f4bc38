import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  addLayout, backdropAround, copyNodes, lyingOn, pasteNodes, relativeTo, removeLayout, removeNode, renameNode,
  setEnabled, setPlaces, setPositions, setSavePath, updateLayout, upstreamFlow,
} from '../src/flow.js';

const flow = {
  nodes: {
    remap: { tool: 'ZRemapper', values: {}, inputs: { Input: { file: 'seq/depth.####.exr' } } },
    divide: { tool: 'ZDevider', values: { Zmax: 3 }, inputs: { Input: { node: 'remap' } } },
    other: { tool: 'Normalizer', values: {}, inputs: {} },
  },
  save: [{ node: 'divide', file: 'out.exr', type: 'half' }],
};

test('renaming a node renames its links and saves', () => {
  const renamed = renameNode(flow, 'remap', 'near');
  assert.deepEqual(Object.keys(renamed.nodes), ['near', 'divide', 'other']);
  assert.deepEqual(renamed.nodes.divide.inputs.Input, { node: 'near' });
  assert.deepEqual(renameNode(flow, 'divide', 'd').save, [{ node: 'd', file: 'out.exr', type: 'half' }]);
});

test('removing a node removes its links and saves, and an empty save list', () => {
  const removed = removeNode(flow, 'divide');
  assert.deepEqual(Object.keys(removed.nodes), ['remap', 'other']);
  assert.equal('save' in removed, false);
  assert.deepEqual(removeNode(flow, 'remap').nodes.divide.inputs, {});
});

test('a save path replaces the node\'s entry and keeps its other keys; empty removes it', () => {
  assert.deepEqual(setSavePath(flow, 'divide', 'b.exr').save, [{ node: 'divide', file: 'b.exr', type: 'half' }]);
  assert.deepEqual(setSavePath(flow, 'remap', 'r.exr').save.map((save) => save.node), ['divide', 'remap']);
  assert.equal('save' in setSavePath(flow, 'divide', ''), false);
});

test('a render takes only the nodes the viewed one reads', () => {
  assert.deepEqual(Object.keys(upstreamFlow(flow, ['divide']).nodes), ['remap', 'divide']);
  assert.deepEqual(Object.keys(upstreamFlow(flow, ['other']).nodes), ['other']);
  assert.equal('save' in upstreamFlow(flow, ['divide']), false);
  assert.equal(upstreamFlow({ ...flow, fps: 25 }, ['other']).fps, 25, 'expressions count time in the flow\'s fps');
});

test('root-relative paths as seen from the flow\'s folder', () => {
  const cases = [
    ['', 'depth.exr', 'depth.exr'],
    ['flows', 'depth.exr', '../depth.exr'],
    ['flows', 'flows/depth.exr', 'depth.exr'],
    ['a/b', 'a/c/depth.exr', '../c/depth.exr'],
    ['seq', 'seqs/depth.exr', '../seqs/depth.exr'],
  ];
  for (const [dir, path, expected] of cases) assert.equal(relativeTo(dir, path), expected, `${dir} ${path}`);
});

test('bypass writes "enabled": false and enabling removes it; positions go under the node\'s "studio"', () => {
  const bypassed = setEnabled(flow, 'divide', false);
  assert.equal(bypassed.nodes.divide.enabled, false);
  assert.equal('enabled' in setEnabled(bypassed, 'divide', true).nodes.divide, false);
  const placed = setPositions({ ...flow, nodes: { ...flow.nodes, other: { ...flow.nodes.other, studio: { tag: 1 } } } },
                              { other: { x: 5, y: -2 }, gone: { x: 1, y: 1 } });
  assert.deepEqual(placed.nodes.other.studio, { tag: 1, position: { x: 5, y: -2 } });
  assert.equal('gone' in placed.nodes, false);
});

test('pasted nodes get names of their own and keep their values and the links among them', () => {
  const copied = copyNodes(setPositions(flow, { divide: { x: 10, y: 20 } }), ['remap', 'divide']);
  const [pasted, names] = pasteNodes(flow, copied);
  assert.deepEqual(names, ['remap1', 'divide1']);
  assert.deepEqual(pasted.nodes.divide1.inputs.Input, { node: 'remap1' });
  assert.deepEqual(pasted.nodes.remap1.inputs.Input, { file: 'seq/depth.####.exr' });
  assert.deepEqual(pasted.nodes.divide1.values, { Zmax: 3 });
  assert.deepEqual(pasted.nodes.divide1.studio.position, { x: 50, y: 60 });
  assert.deepEqual(pasted.save, flow.save, 'saves are not copied');
  // A link to a node outside the copy holds where that node is, and is dropped where it is not.
  const [into] = pasteNodes(flow, copyNodes(flow, ['divide']));
  assert.deepEqual(into.nodes.divide1.inputs.Input, { node: 'remap' });
  const [elsewhere] = pasteNodes({ nodes: {} }, copyNodes(flow, ['divide']));
  assert.deepEqual(elsewhere.nodes.divide1.inputs, {});
});

test('backdrops and notes go under the flow\'s "studio", which they leave when the last is removed', () => {
  const kept = { ...flow, studio: { zoom: 2 } };
  const added = addLayout(addLayout(kept, 'notes', { text: 'a', x: 1, y: 2 }), 'notes', { text: 'b', x: 3, y: 4 });
  assert.deepEqual(added.studio, { zoom: 2, notes: [{ text: 'a', x: 1, y: 2 }, { text: 'b', x: 3, y: 4 }] });
  assert.deepEqual(updateLayout(added, 'notes', 1, { colour: '#444' }).studio.notes[1], { text: 'b', x: 3, y: 4, colour: '#444' });
  assert.deepEqual(removeLayout(added, 'notes', [0, 1]), kept);
  assert.deepEqual(removeLayout(addLayout(flow, 'backdrops', { x: 0, y: 0 }), 'backdrops', [0]), flow);
  const placed = setPlaces(addLayout(added, 'backdrops', { title: 'T', x: 0, y: 0 }),
                           { nodes: { other: { x: 7, y: 8 } }, backdrops: { 0: { x: 5, y: 6 } }, notes: { 1: { x: 9, y: 9 } } });
  assert.deepEqual(placed.studio.backdrops, [{ title: 'T', x: 5, y: 6 }]);
  assert.deepEqual(placed.studio.notes.map(({ x, y }) => [x, y]), [[1, 2], [9, 9]]);
  assert.deepEqual(placed.nodes.other.studio.position, { x: 7, y: 8 });
});

test('a backdrop goes 20 around its nodes and 30 more above; what lies wholly on it is carried', () => {
  const boxes = { a: { x: 0, y: 0, width: 230, height: 60 }, b: { x: 100, y: 120, width: 230, height: 60 } };
  const backdrop = backdropAround(Object.values(boxes));
  assert.deepEqual(backdrop, { x: -20, y: -50, width: 370, height: 250 });
  const edge = { x: 330, y: 10, width: 20, height: 190 };  // touching its right and bottom edges, at 350 and 200
  const across = { x: 331, y: 10, width: 20, height: 10 };
  assert.deepEqual(lyingOn(backdrop, { ...boxes, edge, across }), ['a', 'b', 'edge']);
});

import assert from 'node:assert/strict';
import { test } from 'node:test';
import {
  copyNodes, pasteNodes, relativeTo, removeNode, renameNode, setEnabled, setPositions, setSavePath, upstreamFlow,
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

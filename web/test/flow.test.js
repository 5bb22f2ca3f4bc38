import assert from 'node:assert/strict';
import { test } from 'node:test';
import { relativeTo, removeNode, renameNode, setSavePath, upstreamFlow } from '../src/flow.js';

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

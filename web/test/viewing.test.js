import assert from 'node:assert/strict';
import { test } from 'node:test';
import { onDisplay } from '../src/viewing.js';

const config = { displays: [{ name: 'sRGB', views: ['ACES', 'Raw'] }, { name: 'P3', views: ['Film', 'Raw'] }, { name: 'Empty', views: [] }] };

test('a display keeps the view it offers too, else takes its first', () => {
  const viewing = { space: 'scene_linear', display: 'sRGB', view: 'Raw', look: '' };
  const cases = [['P3', 'Raw'], ['sRGB', 'Raw'], ['Empty', ''], ['Unknown', '']];
  for (const [display, view] of cases)
    assert.deepEqual(onDisplay(config, viewing, display), { ...viewing, display, view }, display);
  assert.equal(onDisplay(config, { ...viewing, view: 'ACES' }, 'P3').view, 'Film');
});

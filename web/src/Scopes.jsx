import { useEffect, useMemo, useRef, useState } from 'react';
import { barHeight, halfValues, histogram, waveform } from './scopes.js';

const bins = 256;
const size = { width: 512, height: 160 };
const colours = { r: '#f44', g: '#4d4', b: '#48f', luma: '#ddd' };

/// The floats of a picture the page was sent (half floats, of the region in
/// view at its step), R G B A interleaved, row 0 at the bottom.
function floatsOf(image) {
  const floats = new Float32Array(image.halves.length);
  for (let i = 0; i < floats.length; i++) floats[i] = halfValues[image.halves[i]];
  return floats;
}

const largest = (counts) => counts.reduce((a, b) => Math.max(a, b), 0);

function drawHistogram(canvas, counts, channels, log) {
  const context = canvas.getContext('2d');
  context.clearRect(0, 0, size.width, size.height);
  context.globalCompositeOperation = 'lighter';
  const peak = Math.max(0, ...channels.map((channel) => largest(counts[channel])));
  const barWidth = size.width / bins;
  for (const channel of channels) {
    context.fillStyle = colours[channel];
    counts[channel].forEach((count, bin) => {
      const height = barHeight(count, peak, log) * size.height;
      context.fillRect(bin * barWidth, size.height - height, barWidth, height);
    });
  }
}

// Each column's levels as dots, brighter where more pixels hold them.
function drawWaveform(canvas, traces, levels, log) {
  const context = canvas.getContext('2d');
  const picture = context.createImageData(size.width, size.height);
  const columnsEach = Math.floor(size.width / traces.length);
  traces.forEach(({ counts, colour }, t) => {
    const peak = largest(counts);
    for (let column = 0; column < columnsEach; column++)
      for (let level = 0; level < levels; level++) {
        const count = counts[column * levels + level];
        if (!count) continue;
        const strength = Math.max(0.25, barHeight(count, peak, log));
        const at = ((size.height - 1 - Math.floor((level * size.height) / levels)) * size.width + t * columnsEach + column) * 4;
        for (let c = 0; c < 3; c++) picture.data[at + c] = Math.min(255, picture.data[at + c] + colour[c] * strength);
        picture.data[at + 3] = 255;
      }
  });
  context.putImageData(picture, 0, 0);
}

/// The histogram (R, G, B, luminance; linear or log count) and waveform
/// (luminance or RGB parade) of the picture shown, redrawn with it.
export default function Scopes({ image, onClose }) {
  const [min, setMin] = useState(0);
  const [max, setMax] = useState(1);
  const [log, setLog] = useState(false);
  const [channels, setChannels] = useState(['r', 'g', 'b']);
  const [parade, setParade] = useState(false);
  const histogramCanvas = useRef(null), waveformCanvas = useRef(null);
  // A picture drawn on a 2D canvas arrives as display levels: no floats to count.
  const floats = useMemo(() => (image?.halves ? floatsOf(image) : null), [image?.halves]);
  const range = max > min ? { min, max } : null;
  const counts = useMemo(() => (floats && range ? histogram(floats, { bins, ...range }) : null), [floats, min, max]);

  useEffect(() => {
    if (!counts) return;
    drawHistogram(histogramCanvas.current, counts, channels, log);
    const levels = size.height;
    const settings = { levels, ...range };
    const traces = parade
      ? [0, 1, 2].map((channel) => ({
        counts: waveform(floats, image.columns, image.rows, { ...settings, columns: Math.floor(size.width / 3), channel }),
        colour: [[255, 80, 80], [80, 220, 80], [80, 140, 255]][channel] }))
      : [{ counts: waveform(floats, image.columns, image.rows, { ...settings, columns: size.width }),
           colour: [220, 220, 220] }];
    drawWaveform(waveformCanvas.current, traces, levels, log);
  }, [counts, channels, log, parade]);

  const toggle = (channel) => setChannels((shown) =>
    shown.includes(channel) ? shown.filter((c) => c !== channel) : [...shown, channel]);
  return (
    <div className="scopes" data-testid="scopes"
      style={{ position: 'fixed', right: 12, bottom: 12, zIndex: 5, background: '#111e', padding: 8, border: '1px solid #444' }}>
      <div>
        {['r', 'g', 'b', 'luma'].map((channel) => (
          <button key={channel} data-testid={`scope-${channel}`} className={channels.includes(channel) ? 'active' : ''}
            onClick={() => toggle(channel)}>{channel === 'luma' ? 'Y' : channel.toUpperCase()}</button>
        ))}
        <label><input type="checkbox" data-testid="scope-log" checked={log} onChange={(e) => setLog(e.target.checked)} />
          log</label>
        <label> from <input type="number" data-testid="scope-min" value={min} step={0.1} style={{ width: 60 }}
          onChange={(e) => setMin(Number(e.target.value))} /></label>
        <label> to <input type="number" data-testid="scope-max" value={max} step={0.1} style={{ width: 60 }}
          onChange={(e) => setMax(Number(e.target.value))} /></label>
        <label><input type="checkbox" data-testid="scope-parade" checked={parade}
          onChange={(e) => setParade(e.target.checked)} /> RGB parade</label>
        <button data-testid="scopes-close" onClick={onClose}>×</button>
      </div>
      {!range && <div className="error">The range's end must lie above its start.</div>}
      <canvas ref={histogramCanvas} width={size.width} height={size.height} data-testid="histogram"
        data-counts={counts ? JSON.stringify(Object.fromEntries(Object.entries(counts).map(([k, v]) => [k, [...v]]))) : ''} />
      <canvas ref={waveformCanvas} width={size.width} height={size.height} data-testid="waveform" />
    </div>
  );
}

import { useEffect, useLayoutEffect, useRef, useState } from 'react';
import {
  changeKey, extrapolations, interpolations, isAnimated, isExpression, isKeyed, moveKey, removeKey,
  setExtrapolation, setKey,
} from './animation.js';
import { evaluateCurve } from './api.js';
import { isImageInput, isReadout, valueOf } from './flow.js';
import { readoutNumber } from './numbers.js';
import useEvaluations from './useEvaluations.js';

const colours = ['#e0a526', '#5ab0f0', '#7ed07e', '#f07a9a', '#b78cf0', '#f0c27a'];
const margin = { left: 44, right: 8, top: 8, bottom: 18 };

/// Round numbers from `low` to `high`, about `count` of them.
function ticks(low, high, count) {
  const rough = (high - low) / count;
  if (!(rough > 0) || !Number.isFinite(rough)) return [];
  const power = 10 ** Math.floor(Math.log10(rough));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= rough);
  const result = [];
  for (let t = Math.ceil(low / step) * step; t <= high; t += step) result.push(Number(t.toPrecision(12)));
  return result;
}

/// The frames and values a view shows of `curves`: their keys and handles,
/// the shot, and what the server's samples reach.
function fitView(curves, shot, samples) {
  const frames = [...(shot ?? [])], values = [];
  for (const { value } of curves) {
    if (!isKeyed(value)) {
      if (typeof value === 'number') values.push(value);
      continue;
    }
    for (const key of value.keys) {
      frames.push(key.frame);
      values.push(key.value);
      for (const handle of [key.in, key.out]) if (handle) values.push(key.value + handle[1]);
    }
  }
  for (const answer of samples) for (const v of answer.values) if (typeof v === 'number') values.push(v);
  let f0 = frames.length ? Math.min(...frames) : 0, f1 = frames.length ? Math.max(...frames) : 0;
  if (f1 - f0 < 2) { f0 -= 5; f1 += 5; }
  let v0 = values.length ? Math.min(...values) : 0, v1 = values.length ? Math.max(...values) : 1;
  if (v1 - v0 < 1e-9) { v0 -= 1; v1 += 1; }
  const padFrames = (f1 - f0) * 0.05, padValues = (v1 - v0) * 0.1;
  return { f0: f0 - padFrames, f1: f1 + padFrames, v0: v0 - padValues, v1: v1 + padValues };
}

/// The selected node's animated number inputs as curves over frames: keys
/// to drag (snapped to whole frames unless Shift or Alt is held), add
/// (double-click) and delete (Delete), their interpolation and Bezier
/// handles, and the values before and after the keys. Every curve drawn is
/// the server's evaluation of the value; nothing is interpolated here.
export default function CurveEditor({ name, node, tool, frame, fps, shot, onChange, onFrame, hookRef }) {
  const numberInputs = tool.inputs.filter((input) => input.attributes.DataType === 'Number' && !isImageInput(input) &&
                                                     !isReadout(input));
  const animated = numberInputs.filter((input) => isAnimated(valueOf(node, input)));
  const [activeId, setActiveId] = useState(null);
  const active = numberInputs.find((input) => input.id === activeId) ?? animated[0] ?? numberInputs[0];
  const [selection, setSelection] = useState(null);  // {id, index} of a key
  const [view, setView] = useState(null);  // null: fit
  const [size, setSize] = useState({ width: 400, height: 200 });
  const boxRef = useRef(null);
  const svgRef = useRef(null);
  const drag = useRef(null);
  const lastSamples = useRef(new Map());  // by input ID, shown while newer samples are on their way

  useEffect(() => { setSelection(null); setView(null); lastSamples.current.clear(); }, [name]);
  useLayoutEffect(() => {
    const observer = new ResizeObserver(([entry]) =>
      setSize({ width: Math.max(entry.contentRect.width, 100), height: Math.max(entry.contentRect.height, 60) }));
    observer.observe(boxRef.current);
    return () => observer.disconnect();
  }, []);

  const curves = [...new Set([...animated, active].filter(Boolean))].map((input) => ({
    input, value: valueOf(node, input), colour: colours[numberInputs.indexOf(input) % colours.length],
  }));
  const plotWidth = size.width - margin.left - margin.right, plotHeight = size.height - margin.top - margin.bottom;
  const samples = Math.min(Math.max(Math.round(plotWidth / 3), 2), 1000);
  const fitFrames = fitView(curves, shot, []);
  const frameSpan = view ?? fitFrames;
  const requestOf = (curve) => ({ tool: node.tool, node: name, input: curve.input.id, value: curve.value, fps,
                                  from: frameSpan.f0, to: frameSpan.f1, samples });
  const sampled = curves.filter((curve) => isAnimated(curve.value));
  const known = useEvaluations(sampled.map(requestOf), 60);
  const answers = new Map(), errors = new Map();
  for (const curve of sampled) {
    const result = known.get(JSON.stringify(requestOf(curve)));
    if (result?.answer) lastSamples.current.set(curve.input.id, result.answer);
    if (result?.error) errors.set(curve.input.id, result.error.message);
    const shown = lastSamples.current.get(curve.input.id);
    if (shown) answers.set(curve.input.id, shown);
  }
  const shown = view ?? fitView(curves, shot, [...answers.values()]);

  const x = (f) => margin.left + ((f - shown.f0) / (shown.f1 - shown.f0)) * plotWidth;
  const y = (v) => margin.top + (1 - (v - shown.v0) / (shown.v1 - shown.v0)) * plotHeight;
  const at = (event) => {
    const box = svgRef.current.getBoundingClientRect();
    const px = event.clientX - box.left, py = event.clientY - box.top;
    return { frame: shown.f0 + ((px - margin.left) / plotWidth) * (shown.f1 - shown.f0),
             value: shown.v0 + (1 - (py - margin.top) / plotHeight) * (shown.v1 - shown.v0) };
  };
  const snapped = (event, f) => (event.shiftKey || event.altKey ? f : Math.round(f));
  if (hookRef) hookRef.current = { pointOf: (f, v) => [x(f), y(v)] };

  // The latest written values, for edits that finish after a render of the page.
  const latest = useRef();
  latest.current = { node, onChange };
  useEffect(() => {
    const move = (event) => {
      const current = drag.current;
      if (!current) return;
      const point = at(event);
      if (current.kind === 'key') {
        const f = snapped(event, point.frame);
        latest.current.onChange(current.id, moveKey(current.start, current.index, f, point.value,
                                                    f === point.frame ? 1e-3 : 1));
      } else {
        const key = current.start.keys[current.index];
        const frames = point.frame - key.frame;
        latest.current.onChange(current.id, changeKey(current.start, current.index, {
          [current.which]: [current.which === 'out' ? Math.max(frames, 0) : Math.min(frames, 0), point.value - key.value],
        }));
      }
    };
    const up = () => { drag.current = null; };
    window.addEventListener('mousemove', move);
    window.addEventListener('mouseup', up);
    return () => { window.removeEventListener('mousemove', move); window.removeEventListener('mouseup', up); };
  });

  const activeValue = active && valueOf(node, active);
  const selectedValue = selection && valueOf(node, numberInputs.find((input) => input.id === selection.id) ?? active);
  const selectedKey = isKeyed(selectedValue) ? selectedValue.keys[selection.index] : null;

  const addKey = (event) => {
    if (!active || isExpression(activeValue)) return;
    const f = snapped(event, at(event).frame), id = active.id;
    if (!isKeyed(activeValue)) {
      onChange(id, setKey(activeValue, f, activeValue));
      return;
    }
    // On the curve: the key takes the value the curve has there.
    evaluateCurve({ tool: node.tool, node: name, input: id, value: activeValue, fps, from: f, to: f, samples: 1 })
      .then((answer) => {
        const value = readoutNumber(answer.values[0]);
        const current = valueOf(latest.current.node, active);
        if (Number.isFinite(value) && isKeyed(current)) latest.current.onChange(id, setKey(current, f, value));
      }, () => {});
  };

  const path = (answer) => answer.frames.map((f, i) => {
    const v = answer.values[i];
    return typeof v === 'number' ? `${i && typeof answer.values[i - 1] === 'number' ? 'L' : 'M'}${x(f)},${y(v)}` : '';
  }).join('');

  return (
    <div className="curve-editor" data-testid="curve-editor">
      <div className="curve-bar">
        <select data-testid="curve-input" value={active?.id ?? ''} onChange={(e) => setActiveId(e.target.value)}>
          {numberInputs.map((input) => (
            <option key={input.id} value={input.id}>{input.caption}{isAnimated(valueOf(node, input)) ? ' ◆' : ''}</option>
          ))}
        </select>
        {selectedKey && (
          <label>Key {selectedKey.frame}: <select data-testid="curve-interpolation"
            value={selectedKey.interpolation ?? 'linear'}
            onChange={(e) => onChange(selection.id, changeKey(selectedValue, selection.index,
                                                              { interpolation: e.target.value }))}>
            {interpolations.map((mode) => <option key={mode} value={mode}>{mode}</option>)}
          </select></label>
        )}
        {isKeyed(activeValue) && ['before', 'after'].map((end) => (
          <label key={end}>{end} <select data-testid={`curve-${end}`} value={activeValue[end] ?? 'constant'}
            onChange={(e) => onChange(active.id, setExtrapolation(activeValue, end, e.target.value))}>
            {extrapolations.map((mode) => <option key={mode} value={mode}>{mode}</option>)}
          </select></label>
        ))}
        <button data-testid="curve-fit" onClick={() => setView(null)}>Fit</button>
        <span className="hint">double-click: add a key · Delete: remove it · Shift: off whole frames</span>
      </div>
      {[...errors].map(([id, message]) => <div key={id} className="error" data-testid={`curve-error-${id}`}>{message}</div>)}
      <div className="curve-box" ref={boxRef}>
        <svg ref={svgRef} width={size.width} height={size.height} tabIndex={0} data-testid="curve-plot"
          onWheel={(event) => {
            const point = at(event), factor = 2 ** (event.deltaY / 300);
            setView({ f0: point.frame - (point.frame - shown.f0) * factor, f1: point.frame + (shown.f1 - point.frame) * factor,
                      v0: point.value - (point.value - shown.v0) * factor, v1: point.value + (shown.v1 - point.value) * factor });
          }}
          onMouseDown={(event) => { if (event.target === svgRef.current || event.target.dataset.background) setSelection(null); }}
          onClick={(event) => {
            if (event.target === svgRef.current || event.target.dataset.background) onFrame(Math.round(at(event).frame));
          }}
          onDoubleClick={addKey}
          onKeyDown={(event) => {
            if ((event.key === 'Delete' || event.key === 'Backspace') && selectedKey) {
              event.preventDefault();
              event.stopPropagation();
              onChange(selection.id, removeKey(selectedValue, selectedKey.frame));
              setSelection(null);
            }
          }}>
          <rect data-background="1" x={margin.left} y={margin.top} width={plotWidth} height={plotHeight} className="curve-area" />
          {shot && <rect data-background="1" className="curve-shot" x={x(shot[0])} y={margin.top}
            width={Math.max(x(shot[1]) - x(shot[0]), 1)} height={plotHeight} />}
          {ticks(shown.f0, shown.f1, plotWidth / 60).map((f) => (
            <g key={`f${f}`}><line className="curve-grid" x1={x(f)} x2={x(f)} y1={margin.top} y2={margin.top + plotHeight} />
              <text className="curve-label" x={x(f)} y={size.height - 4} textAnchor="middle">{f}</text></g>
          ))}
          {ticks(shown.v0, shown.v1, plotHeight / 30).map((v) => (
            <g key={`v${v}`}><line className="curve-grid" x1={margin.left} x2={margin.left + plotWidth} y1={y(v)} y2={y(v)} />
              <text className="curve-label" x={margin.left - 4} y={y(v) + 4} textAnchor="end">{v}</text></g>
          ))}
          {frame !== null && <line className="curve-frame" x1={x(frame)} x2={x(frame)} y1={margin.top} y2={margin.top + plotHeight} />}
          {curves.map(({ input, value, colour }) => (
            <g key={input.id} className={input === active ? 'curve active' : 'curve'} data-testid={`curve-${input.id}`}>
              {typeof value === 'number' && <line x1={margin.left} x2={margin.left + plotWidth} y1={y(value)} y2={y(value)}
                stroke={colour} strokeDasharray="4 3" />}
              {answers.has(input.id) && <path d={path(answers.get(input.id))} stroke={colour} fill="none" />}
              {isKeyed(value) && value.keys.map((key, index) => {
                // A handle the value leaves out is drawn where the server's curve takes it.
                const taken = answers.get(input.id)?.handles?.[index];
                const handles = [];
                if (key.interpolation === 'bezier' && (key.out ?? taken?.out)) handles.push(['out', key.out ?? taken.out]);
                if (value.keys[index - 1]?.interpolation === 'bezier' && (key.in ?? taken?.in))
                  handles.push(['in', key.in ?? taken.in]);
                const picked = selection?.id === input.id && selection.index === index;
                return (
                  <g key={index}>
                    {handles.map(([which, [frames, change]]) => (
                      <g key={which}>
                        <line className="curve-handle-line" x1={x(key.frame)} y1={y(key.value)} x2={x(key.frame + frames)}
                          y2={y(key.value + change)} />
                        <rect className="curve-handle" data-testid={`curve-handle-${input.id}-${index}-${which}`}
                          x={x(key.frame + frames) - 4} y={y(key.value + change) - 4} width={8} height={8}
                          onMouseDown={(event) => {
                            event.stopPropagation();
                            setSelection({ id: input.id, index });
                            drag.current = { kind: 'handle', id: input.id, index, which, start: value };
                            setView(shown);  // held while dragging, rather than fitted to the moving key
                          }} />
                      </g>
                    ))}
                    <circle className={`curve-key${picked ? ' selected' : ''}`} data-testid={`curve-key-${input.id}-${index}`}
                      cx={x(key.frame)} cy={y(key.value)} r={5} fill={picked ? '#fff' : colour}
                      onMouseDown={(event) => {
                        event.stopPropagation();
                        setActiveId(input.id);
                        setSelection({ id: input.id, index });
                        svgRef.current.focus();
                        drag.current = { kind: 'key', id: input.id, index, start: value };
                        setView(shown);
                      }} />
                  </g>
                );
              })}
            </g>
          ))}
        </svg>
      </div>
    </div>
  );
}

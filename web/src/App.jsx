import { memo, useCallback, useEffect, useMemo, useRef, useState } from 'react';
import { checkFlow, exactPixels, getSession, getViewTransform, openFlow, saveFlow } from './api.js';
import { editedAt, nodeKeyFrames } from './animation.js';
import ControlPage from './ControlPage.jsx';
import CurveEditor from './CurveEditor.jsx';
import FilePicker from './FilePicker.jsx';
import FlowGraph from './FlowGraph.jsx';
import { webglOffered } from './glView.js';
import FarmPanel from './FarmPanel.jsx';
import RenderPanel from './RenderPanel.jsx';
import Scopes from './Scopes.jsx';
import Viewer from './Viewer.jsx';
import useLiveRender from './useLiveRender.js';
import usePlayback from './usePlayback.js';
import Timeline from './Timeline.jsx';
import useHistory from './useHistory.js';
import { HelpPanel, useShortcuts } from './Shortcuts.jsx';
import { onDisplay, spaceChoices, viewingKey } from './viewing.js';
import {
  addNode, copyNodes, emptyFlow, folderOf, imageInputs, isEnabled, pasteNodes, relativeTo, removeNode, renameNode,
  setEnabled, setLink, setPositions, setSavePath, setValue, setValues, upstreamFlow,
} from './flow.js';

/// Finds a tool as `qz` does: by registry name, class ID, short name or class name, in any letter case.
function toolFinder(tools) {
  const byKey = new Map();
  for (const tool of tools)
    for (const key of [tool.name, tool.classId, tool.shortName, tool.className]) byKey.set(key.toLowerCase(), tool);
  return (name) => byKey.get(String(name).toLowerCase());
}

const categoryOf = (tool) => tool.category.split('\\').pop();

// `?draw=canvas` draws on a 2D canvas (the server applying the view
// transform) even where WebGL2 is offered, and `?draw=webgl` through WebGL2
// even where it runs in software, which otherwise draws on the canvas: the
// browser test compares the two.
const drawingAsked = new URLSearchParams(location.search).get('draw');
const initialDrawing = () => (drawingAsked !== 'canvas' && webglOffered({ software: drawingAsked === 'webgl' })
  ? 'webgl' : 'canvas');

// The server's view transforms, by their settings: going back to a view costs no request.
const viewTransforms = new Map();
function viewTransform(viewing) {
  const key = viewingKey(viewing);
  if (!viewTransforms.has(key)) {
    const answer = getViewTransform(viewing).then((transform) => ({ ...transform, asked: viewing }));
    answer.catch(() => viewTransforms.delete(key));  // asked again next time
    viewTransforms.set(key, answer);
  }
  return viewTransforms.get(key);
}

/// What the viewer renders: the selected node's output (or one of its
/// inputs), and the wipe's node, each with the part of the flow it reads;
/// as half floats, or as display levels through `shownAs` ({space,
/// display, view, look, channel, exposure, gamma}) when that is given.
function viewOf(flow, { selected, viewInput, wipeNode, frame, sent, shownAs, findTool }) {
  const node = selected && flow.nodes[selected];
  if (!node || !findTool(node.tool)) return null;
  const requestFields = { ...(frame === null ? {} : { frame }), ...(sent.step > 1 ? { step: sent.step } : {}),
                          ...(sent.region ? { region: sent.region } : {}),
                          ...(shownAs ? { format: 'display', display: shownAs } : {}) };
  return {
    primary: { flow: upstreamFlow(flow, [selected]), node: selected, ...(viewInput ? { input: viewInput } : {}),
               ...requestFields },
    secondary: wipeNode && wipeNode in flow.nodes && wipeNode !== selected
      ? { flow: upstreamFlow(flow, [wipeNode]), node: wipeNode, ...requestFields } : null,
  };
}

/// The part of a flow the graph shows: nodes, tools, links, bypass and
/// layout (backdrops and notes too), not values, so that moving a slider
/// leaves the graph as it is.
function graphOf(flow) {
  return { nodes: Object.fromEntries(Object.entries(flow.nodes).map(([name, node]) =>
    [name, { tool: node.tool, inputs: node.inputs, enabled: node.enabled, studio: node.studio }])),
           studio: flow.studio };
}

const Graph = memo(FlowGraph);

/// The frames the slider spans: the sequences' on disk; without them the
/// shot the keys span, at least 100 frames from its first, and the frame.
function sliderRange(onDisk, shot, frame) {
  if (onDisk) return onDisk;
  const low = Math.min(shot?.[0] ?? 0, frame);
  return [low, Math.max(shot?.[1] ?? 0, low + 100, frame)];
}

const checkPause = 150;  // milliseconds

function AddNodeMenu({ tools, onAdd }) {
  const categories = useMemo(() => {
    const grouped = new Map();
    for (const tool of tools) grouped.set(categoryOf(tool), [...(grouped.get(categoryOf(tool)) ?? []), tool]);
    return [...grouped];
  }, [tools]);
  return (
    <select data-testid="add-node" value="" onChange={(e) => e.target.value && onAdd(e.target.value)}>
      <option value="">Add node…</option>
      {categories.map(([category, members]) => (
        <optgroup key={category} label={category}>
          {members.map((tool) => <option key={tool.name} value={tool.name}>{tool.name}: {tool.longName}</option>)}
        </optgroup>
      ))}
    </select>
  );
}

/// The selected node's name, output file and removal.
function NodePanel({ name, flow, onRename, onSavePath, onRemove, onBypass }) {
  const [draft, setDraft] = useState(name);
  useEffect(() => setDraft(name), [name]);
  const taken = draft !== name && draft in flow.nodes;
  const commit = () => (draft && !taken && draft !== name ? onRename(name, draft) : setDraft(name));
  const savePath = flow.save?.find((save) => save.node === name)?.file ?? '';
  return (
    <div className="node-panel">
      <label>Name <input value={draft} data-testid="node-name-field" className={taken ? 'invalid' : ''}
        onChange={(e) => setDraft(e.target.value)} onBlur={commit}
        onKeyDown={(e) => e.key === 'Enter' && commit()} /></label>
      <label>Write to <input value={savePath} data-testid="save-path-field" placeholder="no file"
        onChange={(e) => onSavePath(name, e.target.value)} /></label>
      <button data-testid="remove-node" onClick={() => onRemove([name])}>Remove node</button>
      <button data-testid="bypass" title="D" className={isEnabled(flow.nodes[name]) ? '' : 'active'}
        onClick={() => onBypass(name)}>{isEnabled(flow.nodes[name]) ? 'Bypass' : 'Enable'}</button>
    </div>
  );
}

/// The viewer's colour menus: the viewed node's colour space, display, view and look.
function ColourMenus({ config, viewing, onChange }) {
  const views = config.displays.find((display) => display.name === viewing.display)?.views ?? [];
  const spaces = useMemo(() => spaceChoices(config), [config]);
  return (
    <span className="colour-menus">
      <label title="The colour space of the viewed node's pixels">Space <select data-testid="colour-space"
        value={viewing.space} onChange={(e) => onChange({ ...viewing, space: e.target.value })}>
        {spaces.map(({ group, choices }) => (
          <optgroup key={group} label={group}>
            {choices.map((choice) => <option key={choice.value} value={choice.value}>{choice.label}</option>)}
          </optgroup>
        ))}
      </select></label>
      <label>Display <select data-testid="colour-display" value={viewing.display}
        onChange={(e) => onChange(onDisplay(config, viewing, e.target.value))}>
        {config.displays.map((display) => <option key={display.name} value={display.name}>{display.name}</option>)}
      </select></label>
      <label>View <select data-testid="colour-view" value={viewing.view}
        onChange={(e) => onChange({ ...viewing, view: e.target.value })}>
        {views.map((view) => <option key={view} value={view}>{view}</option>)}
      </select></label>
      <label>Look <select data-testid="colour-look" value={viewing.look}
        onChange={(e) => onChange({ ...viewing, look: e.target.value })}>
        <option value="">none</option>
        {config.looks.map((look) => <option key={look} value={look}>{look}</option>)}
      </select></label>
    </span>
  );
}

export default function App() {
  const [session, setSession] = useState(null);
  const [flow, setFlow] = useState(emptyFlow());
  const [flowPath, setFlowPath] = useState(null);
  const [layoutKey, setLayoutKey] = useState(0);
  const [selected, setSelected] = useState(null);
  const [viewInput, setViewInput] = useState('');
  const [wipeNode, setWipeNode] = useState('');
  const [wipe, setWipe] = useState(0.5);
  const [display, setDisplay] = useState({ channel: 'rgb', exposure: 0, gamma: 1 });
  const [viewing, setViewing] = useState(null);  // the colour configuration's names, from the session
  const [drawing, setDrawing] = useState(initialDrawing);
  const [transform, setTransform] = useState(null);  // the view transform WebGL draws through
  const [check, setCheck] = useState({ errors: [], frames: null, keys: null, answered: false });
  const [frame, setFrame] = useState(null);
  const [picking, setPicking] = useState(null);
  const [dialog, setDialog] = useState(null);
  const [status, setStatus] = useState('');
  const [savePathDraft, setSavePathDraft] = useState('flow.json');
  const viewerHook = useRef(null);
  const curvesHook = useRef(null);
  const graphHook = useRef(null);
  const history = useHistory();
  const [picked, setPicked] = useState([]);  // the nodes selected in the graph
  const clipboard = useRef(null);
  const [help, setHelp] = useState(false);
  const [scopes, setScopes] = useState(false);

  useEffect(() => {
    getSession().then((answer) => {
      setSession(answer);
      setViewing(answer.viewing);
      if (answer.flow) loadFlow(answer.flowPath, answer.flow);
    }, (failure) => setStatus(`Cannot start: ${failure.message}`));
  }, []);

  const findTool = useMemo(() => toolFinder(session?.tools ?? []), [session]);
  const graphKey = JSON.stringify(graphOf(flow));
  const graph = useMemo(() => graphOf(flow), [graphKey]);
  const toolsByName = useMemo(() => {
    const known = {};
    for (const node of Object.values(graph.nodes)) known[node.tool] = findTool(node.tool);
    return known;
  }, [graph, findTool]);

  function loadFlow(path, document) {
    setFlow(document);
    setFlowPath(path);
    if (path) setSavePathDraft(path);
    setSelected(Object.keys(document.nodes ?? {})[0] ?? null);
    setLayoutKey((key) => key + 1);
    history.clear();
  }

  // Every change is checked: the whole flow for the faults the graph shows,
  // the part the viewer renders for its frame range.
  const viewed = useMemo(() => selected && selected in flow.nodes ? upstreamFlow(flow, [selected]) : null,
                         [flow, selected]);
  const checkCount = useRef(0);
  useEffect(() => {
    if (!session) return;
    const count = ++checkCount.current;
    const asAnswer = (failure) => ({ errors: [{ node: failure.node, input: failure.input, message: failure.message }],
                                     frames: null, keys: null, answered: true });
    // An answer like the last keeps its objects, and the graph stays as it is.
    const settle = (next) => setCheck((last) => (JSON.stringify(last) === JSON.stringify(next) ? last : next));
    // Checked once the edits pause: a dragged slider's checks would compete
    // with the renders it asks for.
    const pause = setTimeout(() => Promise.all([checkFlow(flow).catch(asAnswer),
                                                viewed ? checkFlow(viewed).catch(asAnswer) : null]).then(
      ([whole, part]) => count === checkCount.current &&
        settle({ errors: whole.errors, frames: part?.frames ?? null, keys: whole.keys ?? null, answered: true })),
    checkPause);
    return () => clearTimeout(pause);
  }, [flow, viewed, session]);

  // The shot: the frames of the sequences on disk, which frames stay
  // within, else the frames the keys span; a frame is always given, so that
  // animated values take it with or without sequences.
  const frames = check.frames;
  const shot = frames ?? check.keys;
  const fps = typeof flow.fps === 'number' && flow.fps > 0 ? flow.fps : 24;
  useEffect(() => {
    if (frames) setFrame((current) => (current === null ? frames[0] : Math.min(Math.max(current, frames[0]), frames[1])));
    else if (check.answered) setFrame((current) => current ?? check.keys?.[0] ?? 0);
  }, [frames?.[0], frames?.[1], check.keys?.[0], check.answered]);
  const goTo = (next) => {
    if (!Number.isInteger(next)) return;
    setFrame(frames ? Math.min(Math.max(next, frames[0]), frames[1]) : next);
  };

  const selectedNode = selected && flow.nodes[selected];
  const selectedTool = selectedNode && toolsByName[selectedNode.tool];
  // Only what the viewer shows is sent: a picture shown smaller than its size
  // at every second (fourth, ...) pixel, one shown larger in the part in view.
  const [sent, setSent] = useState({ step: 1, region: null });
  const onView = useCallback((next) => setSent((last) => (JSON.stringify(last) === JSON.stringify(next) ? last : next)),
                             []);
  // Through WebGL the page applies the view transform to the half floats; on
  // a 2D canvas the server does, to the pictures it sends.
  const shownAs = drawing === 'canvas' && viewing ? { ...viewing, ...display } : null;
  const viewSettings = { selected, viewInput, wipeNode, frame, sent, shownAs, findTool };
  const view = viewOf(flow, viewSettings);
  const render = useLiveRender(view);
  const playback = usePlayback({ range: shot, fps, viewAt: (at) => viewOf(flow, { ...viewSettings, frame: at }) });
  // While playing, the page shows the frame played; its pictures come from playback.
  const shownFrame = playback.shown ? playback.shown.frame : frame;
  const primary = playback.shown ? playback.shown.primary : render.primary;
  const secondary = playback.shown ? playback.shown.secondary : render.secondary;
  const labels = useMemo(() => [selected, wipeNode], [selected, wipeNode]);
  // Read-outs of the nodes rendered last, at the frame shown; a node not rendered since keeps its last ones.
  const shownReadouts = playback.shown ? playback.shown.readouts : render.readouts;
  const [readouts, setReadouts] = useState({});
  useEffect(() => setReadouts((known) => ({ ...known, ...shownReadouts })), [shownReadouts]);
  const keyFrames = useMemo(() => nodeKeyFrames(flow.nodes[selected]), [flow, selected]);

  useEffect(() => {
    if (drawing !== 'webgl' || !viewing) return;
    let current = true;
    viewTransform(viewing).then((answer) => current && setTransform(answer),
                                (failure) => current && setStatus(`Viewer: ${failure.message}`));
    return () => { current = false; };
  }, [drawing, viewing && viewingKey(viewing)]);
  const onWebglFailed = useCallback((why) => {
    console.warn('WebGL view unavailable, drawing on a 2D canvas:', why);
    setDrawing('canvas');
  }, []);

  useEffect(() => {
    window.qzStudio = {
      image: render.primary, secondary: render.secondary, generation: render.generation, busy: render.busy,
      settled: render.settled,
      exactPixels: (image) => exactPixels(image, 0, 0, image.width, image.height),
      flow, flowPath, selected, frames, frame, shot, keyFrames, playing: playback.playing, drawing, viewing,
      get viewer() { return viewerHook.current; },  // the viewer re-renders on its own when zoomed
      get curves() { return curvesHook.current; },
    };
  });

  // An edit asks for its picture at once, before the page re-renders, and
  // is kept as the step `label` undoes; edits of one `merge` key in a row
  // (a slider dragged) are one step.
  const latest = useRef();
  latest.current = { flow, viewSettings };
  const show = useCallback((next, selection = latest.current.viewSettings.selected) => {
    latest.current.flow = next;
    setFlow(next);
    render.request(viewOf(next, { ...latest.current.viewSettings, selected: selection }));
  }, [render.request]);
  const edit = useCallback((change, label, merge = null) => {
    const before = latest.current.flow;
    const next = change(before);
    if (next === before || JSON.stringify(next) === JSON.stringify(before)) return;
    history.record({ flow: before, selected: latest.current.viewSettings.selected }, label, merge);
    show(next);
  }, [show]);
  const travel = (move) => {
    const state = move({ flow: latest.current.flow, selected });
    if (!state) return;
    const selection = state.selected in state.flow.nodes ? state.selected : null;
    setSelected(selection);
    show(state.flow, selection);
  };
  const onBypass = (name) => {
    const enabled = !isEnabled(latest.current.flow.nodes[name]);
    edit((current) => setEnabled(current, name, enabled), `${enabled ? 'enable' : 'bypass'} ${name}`);
  };
  const chosen = () => (picked.length ? picked : selected ? [selected] : []).filter((name) => name in flow.nodes);
  const paste = (copied) => {
    if (!copied) return;
    let names = [];
    edit((current) => {
      const [next, pasted] = pasteNodes(current, copied);
      names = pasted;
      return next;
    }, `paste ${Object.keys(copied.nodes).length} nodes`);
    if (names.length) select(names[0]);
  };
  useShortcuts({
    undo: () => travel(history.undo), redo: () => travel(history.redo), save: () => save(),
    bypass: () => selected && selected in flow.nodes && onBypass(selected),
    copy: () => { if (chosen().length) clipboard.current = copyNodes(flow, chosen()); },
    paste: () => paste(clipboard.current),
    duplicate: () => chosen().length && paste(copyNodes(flow, chosen())),
    fit: () => document.querySelector('[data-testid="fit"]')?.click(),
    actualSize: () => document.querySelector('[data-testid="zoom-1"]')?.click(),
    help: () => setHelp((open) => !open),
  });
  const select = useCallback((name) => {
    setSelected(name);
    setViewInput('');
    setPicking(null);
  }, []);
  const linkFile = (node, input, rootPath) => edit((current) => setLink(current, node, input,
    { file: relativeTo(folderOf(flowPath), rootPath) }), `file of ${node} ${input}`);

  const onDisconnect = useCallback((node, input) =>
    edit((current) => setLink(current, node, input, null), `disconnect ${node} ${input}`), []);
  const onConnect = useCallback((node, input, source) =>
    edit((current) => setLink(current, node, input, { node: source }), `connect ${source} to ${node} ${input}`), []);
  /// Removes nodes `names` as one step, with `alongside` (a change of the
  /// rest of the flow, such as backdrops removed with them).
  const onRemove = useCallback((names, label = `remove ${names[0]}`, alongside = (flow) => flow) => {
    edit((current) => alongside(names.reduce(removeNode, current)), label);
    setSelected((current) => (names.includes(current) ? null : current));
  }, []);
  const onPickFile = useCallback((node, input) => setDialog({ kind: 'link', node, input }), []);

  /// Saves the flow to the path in the toolbar; answers the path saved, or null when it failed.
  async function save() {
    try {
      // Nodes the graph laid out are saved where they are shown.
      const answer = await saveFlow(savePathDraft, setPositions(flow, graphHook.current?.unplaced() ?? {}));
      setStatus(`Saved ${answer.path}${answer.errors.length ? ` (${answer.errors.length} errors)` : ''}`);
      // The server rewrites relative links for the new folder: take the flow as saved.
      if (folderOf(answer.path) !== folderOf(flowPath ?? '')) {
        const reopened = await openFlow(answer.path);
        setFlow(reopened.flow);
      }
      setFlowPath(answer.path);
      setSavePathDraft(answer.path);
      return answer.path;
    } catch (failure) {
      setStatus(`Save failed: ${failure.message}`);
      return null;
    }
  }

  async function open(path) {
    setDialog(null);
    try {
      const answer = await openFlow(path);
      loadFlow(answer.path, answer.flow);
      setStatus(`Opened ${answer.path}`);
    } catch (failure) {
      setStatus(`Open failed: ${failure.message}`);
    }
  }

  function pick(pixel) {
    const numbers = Object.fromEntries(picking.inputs.map((input) =>
      [input.id, pixel.rgba[input.attributes.ControlChannel ?? 0]]));
    // An animated channel takes the pixel as a key at the frame.
    const valuesIn = (current) => Object.fromEntries(Object.entries(numbers).map(([id, number]) =>
      [id, editedAt(current.nodes[picking.node]?.values?.[id], shownFrame ?? 0, number)]));
    if (Object.values(numbers).every(Number.isFinite))
      edit((current) => setValues(current, picking.node, valuesIn(current)), `pick into ${picking.node}`);
    else setStatus('The picked pixel is not a finite number: nothing set');
    setPicking(null);
  }

  if (!session) return <div className="starting" data-testid="status">{status || 'Connecting…'}</div>;

  const generalErrors = check.errors.filter((error) => !error.node);
  const viewSources = selectedTool ? imageInputs(selectedTool).filter((input) => selectedNode.inputs?.[input.id]) : [];
  return (
    <div className="studio">
      <header className="toolbar">
        <strong>qz studio</strong>
        <AddNodeMenu tools={session.tools} onAdd={(tool) => {
          const [next, name] = addNode(flow, tool);
          edit(() => next, `add ${name}`);
          select(name);
        }} />
        <button data-testid="undo" className="history" disabled={!history.undoLabel}
          title={history.undoLabel ? `Undo ${history.undoLabel} (Ctrl+Z)` : 'Ctrl+Z'}
          onClick={() => travel(history.undo)}>{history.undoLabel ? `Undo ${history.undoLabel}` : 'Undo'}</button>
        <button data-testid="redo" className="history" disabled={!history.redoLabel}
          title={history.redoLabel ? `Redo ${history.redoLabel} (Ctrl+Shift+Z)` : 'Ctrl+Shift+Z'}
          onClick={() => travel(history.redo)}>{history.redoLabel ? `Redo ${history.redoLabel}` : 'Redo'}</button>
        <button data-testid="help-button" onClick={() => setHelp((open) => !open)}>?</button>
        <button data-testid="open" onClick={() => setDialog({ kind: 'open' })}>Open…</button>
        <input data-testid="flow-path" value={savePathDraft} onChange={(e) => setSavePathDraft(e.target.value)} />
        <button data-testid="save" onClick={save}>Save</button>
        <button data-testid="scopes-button" className={scopes ? 'active' : ''}
          onClick={() => setScopes((open) => !open)}>Scopes</button>
        <button data-testid="render-open" onClick={() => setDialog({ kind: 'render' })}>Render…</button>
        <button data-testid="farm-open" onClick={() => setDialog({ kind: 'farm' })}>Submit to farm…</button>
        <span className="root" title={`${session.root}: every file is read and written inside this folder`}>
          {session.root}</span>
        <span className="status" data-testid="status">{status}</span>
        <span className={`progress${render.busy ? ' active' : ''}`} data-testid="progress"
          data-busy={render.busy ? '1' : '0'}>{render.busy ? 'rendering…' : ''}</span>
      </header>
      {generalErrors.length > 0 && (
        <div className="flow-errors" data-testid="flow-errors">
          {generalErrors.map((error, i) => <div key={i}>{error.message}</div>)}
        </div>
      )}
      <main className="panes">
        <section className="viewer-pane">
          <div className="viewer-controls">
            <label>View <select data-testid="view-source" value={viewInput} onChange={(e) => setViewInput(e.target.value)}>
              <option value="">{selected ?? '—'} output</option>
              {viewSources.map((input) => <option key={input.id} value={input.id}>input {input.caption}</option>)}
            </select></label>
            <span className="channels">
              {['rgb', 'r', 'g', 'b', 'a', 'luma'].map((channel) => (
                <button key={channel} data-testid={`channel-${channel}`}
                  className={display.channel === channel ? 'active' : ''}
                  onClick={() => setDisplay({ ...display, channel })}>{channel.toUpperCase()}</button>
              ))}
            </span>
            {viewing && <ColourMenus config={session.colour} viewing={viewing} onChange={setViewing} />}
            <label>Exposure <input type="range" min={-10} max={10} step={0.1} value={display.exposure}
              data-testid="exposure" onChange={(e) => setDisplay({ ...display, exposure: Number(e.target.value) })} />
              {display.exposure.toFixed(1)}</label>
            <label>Gamma <input type="range" min={0.2} max={4} step={0.05} value={display.gamma}
              data-testid="gamma" onChange={(e) => setDisplay({ ...display, gamma: Number(e.target.value) })} />
              {display.gamma.toFixed(2)}</label>
            <label>Wipe <select data-testid="wipe-node" value={wipeNode} onChange={(e) => setWipeNode(e.target.value)}>
              <option value="">none</option>
              {Object.keys(flow.nodes).filter((name) => name !== selected).map((name) =>
                <option key={name} value={name}>{name}</option>)}
            </select></label>
            {view?.secondary && <label>at <input type="range" min={0} max={1} step={0.001} value={wipe}
              data-testid="wipe-position" onChange={(e) => setWipe(Number(e.target.value))} /></label>}
          </div>
          {frame !== null && (
            <Timeline frame={shownFrame} range={sliderRange(frames, shot, frame)} keyFrames={keyFrames} fps={fps}
              playback={{ ...playback, range: shot,
                          stop: () => { if (playback.shown) setFrame(playback.shown.frame); playback.stop(); } }}
              onFrame={goTo}
              onFps={(value) => edit((current) => ({ ...current, fps: value }), 'fps', 'fps')} />
          )}
          <Viewer primary={primary} secondary={view?.secondary ? secondary : null}
            labels={labels} onView={onView} generation={render.generation} display={display} wipe={wipe} hookRef={viewerHook}
            transform={transform} drawing={drawing} onWebglFailed={onWebglFailed}
            picking={Boolean(picking)} onPick={pick} />
          {render.error && <div className="render-error" data-testid="render-error">{render.error.message}</div>}
        </section>
        <section className="graph-pane" data-testid="graph">
          <Graph flow={graph} tools={toolsByName} errors={check.errors} selected={selected} layoutKey={layoutKey}
            onSelect={select} onConnect={onConnect} onDisconnect={onDisconnect} onRemove={onRemove}
            onPickFile={onPickFile} onEdit={edit} onPicked={setPicked} hookRef={graphHook} />
        </section>
        <section className="curves-pane">
          {selectedTool ? (
            <CurveEditor name={selected} node={selectedNode} tool={selectedTool} frame={shownFrame} fps={fps} shot={shot}
              hookRef={curvesHook} onFrame={(next) => !playback.playing && goTo(next)}
              onChange={(id, value) => edit((current) => setValue(current, selected, id, value),
                                            `keys of ${selected} ${id}`, `value ${selected} ${id}`)} />
          ) : <p className="hint">The selected node's animated inputs show here as curves.</p>}
        </section>
        <aside className="controls-pane">
          {selectedNode ? (
            <>
              <h2 data-testid="selected-node">{selected} <small>{selectedNode.tool}</small></h2>
              <NodePanel name={selected} flow={flow} onRemove={onRemove} onBypass={onBypass}
                onRename={(from, to) => { edit((current) => renameNode(current, from, to), `rename ${from} to ${to}`);
                                          setSelected(to); }}
                onSavePath={(name, file) => edit((current) => setSavePath(current, name, file), `Write to of ${name}`,
                                                 `save ${name}`)} />
              {selectedTool ? (
                <ControlPage name={selected} node={selectedNode} tool={selectedTool}
                  readouts={readouts[selected]} picking={picking} frame={shownFrame} fps={fps}
                  onChange={(id, value) => edit((current) => setValue(current, selected, id, value),
                                                `${id} of ${selected}`, `value ${selected} ${id}`)}
                  onPick={setPicking} />
              ) : <div className="error">Unknown tool "{selectedNode.tool}"</div>}
            </>
          ) : <p className="hint">Add a node, or select one in the graph.</p>}
        </aside>
      </main>
      {dialog?.kind === 'link' && (
        <FilePicker title={`Connect ${dialog.node} · ${dialog.input}`} initialDir={folderOf(flowPath)}
          onCancel={() => setDialog(null)}
          onChoose={(path) => { linkFile(dialog.node, dialog.input, path); setDialog(null); }} />
      )}
      {dialog?.kind === 'render' && <RenderPanel flow={flow} shot={shot} onClose={() => setDialog(null)} />}
      {dialog?.kind === 'farm' && (
        <FarmPanel flow={flow} shot={shot} flowPath={savePathDraft} save={save} onClose={() => setDialog(null)} />
      )}
      {scopes && <Scopes image={primary} onClose={() => setScopes(false)} />}
      {help && <HelpPanel onClose={() => setHelp(false)} />}
      {dialog?.kind === 'open' && (
        <FilePicker title="Open a flow" initialDir={folderOf(flowPath)} onCancel={() => setDialog(null)} onChoose={open} />
      )}
    </div>
  );
}

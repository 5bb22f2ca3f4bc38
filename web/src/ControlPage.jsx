import { useEffect, useState } from 'react';
import { editedAt, isAnimated, isExpression, keyIndexAt, removeKey, setKey } from './animation.js';
import { isImageInput, isReadout, valueOf } from './flow.js';
import { formatNumber, readoutNumber } from './numbers.js';
import useEvaluations from './useEvaluations.js';

/// A number typed in: applied as soon as it is a number the input takes.
function NumberField({ value, integer, limit, onCommit, testId, readOnly }) {
  // A value still on its way from the server shows as nothing.
  const text = value === undefined ? '' : String(value);
  const [draft, setDraft] = useState(text);
  useEffect(() => {
    setDraft((current) => (Number(current) === value && current.trim() !== '' ? current : text));
  }, [value]);
  const accepts = (text) => {
    const number = Number(text);
    return text.trim() !== '' && Number.isFinite(number) && (!integer || Number.isInteger(number)) &&
      (limit === undefined || Math.abs(number) <= limit);
  };
  return (
    <input className={`number-field${accepts(draft) ? '' : ' invalid'}`} data-testid={testId} value={draft}
      title={limit !== undefined ? `hard limit ${limit}` : undefined} readOnly={readOnly}
      onChange={(e) => {
        setDraft(e.target.value);
        if (accepts(e.target.value)) onCommit(Number(e.target.value));
      }} />
  );
}

/// Sets or removes the key at the current frame; shows whether the input is
/// animated and whether the frame is on one of its keys.
function KeyButton({ id, animation }) {
  const { animated, onKey, toggleKey, expression } = animation;
  const state = onKey ? 'on-key' : animated ? 'animated' : 'still';
  const title = expression ? 'Animated by an expression: set a key to key it instead'
    : onKey ? 'Remove the key at this frame' : 'Set a key at this frame';
  return (
    <button className={`key-button ${state}`} data-testid={`key-${id}`} data-animated={animated ? '1' : '0'}
      data-on-key={onKey ? '1' : '0'} title={title} onClick={toggleKey}>{onKey ? '◆' : '◇'}</button>
  );
}

/// The expression of a number input, checked by the server as it is typed
/// and set once it holds.
function ExpressionField({ id, animation, request, onSet }) {
  const written = animation.written;
  const [draft, setDraft] = useState(isExpression(written) ? written.expression : '');
  useEffect(() => { if (isExpression(written)) setDraft(written.expression); }, [isExpression(written) && written.expression]);
  const check = { ...request, value: { expression: draft }, samples: 1 };
  const checked = useEvaluations(draft.trim() ? [check] : [], 150).get(JSON.stringify(check));
  useEffect(() => {
    if (checked?.answer && !(isExpression(written) && written.expression === draft)) onSet({ expression: draft });
  }, [checked]);
  return (
    <div className="expression">
      <input data-testid={`expression-${id}`} placeholder="expression of frame, time, fps" value={draft}
        className={checked?.error ? 'invalid' : ''} onChange={(e) => setDraft(e.target.value)} />
      {checked?.error && <div className="error" data-testid={`expression-error-${id}`}>{checked.error.message}</div>}
    </div>
  );
}

/// What a control shows of its animation and the buttons beside it.
function AnimationRow({ id, animation, request, onChange }) {
  const [typing, setTyping] = useState(false);
  const expression = typing || animation.expression;
  return (
    <>
      <span className="animation-buttons">
        <KeyButton id={id} animation={animation} />
        {request && (
          <button className={expression ? 'active' : ''} data-testid={`expression-toggle-${id}`}
            title="Animate by an expression"
            onClick={() => (animation.expression ? onChange(animation.shown) : setTyping(!typing))}>=</button>
        )}
      </span>
      {request && expression && <ExpressionField id={id} animation={animation} request={request}
        onSet={(value) => { setTyping(false); onChange(value); }} />}
      {animation.error && <div className="error value-error" data-testid={`value-error-${id}`}>{animation.error}</div>}
    </>
  );
}

function Slider({ input, animation, request, onChange }) {
  const { RangeLow, RangeHigh, RangeHighAlt, IntegerOnly, Default } = input.attributes;
  const integer = IntegerOnly === 1;
  const value = animation.shown;
  // Sliders' ends are soft; one declared without an end reaches past its default.
  const low = RangeLow ?? 0;
  const high = RangeHighAlt ?? RangeHigh ?? Math.max(low + 1, 2 * Math.abs(Default ?? 0));
  return (
    <div className={`control slider${animation.animated ? ' animated' : ''}`} data-testid={`control-${input.id}`}>
      <label>{input.caption}</label>
      <input type="range" min={low} max={high} step={integer ? 1 : 'any'} value={Number.isFinite(value) ? value : low}
        disabled={animation.expression} data-testid={`slider-${input.id}`}
        onChange={(e) => animation.set(Number(e.target.value))} />
      <NumberField value={value} integer={integer} limit={input.hardLimit} onCommit={animation.set}
        readOnly={animation.expression} testId={`value-${input.id}`} />
      <AnimationRow id={input.id} animation={animation} request={request} onChange={onChange} />
    </div>
  );
}

function Readout({ input, value }) {
  return (
    <div className="control readout" data-testid={`control-${input.id}`}>
      <label>{input.caption}</label>
      <output data-testid={`readout-${input.id}`}>{formatNumber(readoutNumber(value))}</output>
    </div>
  );
}

const channelNames = ['R', 'G', 'B', 'A'];

/// Colour controls of one ControlGroup: a number per channel and an
/// eyedropper that takes them from the pixel picked in the viewer.
function ColorGroup({ inputs, animations, requestOf, picking, onChange, onPick }) {
  const group = inputs[0].attributes.ControlGroup;
  const title = inputs.find((input) => input.attributes.GroupName)?.attributes.GroupName;
  return (
    <div className="control color-group" data-testid={`color-group-${group}`}>
      {title && <h4>{title}</h4>}
      {inputs.map((input) => (
        <div className="color-channel" key={input.id} data-testid={`control-${input.id}`}>
          <label>{input.caption} <span className="channel">{channelNames[input.attributes.ControlChannel ?? 0]}</span></label>
          <NumberField value={animations[input.id].shown} onCommit={animations[input.id].set}
            readOnly={animations[input.id].expression} testId={`value-${input.id}`} />
          <AnimationRow id={input.id} animation={animations[input.id]} request={requestOf(input)}
            onChange={(value) => onChange(input.id, value)} />
        </div>
      ))}
      <button className={picking ? 'active' : ''} data-testid={`eyedropper-${group}`}
        title="Pick from the viewer" onClick={() => onPick(picking ? null : inputs)}>
        {picking ? 'Click the viewer…' : 'Eyedropper'}
      </button>
    </div>
  );
}

/// Each number input's and button row's animation at `frame`: the value
/// written, the value shown (at a key its value; elsewhere the server's
/// evaluation, the last one known while a new one is on its way), and the
/// edits a control makes at the frame.
function useAnimations({ name, node, tool, frame, fps, onChange }) {
  const animatable = tool.inputs.filter((input) => !isImageInput(input) && !isReadout(input) &&
    (input.attributes.DataType === 'Number' || input.attributes.Control === 'MultiButtonIDControl'));
  const requestOf = (input) => ({ tool: node.tool, node: name, input: input.id, value: valueOf(node, input), fps,
                                  from: frame ?? 0, to: frame ?? 0, samples: 1 });
  const evaluated = animatable.filter((input) => isAnimated(valueOf(node, input)) && keyIndexAt(valueOf(node, input), frame) < 0);
  const known = useEvaluations(evaluated.map(requestOf), 0);
  const [last, setLast] = useState({});
  const animations = {};
  const latest = {};
  for (const input of animatable) {
    const written = valueOf(node, input);
    const at = keyIndexAt(written, frame ?? 0);
    const result = isAnimated(written) && at < 0 ? known.get(JSON.stringify(requestOf(input))) : null;
    const place = `${name}/${input.id}`;
    if (result?.answer) latest[place] = result.answer.values[0];
    const fetched = result?.answer ? result.answer.values[0] : last[place];
    const shown = !isAnimated(written) ? written : at >= 0 ? written.keys[at].value
      : fetched === undefined ? undefined : fromServer(fetched, input.attributes.DataType === 'Number');
    const set = (value) => onChange(input.id, editedAt(written, frame ?? 0, value));
    animations[input.id] = {
      written, shown, set, animated: isAnimated(written), onKey: at >= 0, expression: isExpression(written),
      error: result?.error?.message ?? null,
      toggleKey: () => {
        if (at >= 0) onChange(input.id, removeKey(written, frame ?? 0));
        else if (shown !== undefined) onChange(input.id, setKey(written, frame ?? 0, shown));
      },
    };
  }
  const changed = Object.keys(latest).some((id) => latest[id] !== last[id]);
  useEffect(() => { if (changed) setLast((known) => ({ ...known, ...latest })); });
  return { animations, requestOf };
}

// A value as the server answers it: a button text, or a number with the
// non-finite ones as their texts.
const fromServer = (value, isNumber) => (isNumber ? readoutNumber(value) : value);

/// The selected node's controls, in the order the tool declares them, each
/// at `frame`.
export default function ControlPage({ name, node, tool, readouts, picking, frame, fps, onChange, onPick }) {
  const { animations, requestOf } = useAnimations({ name, node, tool, frame, fps, onChange });
  const shownGroups = new Set();
  const controls = [];
  for (const input of tool.inputs) {
    const { Control, ControlGroup, ButtonText } = input.attributes;
    const animation = animations[input.id];
    const change = (value) => onChange(input.id, value);
    if (isImageInput(input)) continue;
    if (Control === 'LabelControl') {
      controls.push(<h3 key={input.id} className="control-label">{input.caption}</h3>);
    } else if (isReadout(input)) {
      controls.push(<Readout key={input.id} input={input} value={readouts?.[input.id] ?? valueOf(node, input)} />);
    } else if (Control === 'ColorControl') {
      if (shownGroups.has(ControlGroup)) continue;
      shownGroups.add(ControlGroup);
      const members = tool.inputs.filter((other) => other.attributes.Control === 'ColorControl' &&
                                                    other.attributes.ControlGroup === ControlGroup);
      controls.push(<ColorGroup key={input.id} inputs={members} animations={animations} requestOf={requestOf}
        onChange={onChange}
        picking={picking?.node === name && picking.group === ControlGroup}
        onPick={(inputs) => onPick(inputs && { node: name, group: ControlGroup, inputs })} />);
    } else if (Control === 'CheckboxControl') {
      controls.push(
        <div key={input.id} className="control checkbox" data-testid={`control-${input.id}`}>
          <label>
            <input type="checkbox" checked={animation.shown !== 0} data-testid={`check-${input.id}`}
              disabled={animation.expression} onChange={(e) => animation.set(e.target.checked ? 1 : 0)} />
            {input.caption}
          </label>
          <AnimationRow id={input.id} animation={animation} onChange={change} />
        </div>,
      );
    } else if (Control === 'MultiButtonIDControl') {
      controls.push(
        <div key={input.id} className="control buttons" data-testid={`control-${input.id}`}>
          <label>{input.caption}</label>
          <div className="button-row">
            {(ButtonText ?? []).map((text) => (
              <button key={text} className={text === animation.shown ? 'active' : ''}
                data-testid={`button-${input.id}-${text}`} onClick={() => animation.set(text)}>{text}</button>
            ))}
            <AnimationRow id={input.id} animation={animation} onChange={change} />
          </div>
        </div>,
      );
    } else if (input.attributes.DataType === 'Number') {
      controls.push(<Slider key={input.id} input={input} animation={animation} request={requestOf(input)}
        onChange={change} />);
    }
  }
  return <div className="control-page" data-testid="control-page">{controls}</div>;
}

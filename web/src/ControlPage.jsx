import { useEffect, useState } from 'react';
import { isImageInput, isReadout, valueOf } from './flow.js';
import { formatNumber, readoutNumber } from './numbers.js';

/// A number typed in: applied as soon as it is a number the input takes.
function NumberField({ value, integer, limit, onCommit, testId }) {
  const [draft, setDraft] = useState(String(value));
  useEffect(() => {
    setDraft((current) => (Number(current) === value && current.trim() !== '' ? current : String(value)));
  }, [value]);
  const accepts = (text) => {
    const number = Number(text);
    return text.trim() !== '' && Number.isFinite(number) && (!integer || Number.isInteger(number)) &&
      (limit === undefined || Math.abs(number) <= limit);
  };
  return (
    <input className={`number-field${accepts(draft) ? '' : ' invalid'}`} data-testid={testId} value={draft}
      title={limit !== undefined ? `hard limit ${limit}` : undefined}
      onChange={(e) => {
        setDraft(e.target.value);
        if (accepts(e.target.value)) onCommit(Number(e.target.value));
      }} />
  );
}

function Slider({ input, value, onChange }) {
  const { RangeLow, RangeHigh, RangeHighAlt, IntegerOnly, Default } = input.attributes;
  const integer = IntegerOnly === 1;
  // Sliders' ends are soft; one declared without an end reaches past its default.
  const low = RangeLow ?? 0;
  const high = RangeHighAlt ?? RangeHigh ?? Math.max(low + 1, 2 * Math.abs(Default ?? 0));
  return (
    <div className="control slider" data-testid={`control-${input.id}`}>
      <label>{input.caption}</label>
      <input type="range" min={low} max={high} step={integer ? 1 : 'any'} value={value}
        data-testid={`slider-${input.id}`} onChange={(e) => onChange(Number(e.target.value))} />
      <NumberField value={value} integer={integer} limit={input.hardLimit} onCommit={onChange}
        testId={`value-${input.id}`} />
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
function ColorGroup({ inputs, node, picking, onChange, onPick }) {
  const group = inputs[0].attributes.ControlGroup;
  const title = inputs.find((input) => input.attributes.GroupName)?.attributes.GroupName;
  return (
    <div className="control color-group" data-testid={`color-group-${group}`}>
      {title && <h4>{title}</h4>}
      {inputs.map((input) => (
        <div className="color-channel" key={input.id} data-testid={`control-${input.id}`}>
          <label>{input.caption} <span className="channel">{channelNames[input.attributes.ControlChannel ?? 0]}</span></label>
          <NumberField value={valueOf(node, input)} onCommit={(value) => onChange(input.id, value)}
            testId={`value-${input.id}`} />
        </div>
      ))}
      <button className={picking ? 'active' : ''} data-testid={`eyedropper-${group}`}
        title="Pick from the viewer" onClick={() => onPick(picking ? null : inputs)}>
        {picking ? 'Click the viewer…' : 'Eyedropper'}
      </button>
    </div>
  );
}

/// The selected node's controls, in the order the tool declares them.
export default function ControlPage({ name, node, tool, readouts, picking, onChange, onPick }) {
  const shownGroups = new Set();
  const controls = [];
  for (const input of tool.inputs) {
    const { Control, ControlGroup, ButtonText } = input.attributes;
    const value = valueOf(node, input);
    if (isImageInput(input)) continue;
    if (Control === 'LabelControl') {
      controls.push(<h3 key={input.id} className="control-label">{input.caption}</h3>);
    } else if (isReadout(input)) {
      controls.push(<Readout key={input.id} input={input} value={readouts?.[input.id] ?? value} />);
    } else if (Control === 'ColorControl') {
      if (shownGroups.has(ControlGroup)) continue;
      shownGroups.add(ControlGroup);
      const members = tool.inputs.filter((other) => other.attributes.Control === 'ColorControl' &&
                                                    other.attributes.ControlGroup === ControlGroup);
      controls.push(<ColorGroup key={input.id} inputs={members} node={node} onChange={onChange}
        picking={picking?.node === name && picking.group === ControlGroup}
        onPick={(inputs) => onPick(inputs && { node: name, group: ControlGroup, inputs })} />);
    } else if (Control === 'CheckboxControl') {
      controls.push(
        <label key={input.id} className="control checkbox" data-testid={`control-${input.id}`}>
          <input type="checkbox" checked={value !== 0} data-testid={`check-${input.id}`}
            onChange={(e) => onChange(input.id, e.target.checked ? 1 : 0)} />
          {input.caption}
        </label>,
      );
    } else if (Control === 'MultiButtonIDControl') {
      controls.push(
        <div key={input.id} className="control buttons" data-testid={`control-${input.id}`}>
          <label>{input.caption}</label>
          <div className="button-row">
            {(ButtonText ?? []).map((text) => (
              <button key={text} className={text === value ? 'active' : ''} data-testid={`button-${input.id}-${text}`}
                onClick={() => onChange(input.id, text)}>{text}</button>
            ))}
          </div>
        </div>,
      );
    } else if (input.attributes.DataType === 'Number') {
      controls.push(<Slider key={input.id} input={input} value={value} onChange={(v) => onChange(input.id, v)} />);
    }
  }
  return <div className="control-page" data-testid="control-page">{controls}</div>;
}

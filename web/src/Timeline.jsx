import { useEffect, useState } from 'react';
import { neighbourKey } from './animation.js';

/// The frame: a slider over `range` with the selected node's key frames
/// as ticks, a field for any frame, the previous and next key, and play.
export default function Timeline({ frame, range, keyFrames, fps, playback, onFrame, onFps }) {
  const [draft, setDraft] = useState(String(frame));
  useEffect(() => setDraft(String(frame)), [frame]);
  const [low, high] = range;
  const previous = neighbourKey(keyFrames, frame, -1), next = neighbourKey(keyFrames, frame, 1);
  const shownTicks = keyFrames.filter((key) => key >= low && key <= high);
  return (
    <div className="timeline" data-testid="timeline">
      <button data-testid="previous-key" disabled={previous === null || playback.playing} title="Previous key"
        onClick={() => onFrame(Math.floor(previous))}>|◀</button>
      {playback.playing
        ? <button data-testid="stop" className="active" onClick={playback.stop}>■ Stop</button>
        : <button data-testid="play" disabled={!playback.range} title={playback.range ? `Play frames ${playback.range[0]}–${playback.range[1]}` : 'Nothing to play: no sequences and no keys'}
            onClick={() => playback.start(frame)}>▶ Play</button>}
      <button data-testid="next-key" disabled={next === null || playback.playing} title="Next key"
        onClick={() => onFrame(Math.ceil(next))}>▶|</button>
      <span className="frame-slider">
        <input type="range" min={low} max={high} step={1} value={frame} data-testid="frame" disabled={playback.playing}
          onChange={(e) => onFrame(Number(e.target.value))} />
        {high > low && shownTicks.map((key) => (
          <span key={key} className="key-tick" data-testid="key-tick" data-frame={key}
            style={{ left: `calc(${((key - low) / (high - low)) * 100}% * (1 - 14px / 100%) + 7px)` }} />
        ))}
      </span>
      <input className={`frame-field${Number.isInteger(Number(draft)) && draft.trim() ? '' : ' invalid'}`}
        data-testid="frame-field" value={draft} disabled={playback.playing}
        onChange={(e) => { setDraft(e.target.value); if (e.target.value.trim() && Number.isInteger(Number(e.target.value))) onFrame(Number(e.target.value)); }} />
      <span className="frame-counter" data-testid="frame-number">frame {frame}</span>
      {playback.playing && <span className="fps-reached" data-testid="fps-reached">
        {playback.reached ? `${playback.reached.toFixed(1)} fps` : '…'}</span>}
      <label title="Frames per second: what Play plays at and what expressions' time counts in">fps
        <input className="fps-field" type="number" min={1} step={1} value={fps} data-testid="fps"
          onChange={(e) => Number(e.target.value) > 0 && onFps(Number(e.target.value))} /></label>
    </div>
  );
}

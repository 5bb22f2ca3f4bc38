import { useEffect, useState } from 'react';
import { cancelRenderJob, renderJobState, startRenderJob } from './api.js';
import useFrameRange from './useFrameRange.js';

const pollPause = 250;  // milliseconds between progress questions

const seconds = (value) => (value === null || value === undefined ? '—' : `${value.toFixed(1)} s`);

/// *Render…*: the flow's saves over a frame range (the shot's by default),
/// rendered by the server as `qz flow` renders them, while the page goes on
/// previewing; its progress, cancel and the errors of its frames.
export default function RenderPanel({ flow, shot, onClose }) {
  const [{ first, last }, setRange] = useFrameRange(shot);
  const [job, setJob] = useState(null);
  const [refusal, setRefusal] = useState(null);

  // The job is the server's: the panel shows the one under way when opened.
  const running = job?.state === 'running';
  useEffect(() => {
    let stopped = false, timer = null;
    const poll = () => renderJobState().then((state) => {
      if (stopped) return;
      setJob(state);
      if (state.state === 'running') timer = setTimeout(poll, pollPause);
    }, () => { if (!stopped) timer = setTimeout(poll, pollPause); });
    poll();
    return () => { stopped = true; clearTimeout(timer); };
  }, [running]);

  async function start() {
    setRefusal(null);
    try {
      setJob({ ...(await startRenderJob(flow, `${first}-${last}`)), done: 0, errors: [] });
    } catch (failure) {
      setRefusal(failure.node ? `${failure.node}: ${failure.message}` : failure.message);
    }
  }

  return (
    <div className="modal" data-testid="render-panel">
      <div className="modal-box">
        <h3>Render the flow's saves</h3>
        <div className="picker-choice">
          <label>Frames <input data-testid="render-first" value={first} size={6} disabled={running}
            onChange={(e) => setRange({ first: e.target.value })} /></label>
          <label>to <input data-testid="render-last" value={last} size={6} disabled={running}
            onChange={(e) => setRange({ last: e.target.value })} /></label>
          <button data-testid="render-start" disabled={running} onClick={start}>Render</button>
          <button data-testid="render-cancel" disabled={!running} onClick={() => cancelRenderJob()}>Cancel</button>
          <button data-testid="render-close" onClick={onClose}>Close</button>
        </div>
        {refusal && <div className="error" data-testid="render-refusal">{refusal}</div>}
        {job && job.state !== 'idle' && (
          <div data-testid="render-job" data-state={job.state} data-done={job.done} data-total={job.total}>
            <progress max={job.total || 1} value={job.done} style={{ width: '100%' }} />
            <div>
              <span data-testid="render-frames">{job.done} / {job.total} frames</span>
              {' · '}<span data-testid="render-fps">{(job.fps ?? 0).toFixed(2)} fps</span>
              {' · '}<span data-testid="render-left">{seconds(job.secondsLeft)} left</span>
              {' · '}<span data-testid="render-state">{job.state}</span>
            </div>
            {job.errors?.map((error, i) => (
              <div key={i} className="error" data-testid="render-error-frame" data-frame={error.frame ?? ''}>
                {error.frame !== null && error.frame !== undefined ? `frame ${error.frame}: ` : ''}{error.error}
              </div>
            ))}
          </div>
        )}
      </div>
    </div>
  );
}

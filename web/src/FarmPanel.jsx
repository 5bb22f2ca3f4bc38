import { useEffect, useState } from 'react';
import { checkFlow, farmJobState, submitFarmJob } from './api.js';
import useFrameRange from './useFrameRange.js';

const pollPause = 1000;  // milliseconds between questions to Slurm

/// How many tasks are in each state, in the order they first appear.
function stateCounts(tasks) {
  const counts = new Map();
  for (const task of tasks) counts.set(task.state, (counts.get(task.state) ?? 0) + 1);
  return [...counts].map(([state, count]) => `${count} ${state.toLowerCase()}`).join(' · ');
}

/// *Submit to farm…*: the flow checked and saved, then submitted to Slurm as `qz submit`
/// submits it (frames split over array tasks), and its tasks followed until
/// each has ended. `save` saves the page's flow and answers its path, or
/// null when the save failed.
export default function FarmPanel({ flow, shot, flowPath, save, onClose }) {
  const [range, setRange] = useFrameRange(shot);
  const [options, setOptions] = useState({ tasks: '', threads: '1', partition: '', time: '' });
  const fields = { ...range, ...options,
                   tasks: options.tasks || String(Math.max(1, Math.min(4, Number(range.last) - Number(range.first) + 1))) };
  const [job, setJob] = useState(null);  // {job, script, warnings}
  const [state, setState] = useState(null);
  const [failure, setFailure] = useState(null);
  const [busy, setBusy] = useState(false);

  useEffect(() => {
    if (!job) return;
    let stopped = false, timer = null;
    const poll = () => farmJobState(job.job).then((answer) => {
      if (stopped) return;
      setState(answer);
      if (!answer.ended) timer = setTimeout(poll, pollPause);
    }, (error) => !stopped && setFailure(`Slurm: ${error.message}`));
    poll();
    return () => { stopped = true; clearTimeout(timer); };
  }, [job]);

  async function submit() {
    setFailure(null);
    setBusy(true);
    try {
      const fault = (await checkFlow(flow)).errors[0];
      if (fault) throw Object.assign(new Error(fault.message), { node: fault.node });
      const path = await save();
      if (!path) throw new Error('the flow could not be saved');
      setState(null);
      setJob(await submitFarmJob({
        path, frames: `${fields.first}-${fields.last}`, tasks: Number(fields.tasks), threads: Number(fields.threads),
        ...(fields.partition ? { partition: fields.partition } : {}), ...(fields.time ? { time: fields.time } : {}),
      }));
    } catch (error) {
      setFailure(error.node ? `${error.node}: ${error.message}` : error.message);
    } finally {
      setBusy(false);
    }
  }

  const change = (name, value) =>
    (name in range ? setRange({ [name]: value }) : setOptions((last) => ({ ...last, [name]: value })));
  const field = (name, label, size, placeholder = '') => (
    <label>{label} <input data-testid={`farm-${name}`} value={fields[name]} size={size} placeholder={placeholder}
      onChange={(e) => change(name, e.target.value)} /></label>
  );
  return (
    <div className="modal" data-testid="farm-panel">
      <div className="modal-box">
        <h3>Submit to farm</h3>
        <p className="hint">Saves the flow to {flowPath || 'the path in the toolbar'} and submits that file to Slurm,
          its frames split over array tasks.</p>
        <div className="farm-fields">
          {field('first', 'Frames', 6)}{field('last', 'to', 6)}{field('tasks', 'Tasks', 4)}
          {field('threads', 'Threads per task', 4)}{field('partition', 'Partition', 10, 'default')}
          {field('time', 'Time limit', 10, 'default')}
        </div>
        <div className="picker-choice">
          <button data-testid="farm-submit" disabled={busy} onClick={submit}>Save and submit</button>
          <button data-testid="farm-close" onClick={onClose}>Close</button>
        </div>
        {failure && <div className="error" data-testid="farm-refusal">{failure}</div>}
        {job && (
          <div data-testid="farm-job" data-job={job.job} data-ended={state?.ended ? '1' : '0'}>
            <div>Job <strong data-testid="farm-job-id">{job.job}</strong> ({job.script})
              {state && <> · <span data-testid="farm-summary">{stateCounts(state.tasks)}</span></>}</div>
            {job.warnings.map((warning, i) => <div key={i} className="hint">{warning}</div>)}
            {state && (
              <table className="farm-tasks">
                <thead><tr><th>Task</th><th>State</th><th>Exit</th><th>Reason</th></tr></thead>
                <tbody>
                  {state.tasks.map((task) => (
                    <tr key={task.task} data-testid={`farm-task-${task.task}`} data-state={task.state}>
                      <td>{task.task}</td><td>{task.state}</td><td>{task.exitCode}</td>
                      <td>{task.reason === 'None' ? '' : task.reason}</td>
                    </tr>
                  ))}
                </tbody>
              </table>
            )}
          </div>
        )}
      </div>
    </div>
  );
}

import { useCallback, useEffect, useRef, useState } from 'react';
import { pageId, renderImage } from './api.js';

// Played frames are asked for under a page name of their own, so that they
// never overtake (or are overtaken by) the live view's renders.
const playPage = `${pageId}-play`;
const ahead = 12;  // frames rendered ahead of the one shown

/// Plays frames `range` ([first, last], looping) of the view `viewAt(frame)`
/// gives at `fps`: a frame is shown once its time has come and its picture
/// has arrived, so a first pass plays as fast as the server renders and a
/// second, whose outputs the server keeps, in real time. Returns the frame
/// shown, its pictures, the frames per second reached and start/stop.
export default function usePlayback({ range, fps, viewAt }) {
  const [playing, setPlaying] = useState(false);
  const [shown, setShown] = useState(null);  // {frame, primary, secondary, readouts}
  const [reached, setReached] = useState(null);
  const state = useRef(null);
  const latest = useRef();
  latest.current = { viewAt, fps, range };

  const stop = useCallback(() => {
    if (state.current) state.current.stopped = true;
    state.current = null;
    setPlaying(false);
  }, []);

  const start = useCallback((from) => {
    const [first, last] = latest.current.range;
    const next = (frame) => (frame >= last ? first : frame + 1);
    const run = { stopped: false, buffer: new Map(), loading: from >= first && from <= last ? from : first,
                  showing: null, times: [], generation: 0, restart: false };
    run.showing = run.loading;
    state.current = run;
    setPlaying(true);
    setReached(null);
    const keyOf = (frame) => JSON.stringify(latest.current.viewAt(frame));

    // Loads frames in order, one request at a time, up to `ahead` past the one shown.
    (async () => {
      while (!run.stopped) {
        if (run.restart) {
          run.restart = false;
          run.buffer.clear();
          run.loading = run.showing;
        }
        if (run.buffer.size >= Math.min(ahead, last - first + 1)) {
          await new Promise((resolve) => setTimeout(resolve, 5));
          continue;
        }
        const frame = run.loading, view = latest.current.viewAt(frame);
        try {
          const primary = await renderImage({ ...view.primary, generation: ++run.generation }, { page: playPage });
          const secondary = view.secondary
            ? await renderImage({ ...view.secondary, generation: ++run.generation }, { page: playPage }) : null;
          run.buffer.set(frame, { key: JSON.stringify(view), frame, primary, secondary,
                                  readouts: { ...secondary?.readouts, ...primary.readouts } });
        } catch {
          stop();
          return;
        }
        run.loading = next(frame);
      }
    })();

    // Shows the next frame when its time has come and it has arrived.
    let lastShown = 0;
    const tick = (now) => {
      if (run.stopped) return;
      const picture = run.buffer.get(run.showing);
      if (picture && now - lastShown >= 1000 / latest.current.fps - 2) {
        run.buffer.delete(run.showing);
        if (picture.key === keyOf(run.showing)) {
          setShown(picture);
          lastShown = now;
          run.times.push(now);
          if (run.times.length > latest.current.fps + 1) run.times.shift();
          if (run.times.length > 1)
            setReached(((run.times.length - 1) * 1000) / (run.times[run.times.length - 1] - run.times[0]));
          run.showing = next(run.showing);
        } else {
          // The flow changed while it played: from this frame again, as it is now.
          run.restart = true;
        }
      }
      requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
  }, [stop]);

  useEffect(() => stop, [stop]);
  return { playing, shown: playing ? shown : null, reached, start, stop };
}

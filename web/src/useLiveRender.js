import { useCallback, useEffect, useRef, useState } from 'react';
import { renderImage } from './api.js';

/// Renders a view ({primary: request, secondary: request | null}) whenever
/// it changes. `request(view)` sends it at once, from the event that changed
/// it, before the page re-renders; the hook also asks for `view` itself, for
/// changes made otherwise (a selection, a frame). Each request carries a
/// higher generation than the last of this page and goes at once: the
/// server cancels the render it overtakes, which answers 409, and an answer
/// that a newer change has overtaken is dropped rather than shown.
export default function useLiveRender(view) {
  const [shown, setShown] = useState({ primary: null, secondary: null, generation: 0, readouts: {}, key: null });
  const [busy, setBusy] = useState(false);
  const [error, setError] = useState(null);
  const generation = useRef(0);
  const wanted = useRef({ view: null, key: null });
  const inFlight = useRef(0);

  const send = useCallback(async () => {
    const request = wanted.current;
    const overtaken = () => wanted.current !== request;
    inFlight.current++;
    setBusy(true);
    try {
      const primaryGeneration = ++generation.current;
      const primary = await renderImage({ ...request.view.primary, generation: primaryGeneration });
      const secondary = request.view.secondary && !overtaken()
        ? await renderImage({ ...request.view.secondary, generation: ++generation.current })
        : null;
      if (!overtaken()) {
        performance.mark('qz-received', { detail: { generation: primaryGeneration } });
        setShown({ primary, secondary, generation: primaryGeneration,
                   readouts: { ...secondary?.readouts, ...primary.readouts }, key: request.key });
        setError(null);
      }
    } catch (failure) {
      if (!overtaken() && failure.status !== 409) setError(failure);
    } finally {
      if (--inFlight.current === 0) setBusy(false);
    }
  }, []);

  const request = useCallback((next) => {
    const key = next ? JSON.stringify(next) : null;
    if (key === wanted.current.key) return;
    wanted.current = { view: next, key };
    if (next) send();
    else {
      setShown({ primary: null, secondary: null, generation: generation.current, readouts: {}, key: null });
      setError(null);
    }
  }, [send]);

  const key = view ? JSON.stringify(view) : null;
  useEffect(() => request(view), [key]);

  // Settled: the picture shown is that of the latest change.
  return { ...shown, busy, error, settled: !busy && shown.key === key, request };
}

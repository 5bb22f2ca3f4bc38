import { useEffect, useRef, useState } from 'react';
import { renderImage } from './api.js';

/// Renders `view` ({primary: request, secondary: request | null}) whenever
/// it changes. Each request carries a higher generation than the last; at
/// most one is in flight, and an answer that a newer change has overtaken is
/// dropped rather than shown.
export default function useLiveRender(view) {
  const [shown, setShown] = useState({ primary: null, secondary: null, generation: 0, readouts: {}, key: null });
  const [busy, setBusy] = useState(false);
  const [error, setError] = useState(null);
  // The server answers 409 to any generation below the highest it has seen,
  // from this page or one loaded before it. Counting on from the clock keeps
  // a reloaded page above its predecessor: each request waits for the one
  // before, so none outruns the clock's milliseconds.
  const generation = useRef(Date.now());
  const wanted = useRef(null);
  const inFlight = useRef(false);
  const key = view ? JSON.stringify(view) : null;

  useEffect(() => {
    wanted.current = view;
    if (!view) {
      setShown({ primary: null, secondary: null, generation: generation.current, readouts: {}, key: null });
      setError(null);
      return;
    }
    pump();
  }, [key]);

  async function pump() {
    if (inFlight.current || !wanted.current) return;
    const request = wanted.current;
    const requestKey = JSON.stringify(request);
    const overtaken = () => wanted.current !== request;
    inFlight.current = true;
    setBusy(true);
    try {
      const primaryGeneration = ++generation.current;
      const primary = await renderImage({ ...request.primary, generation: primaryGeneration });
      const secondary = request.secondary && !overtaken()
        ? await renderImage({ ...request.secondary, generation: ++generation.current })
        : null;
      if (!overtaken()) {
        performance.mark('qz-received', { detail: { generation: primaryGeneration } });
        setShown({ primary, secondary, generation: primaryGeneration,
                   readouts: { ...secondary?.readouts, ...primary.readouts }, key: requestKey });
        setError(null);
      }
    } catch (failure) {
      if (!overtaken() && failure.status !== 409) setError(failure);
    } finally {
      inFlight.current = false;
      if (wanted.current && overtaken()) pump();
      else setBusy(false);
    }
  }

  // Settled: the picture shown is that of the latest change.
  return { ...shown, busy, error, settled: !busy && shown.key === key };
}

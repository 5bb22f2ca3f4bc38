import { useCallback, useEffect, useRef, useState } from 'react';
import { KeptPictures } from './KeptPictures.js';
import { renderImage } from './api.js';

const keptBytes = 256 * 2 ** 20;  // sixteen 1920 x 1080 pictures sent whole

/// Renders a view ({primary: request, secondary: request | null}) whenever
/// it changes. `request(view)` sends it at once, from the event that changed
/// it, before the page re-renders; the hook also asks for `view` itself, for
/// changes made otherwise (a selection, a frame). Each request carries a
/// higher generation than the last of this page and goes at once: the
/// server cancels the render it overtakes, which answers 409, and an answer
/// that a newer change has overtaken is dropped rather than shown. A view
/// shown before is shown from the page's pictures while it is asked for.
export default function useLiveRender(view) {
  const [shown, setShown] = useState({ primary: null, secondary: null, generation: 0, readouts: {}, key: null });
  const [busy, setBusy] = useState(false);
  const [error, setError] = useState(null);
  const generation = useRef(0);
  const wanted = useRef({ view: null, key: null });
  const inFlight = useRef(0);
  const [kept] = useState(() => new KeptPictures(keptBytes));

  const show = (primary, secondary, key) => {
    setShown({ primary, secondary, generation: primary.generation,
               readouts: { ...secondary?.readouts, ...primary.readouts }, key });
    setError(null);
  };

  const send = useCallback(async () => {
    const request = wanted.current;
    const overtaken = () => wanted.current !== request;
    const held = kept.get(request.key);
    if (held) show(held.primary, held.secondary, request.key);
    inFlight.current++;
    setBusy(true);
    try {
      const primaryGeneration = ++generation.current;
      const primary = await renderImage({ ...request.view.primary, generation: primaryGeneration },
                                        { held: held?.primary });
      const secondary = request.view.secondary && !overtaken()
        ? await renderImage({ ...request.view.secondary, generation: ++generation.current },
                            { held: held?.secondary })
        : null;
      if (!overtaken()) {
        performance.mark('qz-received', { detail: { generation: primaryGeneration } });
        kept.keep(request.key, { primary, secondary });
        show(primary, secondary, request.key);
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

import { useEffect, useRef, useState } from 'react';
import { evaluateCurve } from './api.js';

const kept = 256;  // answers kept per hook, the latest

/// The server's evaluations of `requests` (for /api/curve), each asked once
/// the requests have not changed for `pause` milliseconds: a Map from each
/// request's JSON text to {answer} or {error}. Answers already known are
/// given at once, so a frame shown before is shown without waiting.
export default function useEvaluations(requests, pause) {
  const known = useRef(new Map());
  const [, setCount] = useState(0);
  const keys = requests.map((request) => JSON.stringify(request));
  const joined = keys.join('\n');
  useEffect(() => {
    const missing = keys.map((key, i) => [key, requests[i]]).filter(([key]) => !known.current.has(key));
    if (!missing.length) return;
    const timer = setTimeout(() => {
      for (const [key, request] of missing)
        evaluateCurve(request).then((answer) => ({ answer }), (error) => ({ error })).then((result) => {
          known.current.set(key, result);
          if (known.current.size > kept) known.current.delete(known.current.keys().next().value);
          setCount((count) => count + 1);
        });
    }, pause);
    return () => clearTimeout(timer);
  }, [joined]);
  return known.current;
}

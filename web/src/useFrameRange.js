import { useEffect, useState } from 'react';

/// The first and last frame fields of a render or a submission: the shot's
/// (1 to 1 without one), following the shot until the user types in them,
/// so a dialog opened before the flow's check has answered still starts
/// with the shot's frames.
export default function useFrameRange(shot) {
  const fromShot = () => ({ first: String(shot?.[0] ?? 1), last: String(shot?.[1] ?? shot?.[0] ?? 1) });
  const [range, setRange] = useState(fromShot);
  const [typed, setTyped] = useState(false);
  useEffect(() => { if (!typed) setRange(fromShot()); }, [shot?.[0], shot?.[1]]);
  return [range, (next) => { setTyped(true); setRange((last) => ({ ...last, ...next })); }];
}

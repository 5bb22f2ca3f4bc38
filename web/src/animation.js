// Animated values as a flow file writes them: keys ({"keys": [{frame, value,
// interpolation?, in?, out?}], "before"?, "after"?}) or an expression
// ({"expression": TEXT}). These helpers edit the key lists only; what a value
// is between its keys the server works out, through the engine.

export const interpolations = ['constant', 'linear', 'smooth', 'cubic', 'bezier'];
export const extrapolations = ['constant', 'linear', 'cycle'];

export const isKeyed = (value) => Array.isArray(value?.keys);
export const isExpression = (value) => typeof value?.expression === 'string';
export const isAnimated = (value) => isKeyed(value) || isExpression(value);

/// The index of the key at exactly `frame`, or -1.
export const keyIndexAt = (value, frame) => (isKeyed(value) ? value.keys.findIndex((key) => key.frame === frame) : -1);

/// The value with a key of `number` at `frame`: a key there keeps its
/// interpolation and handles; a still value or an expression becomes one key.
export function setKey(value, frame, number) {
  if (!isKeyed(value)) return { keys: [{ frame, value: number }] };
  const at = keyIndexAt(value, frame);
  const keys = [...value.keys];
  if (at >= 0) keys[at] = { ...keys[at], value: number };
  else {
    const after = keys.findIndex((key) => key.frame > frame);
    keys.splice(after < 0 ? keys.length : after, 0, { frame, value: number });
  }
  return { ...value, keys };
}

/// The value a control's edit to `number` at `frame` makes: a keyed value
/// gets a key there, anything else becomes `number`, still.
export const editedAt = (value, frame, number) => (isKeyed(value) ? setKey(value, frame, number) : number);

/// The value without its key at `frame`; without keys left, the last one's value held still.
export function removeKey(value, frame) {
  const at = keyIndexAt(value, frame);
  if (at < 0) return value;
  if (value.keys.length === 1) return value.keys[0].value;
  return { ...value, keys: value.keys.filter((_, i) => i !== at) };
}

/// Key `index` moved to `frame` and `number`. Keys keep their order: the
/// frame stays at least `gap` frames from either neighbour, and where it
/// cannot, the key keeps its frame.
export function moveKey(value, index, frame, number, gap = 1) {
  const keys = [...value.keys];
  const low = index > 0 ? keys[index - 1].frame + gap : -Infinity;
  const high = index + 1 < keys.length ? keys[index + 1].frame - gap : Infinity;
  const within = low <= high ? Math.min(Math.max(frame, low), high) : keys[index].frame;
  keys[index] = { ...keys[index], frame: within, value: number };
  return { ...value, keys };
}

/// Key `index` with `changes` (interpolation, in, out) merged in; a member set to undefined is removed.
export function changeKey(value, index, changes) {
  const key = { ...value.keys[index], ...changes };
  for (const member of Object.keys(changes)) if (changes[member] === undefined) delete key[member];
  if (key.interpolation === 'linear') delete key.interpolation;  // the default, as files usually leave it
  return { ...value, keys: value.keys.map((old, i) => (i === index ? key : old)) };
}

/// "before" or "after" set; "constant", the default, is left out.
export function setExtrapolation(value, end, mode) {
  const { [end]: _, ...rest } = value;
  return mode === 'constant' ? rest : { ...rest, [end]: mode };
}

/// The frames of every key of a node's values, in order, each once.
export function nodeKeyFrames(node) {
  const frames = new Set();
  for (const value of Object.values(node?.values ?? {})) if (isKeyed(value)) value.keys.forEach((key) => frames.add(key.frame));
  return [...frames].sort((a, b) => a - b);
}

/// The nearest key frame before (`direction` -1) or after (+1) `frame`, or null.
export function neighbourKey(frames, frame, direction) {
  const candidates = frames.filter((key) => (direction < 0 ? key < frame : key > frame));
  if (!candidates.length) return null;
  return direction < 0 ? candidates[candidates.length - 1] : candidates[0];
}

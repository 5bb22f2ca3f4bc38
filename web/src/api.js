// Calls to the `qz studio` server. Every /api request carries the session's
// token, which the page was opened with (?token=...).
const token = new URLSearchParams(location.search).get('token') ?? '';

/// This page's own name for the server, which counts each page's render
/// generations apart and keeps the pictures it sent each.
export const pageId = Array.from(crypto.getRandomValues(new Uint32Array(4)), (n) => n.toString(16)).join('');

export class ApiError extends Error {
  constructor(status, body) {
    super(body?.error ?? `HTTP ${status}`);
    this.status = status;
    this.node = body?.node ?? null;
    this.input = body?.input ?? null;
  }
}

async function call(method, path, body) {
  const response = await fetch(path, {
    method,
    headers: { 'X-Qz-Token': token, ...(body ? { 'Content-Type': 'application/json' } : {}) },
    body: body ? JSON.stringify(body) : undefined,
  });
  if (!response.ok) throw new ApiError(response.status, await response.json().catch(() => null));
  return response;
}

const json = (method, path, body) => call(method, path, body).then((r) => r.json());

export const getSession = () => json('GET', '/api/session');
export const listFiles = (dir) => json('GET', `/api/files?dir=${encodeURIComponent(dir)}`);
export const checkFlow = (flow) => json('POST', '/api/check', { flow });
export const openFlow = (path) => json('POST', '/api/open', { path });
export const saveFlow = (path, flow) => json('POST', '/api/save', { path, flow });
/// An input's value ({tool, input, value, node?, fps?}) evaluated by the
/// server at `samples` frames evenly from `from` to `to`: {frames, values,
/// keys}; a fault of the value is an ApiError naming the node and input.
export const evaluateCurve = (request) => json('POST', '/api/curve', request);

/// One picture to show, as `request.format` asks: "half" (the default),
/// half floats R G B A interleaved, or "display" (with `request.display`,
/// {space, display, view, look, channel, exposure, gamma}), the 8-bit R G B
/// A levels of the viewer's display; row 0 (the bottom row) first, of every
/// `step`-th pixel of every `step`-th row (`columns` x `rows`) of `region`
/// ({x, y, width, height}, from the bottom left) of the `width` x `height`
/// picture. Its exact floats come from `exactPixels` when asked for.
/// Asked under `page` (this page's by default). Every picture carries the
/// server's `tag` of its pixels; `held`, a picture this page was sent for
/// the same request, is answered with its pixels (and this render's
/// generation) when its tag still stands.
export async function renderImage(request, { page = pageId, held = null } = {}) {
  const asked = { format: 'half', ...request, page, ...(held ? { have: held.tag } : {}) };
  const response = await call('POST', '/api/render', asked);
  const tag = response.headers.get('X-Qz-Tag');
  const width = Number(response.headers.get('X-Qz-Width'));
  const height = Number(response.headers.get('X-Qz-Height'));
  const step = Number(response.headers.get('X-Qz-Step'));
  const [x, y, regionWidth, regionHeight] = response.headers.get('X-Qz-Region').split(' ').map(Number);
  const region = { x, y, width: regionWidth, height: regionHeight };
  const columns = Math.ceil(region.width / step), rows = Math.ceil(region.height / step);
  const readouts = JSON.parse(response.headers.get('X-Qz-Readouts') || '{}');
  if (response.status === 204) return { ...held, readouts, generation: request.generation, page };
  // Read into place as the body arrives, rather than gathered and copied whole at its end.
  const pixels = asked.format === 'display' ? new Uint8Array(columns * rows * 4) : new Uint16Array(columns * rows * 4);
  const bytes = new Uint8Array(pixels.buffer);
  let filled = 0;
  for (const reader = response.body.getReader(); ;) {
    const { done, value } = await reader.read();
    if (done) break;
    if (filled + value.length > bytes.length) throw new Error(`render answered more than ${columns} x ${rows} pixels`);
    bytes.set(value, filled);
    filled += value.length;
  }
  if (filled !== bytes.length) throw new Error(`render answered ${filled} bytes for ${columns} x ${rows} pixels`);
  return { width, height, step, region, columns, rows, readouts, generation: request.generation, page, tag,
           ...(asked.format === 'display' ? { levels: pixels, display: asked.display } : { halves: pixels }) };
}

/// The view transform from colour space `space` to `view` of `display` with
/// `look` (names of the colour configuration; "" for its defaults) as the
/// server's OpenColorIO writes it for WebGL2: {space, display, view, look,
/// luma, shader: {functionName, text, uniforms, textures, textures3d}}.
export const getViewTransform = ({ space, display, view, look }) =>
  json('GET', `/api/view?${new URLSearchParams({ space, display, view, look })}`);

/// The exact float32 R G B A of a rectangle of the picture `image` (as
/// `renderImage` answered it), bottom row first.
export async function exactPixels(image, x, y, width, height) {
  const query = new URLSearchParams({ page: image.page, generation: image.generation, x, y, width, height });
  const response = await call('GET', `/api/pixels?${query}`);
  return new Float32Array(await response.arrayBuffer());
}

/// The render of the flow's saves over `frames` (a range text, "1-5") on
/// the server, as `qz flow` renders them; one at a time. A flow whose checks
/// fail is refused with the reason (an ApiError).
export const startRenderJob = (flow, frames) => json('POST', '/api/render-job', { flow, frames });
/// The render's {state: idle|running|done|failed|cancelled, done, total, fps,
/// secondsLeft, errors: [{frame, error}]}.
export const renderJobState = () => json('GET', '/api/render-job');
export const cancelRenderJob = () => json('POST', '/api/render-job/cancel', {});

/// The flow file `request.path` (saved) submitted to Slurm as `qz submit`
/// submits it: {path, frames, tasks, threads, partition, time} give; answers
/// {job, script, tasks, warnings}. A flow or option refused is an ApiError.
export const submitFarmJob = (request) => json('POST', '/api/farm-job', request);
/// The submitted job's tasks as Slurm tells them: {job, ended, tasks: [{task,
/// state, exitCode, reason}]}.
export const farmJobState = (job) => json('GET', `/api/farm-job?${new URLSearchParams({ job })}`);

// Calls to the `qz studio` server. Every /api request carries the session's
// token, which the page was opened with (?token=...).
const token = new URLSearchParams(location.search).get('token') ?? '';

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

/// One picture: float32 R G B A interleaved, row 0 (the bottom row) first.
export async function renderImage(request) {
  const response = await call('POST', '/api/render', request);
  const width = Number(response.headers.get('X-Qz-Width'));
  const height = Number(response.headers.get('X-Qz-Height'));
  const readouts = JSON.parse(response.headers.get('X-Qz-Readouts') || '{}');
  const pixels = new Float32Array(await response.arrayBuffer());
  if (pixels.length !== width * height * 4)
    throw new Error(`render answered ${pixels.length / 4} pixels for ${width} x ${height}`);
  return { width, height, pixels, readouts };
}

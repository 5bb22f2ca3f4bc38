// The viewer's pictures through WebGL2: half-float textures uploaded as they
// arrive, and a fragment shader holding the server's view transform (the
// colour configuration's display and view, as OpenColorIO writes it in GLSL
// ES 3.0, with its LUTs as textures) between the viewer's exposure and
// gamma. Exposure, gamma, channel and wipe are uniforms, and a change of
// transform compiles a new program, so neither touches the pixels.

const vertexShader = `#version 300 es
layout(location = 0) in vec2 corner;
void main() { gl_Position = vec4(corner, 0.0, 1.0); }`;

// Screen pixel -> image pixel (row 0 at the bottom, as the textures hold
// them), nearest, as the canvas fallback draws without smoothing; then the
// channels chosen, exposure, the transform, gamma. Samplers are highp: a
// LUT's floats are sampled whole.
const fragmentShader = (transform) => `#version 300 es
precision highp float;
precision highp int;
precision highp sampler2D;
precision highp sampler3D;
uniform sampler2D primary, secondary;
uniform vec2 imageSize;      // pixels
uniform vec3 view;           // x, y (CSS pixels from the top left), scale
uniform float ratio, screenHeight, wipeColumn, gain, inverseGamma;
uniform vec3 luma;           // the configuration's luma weights
uniform int channel;         // 0..3: R, G, B, A; 4: RGB; 5: luma
uniform int step;            // the textures hold every step-th pixel of every step-th row
uniform ivec2 origin;        // of the region they hold, from the bottom left
uniform bool wiped;
${transform.text}
out vec4 colour;
void main() {
  vec2 point = vec2(gl_FragCoord.x, screenHeight - gl_FragCoord.y) / ratio;
  vec2 at = (point - view.xy) / view.z;
  if (any(lessThan(at, vec2(0.0))) || any(greaterThanEqual(at, imageSize))) { colour = vec4(0.0); return; }
  if (wiped && at.x >= wipeColumn && at.x < wipeColumn + 1.0 / view.z) { colour = vec4(1.0, 0.8, 0.0, 1.0); return; }
  ivec2 inRegion = ivec2(int(at.x), int(imageSize.y) - 1 - int(at.y)) - origin;
  ivec2 texel = inRegion / step;
  if (any(lessThan(inRegion, ivec2(0))) || any(greaterThanEqual(texel, textureSize(primary, 0)))) {
    colour = vec4(0.0);  // not sent: outside the viewer when it was asked for
    return;
  }
  vec4 v = wiped && at.x >= wipeColumn ? texelFetch(secondary, texel, 0) : texelFetch(primary, texel, 0);
  vec3 c = (channel == 4 ? v.rgb : channel == 5 ? vec3(dot(v.rgb, luma)) : vec3(v[channel])) * gain;
  c = mix(c, vec3(0.0), isnan(c));
  // OpenColorIO 2.1's shader of the ACES glow divides by the pixel's
  // brightness, 0 / 0 for exact black (its CPU code branches around it):
  // black goes in as 1e-30, which any transform shows as it shows black.
  if (all(equal(c, vec3(0.0)))) c = vec3(1e-30);
  vec3 shown = ${transform.functionName}(vec4(c, 1.0)).rgb;
  shown = mix(shown, vec3(0.0), isnan(shown));
  colour = vec4(pow(clamp(shown, 0.0, 1.0), vec3(inverseGamma)), 1.0);
}`;

const channels = { r: 0, g: 1, b: 2, a: 3, rgb: 4, luma: 5 };
const viewerUniforms = ['primary', 'secondary', 'imageSize', 'view', 'ratio', 'screenHeight', 'wipeColumn', 'gain',
  'inverseGamma', 'luma', 'channel', 'step', 'origin', 'wiped'];
const firstLutUnit = 2;  // units 0 and 1 hold the pictures
const programsKept = 8;  // transforms compiled, for going back and forth between views

function compile(gl, type, source) {
  const shader = gl.createShader(type);
  gl.shaderSource(shader, source);
  gl.compileShader(shader);
  if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
  return shader;
}

// Renderers that draw on the processor: there, the server's 8-bit pictures
// draw on a 2D canvas several times faster than the shader.
const softwareRenderers = /swiftshader|llvmpipe|softpipe|software/i;

/// Whether the browser offers WebGL2 (in hardware, unless `software` takes
/// a software renderer too); asked of a canvas of its own, since a canvas
/// keeps the first kind of context it gives.
export function webglOffered({ software = false } = {}) {
  const gl = document.createElement('canvas').getContext('webgl2');
  if (!gl) return false;
  const about = gl.getExtension('WEBGL_debug_renderer_info');
  const offered = software || !about || !softwareRenderers.test(gl.getParameter(about.UNMASKED_RENDERER_WEBGL));
  gl.getExtension('WEBGL_lose_context')?.loseContext();
  return offered;
}

/// The WebGL2 texture of an OpenColorIO LUT: 32-bit floats, filtered as
/// OpenColorIO asks; where the browser cannot filter float textures
/// linearly (no OES_texture_float_linear), half floats, which it always can.
function lutTexture(gl, lut, floatsFilter) {
  const linear = lut.interpolation === 'linear';
  const halves = linear && !floatsFilter;
  const texture = gl.createTexture();
  const target = lut.edge ? gl.TEXTURE_3D : gl.TEXTURE_2D;
  gl.bindTexture(target, texture);
  const filter = linear ? gl.LINEAR : gl.NEAREST;
  gl.texParameteri(target, gl.TEXTURE_MIN_FILTER, filter);
  gl.texParameteri(target, gl.TEXTURE_MAG_FILTER, filter);
  for (const wrap of [gl.TEXTURE_WRAP_S, gl.TEXTURE_WRAP_T, ...(lut.edge ? [gl.TEXTURE_WRAP_R] : [])])
    gl.texParameteri(target, wrap, gl.CLAMP_TO_EDGE);
  const values = new Float32Array(lut.values);
  if (lut.edge) {
    gl.texImage3D(target, 0, halves ? gl.RGB16F : gl.RGB32F, lut.edge, lut.edge, lut.edge, 0, gl.RGB, gl.FLOAT, values);
  } else {
    const red = lut.channels === 1;
    const format = red ? gl.RED : gl.RGB;
    const internal = red ? (halves ? gl.R16F : gl.R32F) : (halves ? gl.RGB16F : gl.RGB32F);
    gl.texImage2D(target, 0, internal, lut.width, lut.height, 0, format, gl.FLOAT, values);
  }
  return { target, texture };
}

function setUniform(gl, location, { type, value }) {
  if (type === 'float') gl.uniform1f(location, value);
  else if (type === 'bool') gl.uniform1i(location, value ? 1 : 0);
  else if (type === 'vec3') gl.uniform3fv(location, value);
  else if (type === 'float[]') gl.uniform1fv(location, value);
  else if (type === 'int[]') gl.uniform1iv(location, value);
  else throw new Error(`uniform ${location} of unknown type ${type}`);
}

/// A WebGL2 view on `canvas`, or null when the browser offers none.
export function createGlView(canvas) {
  const gl = canvas.getContext('webgl2', { antialias: false, depth: false, preserveDrawingBuffer: true });
  if (!gl) return null;
  const floatsFilter = Boolean(gl.getExtension('OES_texture_float_linear'));
  const vertex = compile(gl, gl.VERTEX_SHADER, vertexShader);
  gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
  gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([-1, -1, 1, -1, -1, 1, 1, 1]), gl.STATIC_DRAW);
  gl.enableVertexAttribArray(0);
  gl.vertexAttribPointer(0, 2, gl.FLOAT, false, 0, 0);
  const textures = [gl.createTexture(), gl.createTexture()];
  gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
  const programs = new Map();  // by shader text, the latest used last
  let current = null;

  /// The program of a transform (the server's shader answer), with its LUTs and uniforms.
  function programOf(transform) {
    const known = programs.get(transform.text);
    if (known) {
      programs.delete(transform.text);
      programs.set(transform.text, known);
      return known;
    }
    const program = gl.createProgram();
    gl.attachShader(program, vertex);
    const fragment = compile(gl, gl.FRAGMENT_SHADER, fragmentShader(transform));
    gl.attachShader(program, fragment);
    gl.linkProgram(program);
    gl.deleteShader(fragment);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
    const uniform = Object.fromEntries(viewerUniforms.map((name) => [name, gl.getUniformLocation(program, name)]));
    gl.useProgram(program);
    gl.uniform1i(uniform.primary, 0);
    gl.uniform1i(uniform.secondary, 1);
    const luts = [...transform.textures, ...transform.textures3d].map((lut, i) => {
      gl.activeTexture(gl.TEXTURE0 + firstLutUnit + i);
      gl.uniform1i(gl.getUniformLocation(program, lut.sampler), firstLutUnit + i);
      return lutTexture(gl, lut, floatsFilter);
    });
    for (const value of transform.uniforms) setUniform(gl, gl.getUniformLocation(program, value.name), value);
    const made = { program, uniform, luts };
    programs.set(transform.text, made);
    if (programs.size > programsKept) {
      const [text, oldest] = programs.entries().next().value;
      programs.delete(text);
      gl.deleteProgram(oldest.program);
      for (const lut of oldest.luts) gl.deleteTexture(lut.texture);
    }
    return made;
  }

  return {
    /// Texture unit 0 (primary) or 1 (secondary) takes `image` ({columns, rows, halves}).
    upload(unit, image) {
      gl.activeTexture(gl.TEXTURE0 + unit);
      gl.bindTexture(gl.TEXTURE_2D, textures[unit]);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
      gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA16F, image.columns, image.rows, 0, gl.RGBA, gl.HALF_FLOAT, image.halves);
    },
    /// Draws through `transform` (the server's /api/view answer) from now
    /// on; throws when the browser cannot compile its shader.
    setTransform(transform) {
      current = { ...programOf(transform.shader), luma: transform.luma };
    },
    /// Draws at `view` ({x, y, scale}) with `ratio` device pixels to a CSS pixel.
    draw({ image, view, ratio, display, wipeColumn }) {
      gl.viewport(0, 0, canvas.width, canvas.height);
      gl.clearColor(0, 0, 0, 0);
      gl.clear(gl.COLOR_BUFFER_BIT);
      if (!image || !view || !current) return;
      const { program, uniform, luts } = current;
      gl.useProgram(program);
      for (const [unit, texture] of textures.entries()) {
        gl.activeTexture(gl.TEXTURE0 + unit);
        gl.bindTexture(gl.TEXTURE_2D, texture);
      }
      luts.forEach((lut, i) => {
        gl.activeTexture(gl.TEXTURE0 + firstLutUnit + i);
        gl.bindTexture(lut.target, lut.texture);
      });
      gl.uniform2f(uniform.imageSize, image.width, image.height);
      gl.uniform3f(uniform.view, view.x, view.y, view.scale);
      gl.uniform1f(uniform.ratio, ratio);
      gl.uniform1f(uniform.screenHeight, canvas.height);
      gl.uniform1f(uniform.wipeColumn, Number.isFinite(wipeColumn) ? wipeColumn : 0);
      gl.uniform1i(uniform.wiped, Number.isFinite(wipeColumn));
      gl.uniform1f(uniform.gain, Math.pow(2, display.exposure));
      gl.uniform1f(uniform.inverseGamma, 1 / display.gamma);
      gl.uniform3fv(uniform.luma, current.luma);
      gl.uniform1i(uniform.channel, channels[display.channel]);
      gl.uniform1i(uniform.step, image.step);
      gl.uniform2i(uniform.origin, image.region.x, image.region.y);
      gl.drawArrays(gl.TRIANGLE_STRIP, 0, 4);
    },
  };
}

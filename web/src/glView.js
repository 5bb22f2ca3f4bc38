// The viewer's pictures through WebGL2: half-float textures uploaded as
// they arrive, exposure, gamma, channel and wipe applied per screen pixel by
// the shader, so a display change redraws without touching the pixels.
import { lumaWeights } from './display.js';

const vertexShader = `#version 300 es
in vec2 corner;
void main() { gl_Position = vec4(corner, 0.0, 1.0); }`;

// Screen pixel -> image pixel (row 0 at the bottom, as the textures hold
// them), nearest, as the canvas fallback draws without smoothing.
const fragmentShader = `#version 300 es
precision highp float;
precision highp int;
uniform highp sampler2D primary, secondary;
uniform vec2 imageSize;      // pixels
uniform vec3 view;           // x, y (CSS pixels from the top left), scale
uniform float ratio, screenHeight, wipeColumn, gain, inverseGamma;
uniform int channel;         // 0..3: R, G, B, A; 4: RGB; 5: luma
uniform int step;            // the textures hold every step-th pixel of every step-th row
uniform ivec2 origin;        // of the region they hold, from the bottom left
uniform bool wiped;
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
  vec4 v = (wiped && at.x >= wipeColumn ? texelFetch(secondary, texel, 0) : texelFetch(primary, texel, 0)) * gain;
  vec3 c = channel == 4 ? v.rgb : channel == 5 ? vec3(dot(v.rgb, vec3(${lumaWeights.join(', ')}))) : vec3(v[channel]);
  c = mix(c, vec3(0.0), isnan(c));
  colour = vec4(pow(clamp(c, 0.0, 1.0), vec3(inverseGamma)), 1.0);
}`;

const channels = { r: 0, g: 1, b: 2, a: 3, rgb: 4, luma: 5 };

function compile(gl, type, source) {
  const shader = gl.createShader(type);
  gl.shaderSource(shader, source);
  gl.compileShader(shader);
  if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
  return shader;
}

// Renderers that draw on the processor: there, the 2D canvas's table look-ups
// draw a picture several times faster than the shader.
const softwareRenderers = /swiftshader|llvmpipe|softpipe|software/i;

/// A WebGL2 view on `canvas`, or null when the browser offers none, or only
/// a software one and `software` does not take it.
export function createGlView(canvas, { software = false } = {}) {
  const gl = canvas.getContext('webgl2', { antialias: false, depth: false, preserveDrawingBuffer: true });
  if (!gl) return null;
  const about = gl.getExtension('WEBGL_debug_renderer_info');
  if (!software && about && softwareRenderers.test(gl.getParameter(about.UNMASKED_RENDERER_WEBGL))) return null;
  const program = gl.createProgram();
  try {
    gl.attachShader(program, compile(gl, gl.VERTEX_SHADER, vertexShader));
    gl.attachShader(program, compile(gl, gl.FRAGMENT_SHADER, fragmentShader));
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(program));
  } catch (failure) {
    console.warn('WebGL view unavailable, drawing on a 2D canvas:', failure.message);
    return null;
  }
  gl.useProgram(program);
  gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
  gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([-1, -1, 1, -1, -1, 1, 1, 1]), gl.STATIC_DRAW);
  const corner = gl.getAttribLocation(program, 'corner');
  gl.enableVertexAttribArray(corner);
  gl.vertexAttribPointer(corner, 2, gl.FLOAT, false, 0, 0);
  const uniform = Object.fromEntries(['primary', 'secondary', 'imageSize', 'view', 'ratio', 'screenHeight',
    'wipeColumn', 'gain', 'inverseGamma', 'channel', 'step', 'origin', 'wiped'].map((name) => [name, gl.getUniformLocation(program, name)]));
  gl.uniform1i(uniform.primary, 0);
  gl.uniform1i(uniform.secondary, 1);
  const textures = [gl.createTexture(), gl.createTexture()];
  gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);

  return {
    /// Texture unit 0 (primary) or 1 (secondary) takes `image` ({columns, rows, halves}).
    upload(unit, image) {
      gl.activeTexture(gl.TEXTURE0 + unit);
      gl.bindTexture(gl.TEXTURE_2D, textures[unit]);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
      gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA16F, image.columns, image.rows, 0, gl.RGBA, gl.HALF_FLOAT, image.halves);
    },
    /// Draws at `view` ({x, y, scale}) with `ratio` device pixels to a CSS pixel.
    draw({ image, view, ratio, display, wipeColumn }) {
      gl.viewport(0, 0, canvas.width, canvas.height);
      gl.clearColor(0, 0, 0, 0);
      gl.clear(gl.COLOR_BUFFER_BIT);
      if (!image || !view) return;
      gl.uniform2f(uniform.imageSize, image.width, image.height);
      gl.uniform3f(uniform.view, view.x, view.y, view.scale);
      gl.uniform1f(uniform.ratio, ratio);
      gl.uniform1f(uniform.screenHeight, canvas.height);
      gl.uniform1f(uniform.wipeColumn, Number.isFinite(wipeColumn) ? wipeColumn : 0);
      gl.uniform1i(uniform.wiped, Number.isFinite(wipeColumn));
      gl.uniform1f(uniform.gain, Math.pow(2, display.exposure));
      gl.uniform1f(uniform.inverseGamma, 1 / display.gamma);
      gl.uniform1i(uniform.channel, channels[display.channel]);
      gl.uniform1i(uniform.step, image.step);
      gl.uniform2i(uniform.origin, image.region.x, image.region.y);
      gl.drawArrays(gl.TRIANGLE_STRIP, 0, 4);
    },
  };
}

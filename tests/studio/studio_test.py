"""The studio page in headless Chromium against a real `qz studio`.

    studio_test.py BIN_DIR TESTING_DIR

One shot of the demo's depth pass through ZDevider, driven as a person
would: the page's pixels must be the very floats `qz run` and `qz flow`
write; and a chart seen through each display and view of qz's default
colour configuration, drawn as OpenColorIO's own processor gives it. Exits
77 (skipped) when Chromium or its driver is not installed.
"""
import base64
import copy
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from studio_session import browser_installed, start_browser, start_studio

if not browser_installed():
    print('skipped: Chromium or chromedriver is not installed')
    sys.exit(77)

import numpy as np
import OpenImageIO as oiio
import PyOpenColorIO as ocio
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

BIN_DIR, TESTING_DIR = sys.argv[1:3]
QZ = os.path.abspath(os.path.join(BIN_DIR, 'qz'))
DEFAULT_COLOUR_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'colour', 'qz-default.ocio')


def read_rgba(path):
    """A file's pixels as float32 RGBA, row 0 at the bottom, as the page holds them."""
    source = oiio.ImageInput.open(path)
    pixels = source.read_image('float')
    source.close()
    assert pixels.shape[2] == 4, f'{path} has {pixels.shape[2]} channels'
    return np.ascontiguousarray(pixels[::-1])


def same_floats(a, b):
    """Bit for bit: NaN equals NaN only when its bits do."""
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


# A ramp of greys over -0.1..16 (top row) over a chart of twelve patches two pixels wide, scene-linear.
RAMP = np.concatenate([[-0.1, -0.01, 0], np.geomspace(0.001, 16, 21)])
PATCHES = [[0.18, 0.18, 0.18], [0.9, 0.9, 0.9], [0.03, 0.03, 0.03], [0.6, 0.1, 0.05], [0.08, 0.45, 0.1],
           [0.04, 0.06, 0.55], [0.7, 0.6, 0.05], [0.1, 0.5, 0.6], [0.55, 0.1, 0.5], [2.5, 1.2, 0.4],
           [0.4, 0.25, 0.15], [8, 6, 5]]

# Sets a range input as dragging it does.
SET_SLIDER = '''
const [field, value] = arguments;
Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set.call(field, String(value));
field.dispatchEvent(new Event('input', { bubbles: true }));
'''

# The display settings of the picture shown, once it is the latest asked for.
SENT_THROUGH = '''
const s = window.qzStudio, d = s.image && s.image.display;
return s.settled && d && JSON.stringify([d.display, d.view, d.look, d.exposure, d.gamma]);
'''


def write_chart(path):
    """The chart as a float EXR; returns its pixels, row 0 at the bottom."""
    rows = np.stack([np.repeat(np.array(PATCHES), 2, axis=0), np.repeat(RAMP[:, None], 3, axis=1)])
    pixels = np.concatenate([rows, np.ones((2, len(RAMP), 1))], axis=-1).astype(np.float32)
    out = oiio.ImageOutput.create(path)
    out.open(path, oiio.ImageSpec(len(RAMP), 2, 4, 'float'))
    out.write_image(np.ascontiguousarray(pixels[::-1]))
    out.close()
    return pixels


def displayed(config, pixels, display, view, look='', exposure=0, gamma=1):
    """8-bit levels of scene-linear `pixels` through OpenColorIO's CPU processor, with exposure before and
    gamma after, as a compositing viewer applies them."""
    transforms = ocio.GroupTransform()
    if look:
        transforms.appendTransform(ocio.LookTransform(src='scene_linear', dst='scene_linear', looks=look))
    transforms.appendTransform(ocio.DisplayViewTransform(src='scene_linear', display=display, view=view))
    rgb = np.ascontiguousarray(pixels[..., :3] * np.float32(2 ** exposure), np.float32)
    config.getProcessor(transforms).getDefaultCPUProcessor().applyRGB(rgb)
    return np.round(np.clip(np.nan_to_num(rgb), 0, 1) ** (1 / gamma) * 255)


class Studio(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Class clean-ups run even when a later step of the set-up fails.
        cls.root = tempfile.mkdtemp(prefix='qz-studio-test-')
        cls.addClassCleanup(shutil.rmtree, cls.root)
        subprocess.run([QZ, 'demo', '--out', cls.root], check=True, stdout=subprocess.DEVNULL)
        # Slurm's sbatch and scontrol stand in: sbatch keeps the script and answers job 4242, scontrol prints
        # the task records the test writes.
        slurm = os.path.join(cls.root, 'slurm-bin')
        os.makedirs(slurm)
        for program, text in [('sbatch', f'for script; do :; done\ncp "$script" {cls.root}/submitted.sbatch\necho 4242'),
                              ('scontrol', f'cat {cls.root}/farm-tasks.txt')]:
            with open(os.path.join(slurm, program), 'w') as file:
                file.write(f'#!/bin/sh\n{text}\n')
            os.chmod(os.path.join(slurm, program), 0o755)
        cls.server, cls.url = start_studio(QZ, cls.root, env={**os.environ, 'PATH': f'{slurm}:{os.environ["PATH"]}'})
        cls.addClassCleanup(cls.server.wait, 10)
        cls.addClassCleanup(cls.server.terminate)
        cls.browser = start_browser(os.path.join(cls.root, 'profile'))
        cls.addClassCleanup(cls.browser.quit)
        # Drawn through WebGL2 even on Chromium's software renderer: the page's picture is then the half floats.
        cls.page = f'{cls.url}&draw=webgl'
        cls.browser.get(cls.page)
        cls.wait = WebDriverWait(cls.browser, 30)
        cls.wait.until(lambda browser: browser.find_elements(By.CSS_SELECTOR, '[data-testid=add-node]'))

    def run(self, result=None):
        # Every failure leaves a screenshot of the page behind.
        failures = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > failures:
            path = os.path.join(TESTING_DIR, f'studio-{self._testMethodName}.png')
            self.browser.save_screenshot(path)
            print(f'screenshot of the failure: {path}')
        return outcome

    def find(self, test_id, within=None):
        """The element, once the page shows it (a listing or a picture may still be on its way)."""
        selector = f'[data-testid="{test_id}"]'
        return self.wait.until(lambda _: (within or self.browser).find_element(By.CSS_SELECTOR, selector))

    def rendered(self, after):
        """Waits for the picture of the latest change, newer than generation `after`; returns its generation."""
        self.wait.until(lambda browser: browser.execute_script(
            'const s = window.qzStudio; return s.image && s.settled && s.generation > arguments[0];', after))
        return self.browser.execute_script('return window.qzStudio.generation')

    def generation(self):
        return self.browser.execute_script('return window.qzStudio.generation')

    def quiet(self):
        """The generation once the page has settled and asked for nothing new for half a second (opening a flow
        may render again once its check answers); returns it."""
        last = None
        while True:
            self.wait.until(lambda browser: browser.execute_script('return window.qzStudio.settled'))
            now = self.generation()
            if now == last:
                return now
            last = now
            time.sleep(0.5)

    def page_pixels(self):
        """The exact floats of the picture shown, as the inspector reads them; checks the half floats it is
        drawn from against them: the nearest, of every step-th pixel of every step-th row of the region sent."""
        width, height, step, region, exact, shown = self.browser.execute_async_script('''
            const done = arguments[0], image = window.qzStudio.image;
            const text = (array) => {
              const bytes = new Uint8Array(array.buffer);
              let text = '';
              for (let i = 0; i < bytes.length; i += 32768) text += String.fromCharCode(...bytes.subarray(i, i + 32768));
              return btoa(text);
            };
            window.qzStudio.exactPixels(image).then(
              (floats) => done([image.width, image.height, image.step, image.region, text(floats),
                                text(image.halves)]));''')
        pixels = np.frombuffer(base64.b64decode(exact), np.float32).reshape(height, width, 4)
        x, y = region['x'], region['y']
        rounded = pixels[y:y + region['height']:step, x:x + region['width']:step].astype(np.float16)
        halves = np.frombuffer(base64.b64decode(shown), np.float16).reshape(rounded.shape)
        self.assertTrue(np.array_equal(np.isnan(halves), np.isnan(rounded)))
        self.assertTrue(np.array_equal(halves[~np.isnan(halves)].view(np.uint16),
                                       rounded[~np.isnan(rounded)].view(np.uint16)), 'shown as the nearest halves')
        return pixels

    def hover(self, x, y):
        """Moves the mouse over image pixel x, y; returns the pixel the inspector names and its values."""
        # The pixel's centre in the window: whole points land within half a point of it.
        px, py = self.browser.execute_script('''
            const [x, y] = window.qzStudio.viewer.pointOf(arguments[0], arguments[1]);
            const box = document.querySelector('[data-testid="viewer-canvas"]').getBoundingClientRect();
            return [box.left + x, box.top + y];''', x, y)
        pointer = ActionBuilder(self.browser)
        pointer.pointer_action.move_to_location(round(px), round(py))
        pointer.perform()
        # The exact values come from the server a moment after the mouse arrives.
        read = self.wait.until(lambda browser: browser.execute_script('''
            const values = ['x', 'y', 'R', 'G', 'B', 'A'].map((name) =>
              document.querySelector(`[data-testid="inspector-${name}"]`)?.dataset.value);
            return values.every((value) => value !== undefined) && values;'''))
        return int(read[0]), int(read[1]), [np.float32(float(value)) for value in read[2:]]

    def canvas_pixels(self):
        """The viewer's canvas as drawn, 8-bit RGBA."""
        encoded = self.browser.execute_script(
            'return document.querySelector(\'[data-testid="viewer-canvas"]\').toDataURL("image/png").split(",")[1]')
        path = os.path.join(self.root, 'canvas.png')
        with open(path, 'wb') as file:
            file.write(base64.b64decode(encoded))
        source = oiio.ImageInput.open(path)
        pixels = source.read_image('uint8')
        source.close()
        return pixels

    def open_flow(self, name):
        self.find('open').click()
        self.find(f'entry-{name}').click()
        self.find('picker-ok').click()

    def set_field(self, test_id, text):
        self.find(test_id).send_keys(Keys.CONTROL + 'a' + Keys.NULL + text)

    def test_1_build_and_pick(self):
        Select(self.find('add-node')).select_by_value('ZDevider')
        # Unconnected, the required input is flagged at the node.
        self.wait.until(lambda _: self.find('input-ZDevider1-Input').find_elements(
            By.CSS_SELECTOR, '[data-testid=input-error]'))
        self.find('pick-file', self.find('input-ZDevider1-Input')).click()
        self.find('entry-depth.exr').click()
        self.find('picker-ok').click()
        generation = self.rendered(0)
        self.set_field('value-Zmax', '7.25')
        generation = self.rendered(generation)

        Select(self.find('view-source')).select_by_value('Input')
        generation = self.rendered(generation)
        depth = read_rgba(os.path.join(self.root, 'depth.exr'))
        self.assertTrue(same_floats(self.page_pixels(), depth))
        self.find('eyedropper-1').click()
        x, y, rgba = self.hover(301, 97)
        self.assertTrue(same_floats(np.array(rgba, np.float32), depth[y, x]))
        ActionChains(self.browser).click().perform()
        generation = self.rendered(generation)
        self.assertEqual(float(self.find('value-Zmax').get_attribute('value')), float(depth[y, x, 0]))
        Select(self.find('view-source')).select_by_value('')
        self.rendered(generation)

    def test_2_preview_matches_qz_run(self):
        generation = self.rendered(0)
        picked = self.find('value-Zmax').get_attribute('value')
        # Read zoomed in, where a screen point covers a fraction of a pixel.
        canvas = ScrollOrigin.from_element(self.find('viewer-canvas'))
        ActionChains(self.browser).scroll_from_origin(canvas, 0, -300).perform()
        # Zmax 0 makes every colour infinite; the picked depth is kept for the saved flow.
        for zmax in ['0', picked]:
            self.set_field('value-Zmax', zmax)
            generation = self.rendered(generation)
            out = os.path.join(self.root, 'run.exr')
            subprocess.run([QZ, 'run', 'ZDevider', '-i', 'Input=depth.exr', '-s', f'Zmax={zmax}', '-o', out],
                           check=True, cwd=self.root)
            expected = read_rgba(out)
            self.assertTrue(same_floats(self.page_pixels(), expected), zmax)
            for x, y in [(240, 135), (181, 102), (300, 170)]:
                seen_x, seen_y, rgba = self.hover(x, y)
                self.assertEqual((seen_x, seen_y), (x, y))
                self.assertTrue(same_floats(np.array(rgba, np.float32), expected[seen_y, seen_x]), (zmax, seen_x, seen_y))
        region = self.browser.execute_script('return window.qzStudio.image.region')
        self.assertLess(region['width'] * region['height'], 480 * 270, 'zoomed in, the part in view is sent')
        # Shown at a quarter of its size or less, the picture is sent at every fourth (eighth, ...) pixel; the
        # inspector stays exact.
        ActionChains(self.browser).scroll_from_origin(canvas, 0, 1200).perform()
        generation = self.rendered(generation)
        self.assertGreaterEqual(self.browser.execute_script('return window.qzStudio.image.step'), 4)
        self.assertTrue(same_floats(self.page_pixels(), expected))
        x, y, rgba = self.hover(241, 135)
        self.assertTrue(same_floats(np.array(rgba, np.float32), expected[y, x]))
        self.find('fit').click()

    def test_3_saved_flow_renders_the_same(self):
        self.set_field('save-path-field', 'defocus.exr')
        self.set_field('flow-path', 'studio.json')
        self.find('save').click()
        self.wait.until(lambda _: 'Saved' in self.find('status').text)
        subprocess.run([QZ, 'flow', os.path.join(self.root, 'studio.json'), '--quiet'], check=True)
        expected = read_rgba(os.path.join(self.root, 'defocus.exr'))
        self.assertTrue(same_floats(self.page_pixels(), expected))
        # A new page on the same server opens the flow and renders it again.
        self.browser.refresh()
        self.open_flow('studio.json')
        self.rendered(0)
        self.assertTrue(same_floats(self.page_pixels(), expected))

    def test_4_canvas_draws_what_webgl_draws(self):
        """Where the browser offers no WebGL2, or only in software, the page draws on a 2D canvas: the same
        picture, up to rounding and the odd pixel at an edge."""
        drawn = {}
        for drawing in ['webgl', 'canvas']:
            self.browser.get(f'{self.url}&draw={drawing}')
            self.open_flow('studio.json')
            self.rendered(0)
            if self.find('viewer-canvas').get_attribute('data-drawing') != drawing:
                self.skipTest('this browser offers no WebGL2')
            drawn[drawing] = self.canvas_pixels()
        webgl, canvas = drawn['webgl'], drawn['canvas']
        self.assertEqual(webgl.shape, canvas.shape)
        self.assertEqual(canvas[..., 3].max(), 255, 'a picture is drawn')
        self.assertLess(np.abs(webgl.astype(int) - canvas.astype(int)).mean(), 2)

    def test_5_animated_values_render_as_qz_flow(self):
        """Keys set by the key button at two frames, then one dragged in the curve editor: the frames the page
        renders are the very floats `qz flow` writes for the flow it saves."""
        self.browser.get(self.page)  # opens the flow saved above, whose ZDevider1 now reads the depth sequence
        self.find('pick-file', self.find('input-ZDevider1-Input')).click()
        self.find('entry-seq').click()
        self.find('entry-depth.####.exr').click()
        self.find('picker-ok').click()
        self.wait.until(lambda browser: browser.execute_script('return window.qzStudio.frame') == 1)
        zmax = lambda: self.find('value-Zmax').get_attribute('value')
        self.set_field('value-Zmax', '10')
        self.find('key-Zmax').click()
        self.set_field('frame-field', '5')
        self.wait.until(lambda _: zmax() == '10')  # held after the last key
        self.find('key-Zmax').click()
        self.wait.until(lambda _: self.find('key-Zmax').get_attribute('data-on-key') == '1')
        self.set_field('value-Zmax', '30')
        self.set_field('frame-field', '3')
        self.wait.until(lambda _: zmax() == '20')  # halfway along the linear segment from 10 to 30
        key = self.find('key-Zmax')
        self.assertEqual((key.get_attribute('data-animated'), key.get_attribute('data-on-key')), ('1', '0'))
        self.assertEqual(self.browser.execute_script('return window.qzStudio.keyFrames'), [1, 5])

        # Frame 5's key dragged to frame 4 (whole frames without Shift), lower.
        point = lambda frame, value: self.browser.execute_script(
            'return window.qzStudio.curves.pointOf(arguments[0], arguments[1])', frame, value)
        (x0, y0), (x1, y1) = point(5, 30), point(4.2, 25)
        ActionChains(self.browser).click_and_hold(self.find('curve-key-Zmax-1')).move_by_offset(
            round(x1 - x0), round(y1 - y0)).release().perform()
        keys = lambda: self.browser.execute_script('return window.qzStudio.flow.nodes.ZDevider1.values.Zmax.keys')
        self.wait.until(lambda _: keys()[1]['frame'] == 4)
        self.assertLess(keys()[1]['value'], 30)

        self.set_field('save-path-field', 'anim.####.exr')
        self.set_field('flow-path', 'anim.json')
        self.find('save').click()
        self.wait.until(lambda _: 'anim.json' in self.find('status').text)
        with open(os.path.join(self.root, 'anim.json')) as file:
            self.assertEqual(json.load(file)['nodes']['ZDevider1']['values']['Zmax'], {'keys': keys()})
        subprocess.run([QZ, 'flow', os.path.join(self.root, 'anim.json'), '--quiet'], check=True)
        generation = self.generation()
        for frame in [2, 5]:
            self.set_field('frame-field', str(frame))
            generation = self.rendered(generation)
            self.assertTrue(same_floats(self.page_pixels(), read_rgba(os.path.join(self.root, f'anim.{frame:04}.exr'))),
                            frame)

        # Played, the shot's frames come round at some rate until stopped.
        self.find('play').click()
        self.wait.until(lambda _: self.find('fps-reached').text.endswith('fps'))
        self.find('stop').click()
        self.assertIn(self.browser.execute_script('return window.qzStudio.frame'), [1, 2, 3, 4, 5])

    def test_6_viewer_shows_what_the_display_shows(self):
        """The chart through every display and view of the default configuration, then with its look, exposure
        and gamma: through WebGL2 (the server's shader) and on a 2D canvas (the server's levels), the drawn
        levels are OpenColorIO's own within one level. Through WebGL2 a change renders nothing anew; the
        inspector keeps the scene-linear floats."""
        chart = write_chart(os.path.join(self.root, 'chart.exr'))
        with open(os.path.join(self.root, 'chart.json'), 'w') as file:
            json.dump({'nodes': {'chart': {'tool': 'Wireless', 'inputs': {'Input': {'file': 'chart.exr'}}}}}, file)
        config = ocio.Config.CreateFromFile(DEFAULT_COLOUR_CONFIG)
        settings = [(display, view, '', 0, 1) for display in config.getDisplays() for view in config.getViews(display)]
        settings.append(('sRGB - Display', 'ACES 1.0 SDR-video', config.getLookNames()[0], 1, 2.2))
        for drawing in ['webgl', 'canvas']:
            self.browser.get(f'{self.url}&draw={drawing}')
            self.open_flow('chart.json')
            generation = self.rendered(0)
            if self.find('viewer-canvas').get_attribute('data-drawing') != drawing:
                self.skipTest('this browser offers no WebGL2')
            first = self.quiet()
            for display, view, look, exposure, gamma in settings:
                Select(self.find('colour-display')).select_by_value(display)
                Select(self.find('colour-view')).select_by_value(view)
                Select(self.find('colour-look')).select_by_value(look)
                self.browser.execute_script(SET_SLIDER, self.find('exposure'), exposure)
                self.browser.execute_script(SET_SLIDER, self.find('gamma'), gamma)
                key = json.dumps(['scene_linear', display, view, look], separators=(',', ':'))
                self.wait.until(lambda _: self.find('viewer-canvas').get_attribute('data-viewing') == key)
                if drawing == 'canvas':  # the picture the server sent through these settings
                    self.wait.until(lambda browser: browser.execute_script(SENT_THROUGH) == json.dumps(
                        [display, view, look, exposure, gamma], separators=(',', ':')))
                else:  # exposure and gamma are drawn by the next frame
                    self.browser.execute_async_script('requestAnimationFrame(() => requestAnimationFrame(arguments[0]))')
                canvas, ratio = self.canvas_pixels(), self.browser.execute_script('return window.devicePixelRatio')
                points = self.browser.execute_script('''
                    const viewer = window.qzStudio.viewer;
                    return [0, 1].map((y) => Array.from({ length: arguments[0] }, (_, x) => viewer.pointOf(x, y)));''',
                    len(RAMP))
                shown = np.array([[canvas[int(py * ratio), int(px * ratio), :3] for px, py in row] for row in points], int)
                expected = displayed(config, chart, display, view, look, exposure, gamma)
                off = np.abs(shown - expected).max(axis=-1) > 1
                self.assertFalse(off.any(), (drawing, display, view, look, np.argwhere(off).tolist(),
                                             shown[off].tolist(), expected[off].tolist()))
            if drawing == 'webgl':
                self.assertEqual(self.generation(), first, 'a change of view renders nothing anew')
            x, y, rgba = self.hover(20, 1)
            self.assertTrue(same_floats(np.array(rgba, np.float32), chart[y, x]), 'the inspector reads the floats')

    def flow_now(self):
        return self.browser.execute_script('return window.qzStudio.flow')

    def keys(self, key, *modifiers):
        """A key pressed on the page with `modifiers` held, out of any text field."""
        self.browser.execute_script('document.activeElement?.blur()')
        actions = ActionChains(self.browser)
        for modifier in modifiers:
            actions.key_down(modifier)
        actions.send_keys(key)
        for modifier in reversed(modifiers):
            actions.key_up(modifier)
        actions.perform()

    def undone_and_redone(self, label, change):
        """Makes a change, which the undo button must name `label`; undoes and redoes it by button and by key,
        checking the flow is each time the very one before or after it; leaves it undone."""
        before = self.flow_now()
        change()
        self.wait.until(lambda _: self.flow_now() != before, label)
        self.browser.execute_script('document.activeElement?.blur()')
        undo = self.find('undo')
        self.wait.until(lambda _: label in undo.text)
        after = self.flow_now()
        undo.click()
        self.wait.until(lambda _: self.flow_now() == before)
        self.keys('z', Keys.CONTROL, Keys.SHIFT)
        self.wait.until(lambda _: self.flow_now() == after)
        self.keys('z', Keys.CONTROL)
        self.wait.until(lambda _: self.flow_now() == before, label)
        self.keys('y', Keys.CONTROL)
        self.wait.until(lambda _: self.flow_now() == after, label)
        self.find('undo').click()
        self.wait.until(lambda _: self.flow_now() == before, label)

    def test_7_undo_redo_and_bypass(self):
        """Each kind of edit undone and redone, by button and by key, back to the very flow it left; a bypassed
        node shows, and `qz flow` writes, its main input's picture."""
        self.browser.get(self.page)
        self.open_flow('studio.json')
        generation = self.rendered(0)
        shown = self.page_pixels()
        node = lambda: self.find('node-ZDevider1')

        def drag_node():
            actions = ActionChains(self.browser).click_and_hold(self.find('node-name', node()))
            for _ in range(5):
                actions.move_by_offset(12, 5)
            actions.release().perform()
        edits = [
            ('Zmax of ZDevider1', lambda: self.set_field('value-Zmax', '3.5')),
            ('Zmax of ZDevider1', lambda: self.find('key-Zmax').click()),  # a key set
            ('bypass ZDevider1', lambda: self.find('bypass').click()),
            ('Write to of ZDevider1', lambda: self.set_field('save-path-field', 'other.exr')),
            ('rename ZDevider1 to near', lambda: self.set_field('node-name-field', 'near' + Keys.ENTER)),
            ('move ZDevider1', drag_node),
            ('add ZRemapper1', lambda: Select(self.find('add-node')).select_by_value('ZRemapper')),
            ('file of ZDevider1 Input', lambda: (self.find('pick-file', self.find('input-ZDevider1-Input')).click(),
                                                 self.find('entry-seq').click(),
                                                 self.find('entry-depth.####.exr').click(),
                                                 self.find('picker-ok').click())),
        ]
        for label, change in edits:
            self.undone_and_redone(label, change)
        self.assertEqual(self.find('node-ZDevider1').get_attribute('data-enabled'), '1')
        generation = self.rendered(generation)
        self.assertTrue(same_floats(self.page_pixels(), shown), 'undone, the picture is the first again')

        # With keys on Zmax and a second node: a key dragged, a link made, a node removed.
        opened = self.flow_now()
        pick = lambda name: self.find('node-name', self.find(f'node-{name}')).click()
        self.set_field('value-Zmax', '4')
        self.find('key-Zmax').click()
        self.set_field('frame-field', '9')
        self.set_field('value-Zmax', '6')
        Select(self.find('add-node')).select_by_value('ZRemapper')
        pick('ZDevider1')
        self.wait.until(lambda _: len(self.flow_now()['nodes']['ZDevider1']['values']['Zmax']['keys']) == 2)
        point = lambda frame, value: self.browser.execute_script(
            'return window.qzStudio.curves.pointOf(arguments[0], arguments[1])', frame, value)
        (x0, y0), (x1, y1) = point(9, 6), point(7, 5)
        handle = lambda node, kind: self.find(f'node-{node}').find_element(By.CSS_SELECTOR, f'.react-flow__handle.{kind}')
        later_edits = [
            ('keys of ZDevider1 Zmax', lambda: ActionChains(self.browser).click_and_hold(
                self.find('curve-key-Zmax-1')).move_by_offset(round(x1 - x0), round(y1 - y0)).release().perform()),
            ('connect ZDevider1 to ZRemapper1 Input', lambda: ActionChains(self.browser).click_and_hold(
                handle('ZDevider1', 'source')).move_to_element(handle('ZRemapper1', 'target')).release().perform()),
            ('remove ZRemapper1', lambda: (pick('ZRemapper1'), self.find('remove-node').click())),
        ]
        for label, change in later_edits:
            self.undone_and_redone(label, change)
            pick('ZDevider1')
        while self.find('undo').get_attribute('disabled') != 'true':  # the node added and the keys set
            self.find('undo').click()
        self.assertEqual(self.flow_now(), opened)
        generation = self.rendered(generation)

        # Bypassed, the node passes its main input on; D brings it back.
        depth = read_rgba(os.path.join(self.root, 'depth.exr'))
        self.keys('d')
        self.wait.until(lambda _: node().get_attribute('data-enabled') == '0')
        generation = self.rendered(generation)
        self.assertTrue(same_floats(self.page_pixels(), depth))
        self.set_field('save-path-field', 'bypass.exr')
        self.set_field('flow-path', 'bypass.json')
        self.find('save').click()
        self.wait.until(lambda _: 'bypass.json' in self.find('status').text)
        with open(os.path.join(self.root, 'bypass.json')) as file:
            self.assertIs(json.load(file)['nodes']['ZDevider1']['enabled'], False)
        subprocess.run([QZ, 'flow', os.path.join(self.root, 'bypass.json'), '--quiet'], check=True)
        self.assertTrue(same_floats(read_rgba(os.path.join(self.root, 'bypass.exr')), depth))
        self.keys('d')
        self.wait.until(lambda _: node().get_attribute('data-enabled') == '1')
        self.rendered(generation)
        self.assertTrue(same_floats(self.page_pixels(), shown))

    def test_7b_a_view_shown_again_is_checked_with_the_server(self):
        """A view shown before is drawn at once from the pictures the page holds, which the server confirms
        with no pixels sent; once its file changed on disk, the server sends the new picture."""
        held = os.path.join(self.root, 'held.exr')
        shutil.copyfile(os.path.join(self.root, 'depth.exr'), held)
        with open(os.path.join(self.root, 'held.json'), 'w') as file:
            json.dump({'nodes': {'near': {'tool': 'ZDevider', 'values': {'Zmax': 10},
                                          'inputs': {'Input': {'file': 'held.exr'}}}}}, file)
        self.browser.get(self.page)
        self.open_flow('held.json')
        generation = self.rendered(0)
        first = self.page_pixels()
        last_status = lambda: self.browser.execute_script(
            "return performance.getEntriesByType('resource').filter((e) => e.name.endsWith('/api/render'))"
            ".at(-1).responseStatus")
        self.set_field('value-Zmax', '3.5')
        generation = self.rendered(generation)
        self.find('undo').click()
        generation = self.rendered(generation)
        self.assertEqual(last_status(), 204)
        self.assertTrue(same_floats(self.page_pixels(), first), 'the exact values of the picture kept')

        self.find('redo').click()
        generation = self.rendered(generation)
        shutil.copyfile(os.path.join(self.root, 'position.exr'), held)
        self.find('undo').click()
        self.rendered(generation)
        self.assertEqual(last_status(), 200)
        out = os.path.join(self.root, 'held-run.exr')
        subprocess.run([QZ, 'run', 'ZDevider', '-i', f'Input={held}', '-s', 'Zmax=10', '-o', out], check=True)
        self.assertTrue(same_floats(self.page_pixels(), read_rgba(out)))

    def placed(self, element):
        """Where the graph draws the node `element` is part of, as [x, y] in the graph's units."""
        place = self.browser.execute_script('return arguments[0].closest(".react-flow__node").style.transform', element)
        return [float(number) for number in re.findall(r'-?[\d.]+(?=px)', place)]

    def test_8_layout_is_kept(self):
        """A flow with a layout made by hand opens where it was placed, its backdrop and note drawn, and saves as
        it was."""
        layout = {'studio': {'backdrops': [{'title': 'Depth', 'colour': '#335', 'x': -20, 'y': -40,
                                            'width': 600, 'height': 300}],
                             'notes': [{'text': 'check the far plane', 'x': 400, 'y': 260}]},
                  'nodes': {'a': {'tool': 'ZDevider', 'values': {'Zmax': 12}, 'inputs': {'Input': {'file': 'depth.exr'}},
                                  'studio': {'position': {'x': 37, 'y': 81}, 'colour': 'teal'}},
                            'b': {'tool': 'ZDevider', 'values': {}, 'inputs': {'Input': {'node': 'a'}},
                                  'studio': {'position': {'x': 415, 'y': 12}}}}}
        with open(os.path.join(self.root, 'layout.json'), 'w') as file:
            json.dump(layout, file)
        self.browser.get(self.page)
        self.open_flow('layout.json')
        self.rendered(0)
        for name, node in layout['nodes'].items():
            self.assertEqual(self.placed(self.find(f'node-{name}')),
                             [node['studio']['position']['x'], node['studio']['position']['y']], name)
        backdrop, note = self.find('backdrop-0'), self.find('note-0')
        self.assertEqual([self.find('backdrop-title', backdrop).text, self.placed(backdrop),
                          backdrop.size['width'], backdrop.size['height']], ['Depth', [-20, -40], 600, 300])
        self.assertEqual([self.find('note-text', note).text, self.placed(note)], ['check the far plane', [400, 260]])
        self.set_field('flow-path', 'layout-again.json')
        self.find('save').click()
        self.wait.until(lambda _: 'layout-again.json' in self.find('status').text)
        with open(os.path.join(self.root, 'layout-again.json')) as file:
            self.assertEqual(json.load(file), layout)

    def test_8b_backdrops_and_notes(self):
        """A backdrop put around the selected nodes carries the nodes wholly on it when dragged, not one partly on
        it; a note goes to the middle of the view; each edit is one step, undone and redone to the very flow, the
        removal of a backdrop and two nodes with the link from one of them too."""
        opened = {'nodes': {name: {'tool': 'ZDevider', 'values': {}, 'inputs': {'Input': {'file': 'depth.exr'}},
                                   'studio': {'position': {'x': x, 'y': y}}}
                            for name, x, y in [('a', 0, 0), ('b', 0, 120), ('c', 240, 60)]}}
        opened['nodes']['c']['inputs']['Input'] = {'node': 'a'}
        with open(os.path.join(self.root, 'backdrops.json'), 'w') as file:
            json.dump(opened, file)
        # A graph pane large enough to show the flow at 1:1: a drag then moves by the very pixels dragged.
        self.browser.set_window_size(1920, 1200)
        self.addCleanup(self.browser.set_window_size, 1400, 900)
        self.browser.get(self.page)
        self.open_flow('backdrops.json')
        self.wait.until(lambda _: 'scale(1)' in self.find('graph').find_element(
            By.CSS_SELECTOR, '.react-flow__viewport').get_attribute('style'))
        node_height = self.find('node-b').size['height']
        centre = lambda element: [element.location['x'] + element.size['width'] / 2,
                                  element.location['y'] + element.size['height'] / 2]

        def select_a_and_b():
            a, b = self.find('node-name', self.find('node-a')), self.find('node-name', self.find('node-b'))
            ActionChains(self.browser).click(a).key_down(Keys.SHIFT).click(b).key_up(Keys.SHIFT).perform()
            self.find('add-backdrop').click()

        def drag_backdrop():
            # The graph takes hold once the pointer has moved more than a pixel: the drag counts from there.
            actions = ActionChains(self.browser).click_and_hold(self.find('backdrop-title')).move_by_offset(0, 2)
            for _ in range(5):
                actions.move_by_offset(12, 8)
            actions.release().perform()

        def moved(flow):
            flow['studio']['backdrops'][0].update(x=40, y=-10)
            flow['nodes']['a']['studio']['position'] = {'x': 60, 'y': 40}
            flow['nodes']['b']['studio']['position'] = {'x': 60, 'y': 160}

        def remove_backdrop_a_and_b():
            title, a, b = self.find('backdrop-title'), self.find('node-a'), self.find('node-b')
            ActionChains(self.browser).click(title).key_down(Keys.SHIFT).click(self.find('node-name', a)) \
                .click(self.find('node-name', b)).key_up(Keys.SHIFT).perform()
            self.keys(Keys.DELETE)

        def removed(flow):
            del flow['studio']['backdrops'], flow['nodes']['a'], flow['nodes']['b']
            flow['nodes']['c']['inputs'] = {}  # its link from a goes with a

        def note_added(flow):
            note = self.flow_now()['studio']['notes'][0]  # in the middle of the view, where the note is drawn
            for drawn, middle in zip(centre(self.find('note-0')), centre(self.find('graph'))):
                self.assertAlmostEqual(drawn, middle, delta=1)
            flow['studio']['notes'] = [{'text': 'Note', 'x': note['x'], 'y': note['y']}]

        # 20 around the nodes, and 30 more above for the title; a node is 230 wide.
        steps = [
            ('add backdrop', select_a_and_b, lambda flow: flow.update(studio={'backdrops': [
                {'title': 'Backdrop', 'colour': '#335', 'x': -20, 'y': -50, 'width': 270,
                 'height': 120 + node_height + 70}]})),
            ('title of backdrop', lambda: (ActionChains(self.browser).double_click(self.find('backdrop-title')).perform(),
                                           self.set_field('backdrop-title-field', 'Depth' + Keys.ENTER)),
             lambda flow: flow['studio']['backdrops'][0].update(title='Depth')),
            ('move backdrop Depth', drag_backdrop, moved),
            ('add note', lambda: self.find('add-note').click(), note_added),
            ('text of note', lambda: (ActionChains(self.browser).double_click(self.find('note-text')).perform(),
                                      self.set_field('note-text-field', 'far plane' + Keys.ENTER)),
             lambda flow: flow['studio']['notes'][0].update(text='far plane')),
            ('remove 3 items', remove_backdrop_a_and_b, removed),  # one step, links and all
        ]
        flows = [opened]
        for label, act, change in steps:
            act()
            self.wait.until(lambda _: self.flow_now() != flows[-1], label)
            expected = copy.deepcopy(flows[-1])
            change(expected)
            self.assertEqual(self.flow_now(), expected, label)
            flows.append(expected)
        for (label, _, _), before in reversed(list(zip(steps, flows))):
            self.assertEqual(self.find('undo').text, f'Undo {label}')
            self.find('undo').click()
            self.wait.until(lambda _: self.flow_now() == before, label)
        for after in flows[1:]:
            self.keys('y', Keys.CONTROL)
            self.wait.until(lambda _: self.flow_now() == after)
        self.set_field('flow-path', 'backdrops-saved.json')
        self.find('save').click()
        self.wait.until(lambda _: 'backdrops-saved.json' in self.find('status').text)
        with open(os.path.join(self.root, 'backdrops-saved.json')) as file:
            self.assertEqual(json.load(file), flows[-1])

    def test_9_render_from_the_page_as_qz_flow(self):
        """*Render…* over the shot's frames writes the very files `qz flow` writes for the same flow."""
        self.browser.get(self.url)
        self.open_flow('shot.json')
        self.rendered(0)
        self.quiet()  # the flow's check has answered with the shot's frames
        self.find('render-open').click()
        self.assertEqual([self.find('render-first').get_attribute('value'), self.find('render-last').get_attribute('value')],
                         ['1', '5'])
        self.find('render-start').click()
        WebDriverWait(self.browser, 600).until(
            lambda _: self.find('render-job').get_attribute('data-state') not in (None, 'running'))
        self.assertEqual(self.find('render-job').get_attribute('data-state'), 'done', self.find('render-job').text)
        self.assertEqual(self.find('render-frames').text, '5 / 5 frames')
        self.find('render-close').click()

        with open(os.path.join(self.root, 'shot.json')) as file:
            flow = json.load(file)
        for save in flow['save']:
            save['file'] = save['file'].replace('seq/', 'by-qz-flow/')
        with open(os.path.join(self.root, 'shot-by-qz-flow.json'), 'w') as file:
            json.dump(flow, file)
        os.makedirs(os.path.join(self.root, 'by-qz-flow'), exist_ok=True)
        subprocess.run([QZ, 'flow', os.path.join(self.root, 'shot-by-qz-flow.json'), '--frames', '1-5', '--quiet'],
                       check=True, stdout=subprocess.DEVNULL)
        for save in flow['save']:
            for frame in range(1, 6):
                theirs = os.path.join(self.root, save['file'].replace('####', f'{frame:04d}'))
                with open(theirs, 'rb') as file, open(theirs.replace('by-qz-flow/', 'seq/'), 'rb') as page:
                    self.assertTrue(file.read() == page.read(), theirs)

        # SSAO at its highest quality takes seconds a frame: cancelled during its first, it leaves no file.
        with open(os.path.join(self.root, 'slow.json'), 'w') as file:
            json.dump({'nodes': {'ao': {'tool': 'SSAO', 'values': {'Quality': 320, 'SampleRad': 400},
                                        'inputs': {'Normals': {'file': 'normals.exr'}, 'Position': {'file': 'position.exr'}}}},
                       'save': [{'node': 'ao', 'file': 'slow/ao.####.exr'}]}, file)
        self.open_flow('slow.json')
        # The page at work says so in its toolbar, which names the edits to undo and redo, and moves nothing:
        # the page never scrolls.
        self.set_field('value-SampleRad', '390')
        self.browser.execute_script('document.activeElement?.blur()')
        self.set_field('value-Quality', '300')
        self.browser.execute_script('document.activeElement?.blur()')
        self.find('undo').click()
        self.wait.until(lambda _: 'Quality' in self.find('redo').text and 'SampleRad' in self.find('undo').text)
        self.wait.until(lambda _: self.find('progress').get_attribute('data-busy') == '1')
        self.assertEqual(self.browser.execute_script(
            'const page = document.documentElement;'
            'return [page.scrollWidth - page.clientWidth, page.scrollHeight - page.clientHeight]'), [0, 0])
        self.find('render-open').click()
        self.set_field('render-last', '3')
        self.find('render-start').click()
        self.wait.until(lambda _: self.find('render-job').get_attribute('data-state') == 'running')
        self.find('render-cancel').click()
        self.wait.until(lambda _: self.find('render-job').get_attribute('data-state') == 'cancelled')
        self.assertEqual(self.find('render-frames').text, '0 / 3 frames')
        self.assertFalse(os.path.exists(os.path.join(self.root, 'slow')) and os.listdir(os.path.join(self.root, 'slow')))
        self.find('render-close').click()

    def test_9b_histogram_counts_the_picture_shown(self):
        """The histogram of a known 2 x 2 picture: each value v in bin floor(256 v) of 0..1."""
        values = np.array([[[0, 0, 0, 1], [0.3, 0.3, 0.3, 1]], [[0.6, 0.6, 0.6, 1], [1, 0, 0, 1]]], np.float32)
        known = oiio.ImageBuf(oiio.ImageSpec(2, 2, 4, 'float'))
        known.set_pixels(oiio.ROI(), values)
        known.write(os.path.join(self.root, 'known.exr'))
        with open(os.path.join(self.root, 'known.json'), 'w') as file:
            json.dump({'nodes': {'k': {'tool': 'ZDevider', 'enabled': False, 'inputs': {'Input': {'file': 'known.exr'}}}}},
                      file)
        self.browser.get(self.page)
        self.open_flow('known.json')
        self.rendered(0)
        self.find('scopes-button').click()
        counts = json.loads(self.wait.until(lambda _: self.find('histogram').get_attribute('data-counts')))
        # 0.3 and 0.6 travel as the halves 0.29993 and 0.60010; the luminance of (1, 0, 0) is 0.2126.
        self.assertEqual({channel: {bin: n for bin, n in enumerate(bins) if n} for channel, bins in counts.items()},
                         {'r': {0: 1, 76: 1, 153: 1, 255: 1}, 'g': {0: 2, 76: 1, 153: 1}, 'b': {0: 2, 76: 1, 153: 1},
                          'luma': {0: 1, 54: 1, 76: 1, 153: 1}})
        # The RGB parade draws a trace of each channel in its third of the waveform.
        self.find('scope-parade').click()
        lit = self.browser.execute_script('''
            const canvas = document.querySelector('[data-testid="waveform"]');
            const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
            const lit = [0, 0, 0], third = Math.floor(canvas.width / 3);
            for (let i = 0; i < data.length / 4; i++)
              if (data[i * 4 + 3] > 0) lit[Math.min(2, Math.floor((i % canvas.width) / third))]++;
            return lit;''')
        self.assertTrue(all(lit), lit)

    def test_9c_submit_to_farm_from_the_page(self):
        """*Submit to farm…* refuses a flow whose checks fail, saves and submits the shot's frames over the tasks
        asked, and follows the tasks' states until each has ended."""
        tasks = os.path.join(self.root, 'farm-tasks.txt')
        submitted = os.path.join(self.root, 'submitted.sbatch')
        with open(os.path.join(self.root, 'broken.json'), 'w') as file:
            json.dump({'nodes': {'b': {'tool': 'ZDevider', 'inputs': {}}}, 'save': [{'node': 'b', 'file': 'b.exr'}]}, file)
        self.browser.get(self.url)
        self.open_flow('broken.json')
        self.find('farm-open').click()
        self.find('farm-submit').click()
        self.assertTrue(self.find('farm-refusal').text.startswith('b: '), self.find('farm-refusal').text)
        self.assertFalse(os.path.exists(submitted))
        self.find('farm-close').click()

        self.open_flow('shot.json')
        self.rendered(0)
        self.quiet()  # the flow's check has answered with the shot's frames
        self.find('farm-open').click()
        self.assertEqual([self.find(f'farm-{name}').get_attribute('value') for name in ('first', 'last', 'tasks')],
                         ['1', '5', '4'])
        self.set_field('farm-tasks', '2')
        with open(tasks, 'w') as file:
            file.write('JobId=4242 ArrayJobId=4242 ArrayTaskId=2 JobState=PENDING Reason=Resources ExitCode=0:0\n'
                       'JobId=4243 ArrayJobId=4242 ArrayTaskId=1 JobState=RUNNING Reason=None ExitCode=0:0\n')
        self.find('farm-submit').click()
        self.assertEqual(self.find('farm-job-id').text, '4242')
        with open(submitted) as file:
            script = file.read()
        self.assertIn("--frames '1-5'", script)
        self.assertIn('--chunk "$SLURM_ARRAY_TASK_ID/2"', script)
        self.wait.until(lambda _: self.find('farm-task-2').get_attribute('data-state') == 'PENDING')
        self.assertEqual(self.find('farm-task-1').get_attribute('data-state'), 'RUNNING')
        self.assertEqual(self.find('farm-job').get_attribute('data-ended'), '0')
        with open(tasks, 'w') as file:
            file.write('JobId=4243 ArrayJobId=4242 ArrayTaskId=1 JobState=COMPLETED Reason=None ExitCode=0:0\n'
                       'JobId=4242 ArrayJobId=4242 ArrayTaskId=2 JobState=FAILED Reason=NonZeroExitCode ExitCode=1:0\n')
        self.wait.until(lambda _: self.find('farm-job').get_attribute('data-ended') == '1')
        self.assertEqual(self.find('farm-summary').text, '1 completed · 1 failed')
        self.find('farm-close').click()


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)  # then the tests to run, if not all

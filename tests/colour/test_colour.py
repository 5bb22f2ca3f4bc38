"""Colour management against OpenColorIO's own Python processors.

Run with pytest; QZ_BIN_DIR names the build's bin folder and PYTHONPATH holds
qztools. The expected values come from PyOpenColorIO on qz's default
configuration file, never from qz.
"""
import json
import os
import subprocess

import numpy as np
import OpenImageIO as oiio
import PyOpenColorIO as ocio
import pytest

import qztools

QZ = os.path.join(os.environ["QZ_BIN_DIR"], "qz")
DEFAULT_CONFIG = os.path.join(os.path.dirname(__file__), "..", "..", "colour", "qz-default.ocio")
CONFIG = ocio.Config.CreateFromFile(DEFAULT_CONFIG)
# R, G and B take each value in turn beside two others; alpha 0.5 stays.
VALUES = [0.0, 0.18, 1.0, 16.0, -0.5, float("nan"), float("inf")]


def pixels():
    rows = [[v, VALUES[(i + 2) % len(VALUES)], VALUES[(i + 4) % len(VALUES)], 0.5] for i, v in enumerate(VALUES)]
    return np.array([rows], dtype=np.float32)


def converted(array, source, target):
    out = np.ascontiguousarray(array, dtype=np.float32).copy()
    CONFIG.getProcessor(source, target).getDefaultCPUProcessor().applyRGBA(out)
    return out


def write_exr(path, array, attributes=()):
    spec = oiio.ImageSpec(array.shape[1], array.shape[0], 4, "float")
    for name, value in attributes:
        spec.attribute(name, value)
    out = oiio.ImageOutput.create(path)
    assert out.open(path, spec), out.geterror()
    assert out.write_image(array), out.geterror()
    out.close()


def read(path):
    source = oiio.ImageInput.open(path)
    assert source, oiio.geterror()
    array, space = source.read_image("float"), source.spec().get_string_attribute("oiio:ColorSpace")
    source.close()
    return array, space


def qz(*args, env=None):
    return subprocess.run([QZ, *args], capture_output=True, text=True, env=env)


def same(a, b):
    np.testing.assert_array_equal(a, b)  # NaN equals NaN here


@pytest.mark.parametrize("space", ["ACEScct", "sRGB", "Rec.709 - Camera", "lin_rec709", "ACES2065-1",
                                   "compositing_log", "Raw"])
def test_reading_and_writing_convert_as_opencolorio_does(space, tmp_path):
    source = str(tmp_path / "in.exr")
    write_exr(source, pixels())
    read_in = qz("run", "Wireless", "-i", f"Input={source}:colorspace={space}", "-o", str(tmp_path / "read.exr"))
    assert read_in.returncode == 0, read_in.stderr
    linear, recorded = read(str(tmp_path / "read.exr"))
    same(linear, converted(pixels(), space, "scene_linear"))
    assert recorded == "ACEScg", "the picture is scene_linear once converted"

    written = qz("run", "Wireless", "-i", f"Input={source}", "--colorspace", space, "-o", str(tmp_path / "out.exr"))
    assert written.returncode == 0, written.stderr
    out, recorded = read(str(tmp_path / "out.exr"))
    same(out, converted(pixels(), "scene_linear", space))
    assert recorded == CONFIG.getColorSpace(space).getName()

    # Read back as its header records it: from that space to scene_linear.
    back = qz("run", "Wireless", "-i", f"Input={tmp_path / 'out.exr'}:colorspace=auto", "-o", str(tmp_path / "back.exr"))
    assert back.returncode == 0, back.stderr
    same(read(str(tmp_path / "back.exr"))[0], converted(out, space, "scene_linear"))


def test_auto_takes_the_file_rules_without_a_record(tmp_path):
    # (The record qz writes is taken above.) An EXR falls to the default
    # rule, ACEScg; a PNG to the PNG rule, sRGB - Texture.
    write_exr(str(tmp_path / "plain.exr"), np.full((2, 3, 4), 0.5, dtype=np.float32))
    png = oiio.ImageBuf(oiio.ImageSpec(3, 2, 3, "uint8"))
    oiio.ImageBufAlgo.fill(png, (128 / 255, 128 / 255, 128 / 255))
    assert png.write(str(tmp_path / "plate.png"))
    for name, space in [("plain.exr", "ACEScg"), ("plate.png", "sRGB - Texture")]:
        done = qz("run", "Wireless", "-i", f"Input={tmp_path / name}:colorspace=auto", "-d", "float",
                  "-o", str(tmp_path / "o.exr"))
        assert done.returncode == 0, done.stderr
        stored = read(str(tmp_path / name))[0][..., :3]
        stored = np.concatenate([stored, np.ones(stored.shape[:2] + (1,), np.float32)], axis=2)
        same(read(str(tmp_path / "o.exr"))[0][..., :3], converted(stored, space, "scene_linear")[..., :3])


def test_a_flow_save_converts_and_qztools_converts_alike(tmp_path):
    source = str(tmp_path / "in.exr")
    write_exr(source, pixels())
    flow = {"nodes": {"w": {"tool": "Wireless", "inputs": {"Input": {"file": "in.exr:colorspace=sRGB"}}}},
            "save": [{"node": "w", "file": "out.exr", "colorspace": "ACEScct"}]}
    (tmp_path / "shot.json").write_text(json.dumps(flow))
    done = qz("flow", str(tmp_path / "shot.json"))
    assert done.returncode == 0, done.stderr
    expected = converted(converted(pixels(), "sRGB", "scene_linear"), "scene_linear", "ACEScct")
    same(read(str(tmp_path / "out.exr"))[0], expected)

    outputs, _ = qztools.flow(str(tmp_path / "shot.json"))
    same(outputs["w"], expected)
    output, _ = qztools.run("Wireless", images={"Input": (pixels()[0:1], "sRGB")}, colorspace="ACEScct")
    same(output, expected)


def test_bad_configurations_and_spaces_are_one_usage_error(tmp_path):
    (tmp_path / "broken.ocio").write_text("ocio_profile_version: 2.1\nroles: [\n")
    (tmp_path / "no_linear.ocio").write_text(
        "ocio_profile_version: 2\nroles:\n  default: raw\ncolorspaces:\n  - !<ColorSpace> {name: raw, isdata: true}\n"
        "displays:\n  d:\n    - !<View> {name: v, colorspace: raw}\n")
    write_exr(str(tmp_path / "in.exr"), pixels())
    run = ["run", "Wireless", "-i", f"Input={tmp_path / 'in.exr'}:colorspace=sRGB", "-o", str(tmp_path / "o.exr")]
    cases = [
        (["--ocio", str(tmp_path / "absent.ocio"), *run], None, f"colour configuration {tmp_path / 'absent.ocio'}: "),
        (["--ocio", str(tmp_path / "broken.ocio"), *run], None, f"colour configuration {tmp_path / 'broken.ocio'}: "),
        (["--ocio", str(tmp_path / "no_linear.ocio"), *run], None, "it has no scene_linear role"),
        (run, {"OCIO": str(tmp_path / "broken.ocio")}, f"colour configuration {tmp_path / 'broken.ocio'}: "),
        (["run", "Wireless", "-i", f"Input={tmp_path / 'in.exr'}:colorspace=Nope", "-o", str(tmp_path / "o.exr")],
         None, "colour space \"Nope\" is not in qz's default colour configuration (its spaces: CIE-XYZ-D65, "),
        (["run", "Wireless", "-i", f"Input={tmp_path / 'in.exr'}", "--colorspace", "Nope", "-o",
          str(tmp_path / "o.exr")], None, "colour space \"Nope\" is not in"),
    ]
    for args, env, message in cases:
        done = qz(*args, env=None if env is None else {**os.environ, **env})
        assert done.returncode == 2, (args, done.stderr)
        assert done.stderr.startswith("qz: ") and message in done.stderr and done.stderr.count("\n") == 1, done.stderr
        assert not (tmp_path / "o.exr").exists()
    with pytest.raises(ValueError, match="colour space \"Nope\" is not in"):
        qztools.run("Wireless", images={"Input": (pixels(), "Nope")})


def test_the_default_configuration_is_valid_and_listed():
    check = subprocess.run(["ociocheck", "--iconfig", DEFAULT_CONFIG], capture_output=True, text=True)
    assert check.returncode == 0 and "passed" in check.stdout, check.stdout + check.stderr
    listed = json.loads(qz("colorspaces", "--json").stdout)
    assert listed["sceneLinear"] == "ACEScg"
    assert [space["name"] for space in listed["colorspaces"]] == list(CONFIG.getColorSpaceNames())
    views = {"ACES 1.0 SDR-video", "Un-tone-mapped", "Raw"}
    assert {d["name"]: set(d["views"]) for d in listed["displays"]} == {
        "sRGB - Display": views, "Rec.1886 Rec.709 - Display": views}
    assert listed["roles"]["compositing_log"] == "ACEScct"
    assert "aliases lin_rec709, lin_srgb, linear" in qz("colorspaces").stdout

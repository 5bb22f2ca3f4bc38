"""qztools against the qz command line on the same data."""
import json
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import OpenImageIO as oiio
import pytest

import qztools

QZ = os.path.join(os.environ.get("QZ_BIN_DIR", ""), "qz")
TOOL_NAMES = [tool["name"] for tool in qztools.tools()]


def picture(height=5, width=7):
    """RGBA float32 with a different value in every channel of every pixel, alpha 1."""
    values = np.arange(height * width * 4, dtype=np.float32).reshape(height, width, 4)
    image = (values * np.float32(0.137)) % np.float32(1.0) + np.float32(0.05)
    image[..., 3] = 1.0
    return image


def write_exr(path, array):
    out = oiio.ImageOutput.create(path)
    image_spec = oiio.ImageSpec(array.shape[1], array.shape[0], 4, "float")
    image_spec.channelnames = ("R", "G", "B", "A")
    assert out.open(path, image_spec), out.geterror()
    assert out.write_image(array), out.geterror()
    out.close()


def read_exr(path):
    source = oiio.ImageInput.open(path)
    assert source, oiio.geterror()
    pixels = source.read_image("float")
    source.close()
    return pixels[..., :4]


def qz(*args):
    return subprocess.run([QZ, *args], capture_output=True, text=True)


def qz_error(*args):
    """The message qz prints for a failing command, without its "qz: " prefix."""
    done = qz(*args)
    assert done.returncode != 0
    line = done.stderr.strip().splitlines()[-1]
    assert line.startswith("qz: ")
    return line[len("qz: "):]


def image_inputs(name):
    return [i["id"] for i in qztools.info(name)["inputs"] if i["attributes"].get("DataType") == "Image"]


def readout_value(value):
    return float(value) if isinstance(value, str) else value  # qz writes "inf", "-inf", "nan" as text


def test_listing_and_pages_match_qz():
    assert qztools.tools() == json.loads(qz("list", "--json").stdout)
    for name in TOOL_NAMES:
        assert qztools.info(name) == json.loads(qz("info", name, "--json").stdout)
    assert qztools.info("korvane.zdevider")["name"] == "ZDevider"


@pytest.mark.parametrize("name", TOOL_NAMES)
def test_every_tool_matches_qz_run(name, tmp_path):
    array = picture()
    source = str(tmp_path / "in.exr")
    write_exr(source, array)
    ids = image_inputs(name)
    assert ids, name
    target = str(tmp_path / "out.exr")
    args = ["run", name, "-o", target, "--json"]
    for id in ids:
        args += ["-i", f"{id}={source}"]
    done = qz(*args)

    output, readouts = qztools.run(name, images={id: array for id in ids})

    if done.returncode != 0:
        assert "set no output" in done.stderr
        assert output is None
        return
    expected = json.loads(done.stdout)
    assert output is not None and output.dtype == np.float32 and output.shape == (5, 7, 4)
    assert np.array_equal(output, read_exr(target), equal_nan=True)
    assert list(readouts) == list(expected["readouts"])
    for id, value in expected["readouts"].items():
        assert np.array_equal(readouts[id], readout_value(value), equal_nan=True)


def test_values_and_read_outs_match_qz(tmp_path):
    # A number, a button text and read-outs, each against qz.
    array, other = picture(), picture()[::-1].copy()
    source, second, target = (str(tmp_path / n) for n in ("in.exr", "other.exr", "out.exr"))
    write_exr(source, array)
    write_exr(second, other)
    done = qz("run", "ZDevider", "-i", f"Input={source}", "-s", "Zmax=4", "-o", target)
    assert done.returncode == 0, done.stderr
    output, _ = qztools.run("ZDevider", images={"Input": array}, Zmax=4)
    assert np.array_equal(output, read_exr(target))
    assert not np.array_equal(output, array)

    eyes = {"LeftImage": array, "RightImage": other}
    done = qz("run", "StereoSwitch", "-i", f"LeftImage={source}", "-i", f"RightImage={second}", "-s", "Input=Right",
              "-o", target)
    assert done.returncode == 0, done.stderr
    output, _ = qztools.run("StereoSwitch", images=eyes, Input="Right")
    assert np.array_equal(output, read_exr(target))
    assert np.array_equal(output, other)

    done = qz("run", "FoCalc", "-i", f"Input={source}", "-s", "FocalLength=85", "--json")
    assert done.returncode == 0, done.stderr
    _, readouts = qztools.run("FoCalc", images={"Input": array}, FocalLength=85)
    expected = json.loads(done.stdout)["readouts"]
    assert expected
    assert readouts == {id: readout_value(value) for id, value in expected.items()}


def test_rows_run_top_down():
    array = np.full((3, 2, 4), 0.25, dtype=np.float32)
    array[0] = [0.9, 0.8, 0.7, 1.0]  # the top row of the picture
    output, _ = qztools.run("ZDevider", images={"Input": array}, Zmax=1)
    assert np.array_equal(output[0], array[0])
    assert np.array_equal(output[1:], array[1:])


def test_rows_through_exr_files_run_top_down(tmp_path):
    array = np.full((3, 2, 4), 0.25, dtype=np.float32)
    array[0] = [0.9, 0.8, 0.7, 1.0]
    source, target = str(tmp_path / "in.exr"), str(tmp_path / "out.exr")
    write_exr(source, array)
    assert qz("run", "ZDevider", "-i", f"Input={source}", "-s", "Zmax=1", "-o", target).returncode == 0
    assert np.array_equal(read_exr(target)[0], array[0])
    output, _ = qztools.run("ZDevider", images={"Input": array}, Zmax=1)
    assert np.array_equal(output, read_exr(target))


def test_input_array_is_left_alone_and_may_be_a_view():
    array = picture()
    kept = array.copy()
    flipped = array[::-1]  # not contiguous in memory order
    output, _ = qztools.run("ZDevider", images={"Input": flipped}, Zmax=1)
    assert np.array_equal(array, kept)
    assert np.array_equal(output, flipped)


def test_errors_carry_the_qz_message(tmp_path):
    source = str(tmp_path / "in.exr")
    write_exr(source, picture())
    image = {"Input": picture()}
    cases = [
        (lambda: qztools.run("NoSuchTool", images=image), ("run", "NoSuchTool", "-i", f"Input={source}")),
        (lambda: qztools.info("NoSuchTool"), ("info", "NoSuchTool")),
        (lambda: qztools.run("ZDevider", images=image, Zmxa=1), ("run", "ZDevider", "-s", "Zmxa=1")),
        (lambda: qztools.run("ZDevider", images=image, Zmax="deep"), ("run", "ZDevider", "-s", "Zmax=deep")),
        (lambda: qztools.run("ZDevider", images={"Zmax": picture()}), ("run", "ZDevider", "-i", f"Zmax={source}")),
        (lambda: qztools.run("ZDevider", images={"Inptu": picture()}), ("run", "ZDevider", "-i", f"Inptu={source}")),
        (lambda: qztools.run("ZDevider", ICI=1), ("run", "ZDevider", "-s", "ICI=1")),
        (lambda: qztools.run("ZDevider"), ("run", "ZDevider")),
        (lambda: qztools.run("ZDevider", images=image, Zmax=10**400), ("run", "ZDevider", "-s", f"Zmax={10**400}")),
        (lambda: qztools.run("ZDevider", images=image, Zmax="1e-400"), ("run", "ZDevider", "-s", "Zmax=1e-400")),
        (lambda: qztools.run("SSAO", Quality=1e9), ("run", "SSAO", "-s", "Quality=1e9")),
        (lambda: qztools.run("DirtyDOF", cSamples=np.float32("inf")), ("run", "DirtyDOF", "-s", "cSamples=inf")),
    ]
    for call, args in cases:
        message = qz_error(*args)
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message


def test_ctrl_c_cancels_a_render_and_raises_keyboard_interrupt():
    # An exact convolution of 5e11 kernel-pixel taps runs for minutes; the
    # interrupt must end it long before.
    script = (
        "import numpy as np, qztools, sys\n"
        "frame = np.full((1000, 2000, 4), 0.5, np.float32)\n"
        "kernel = np.ones((500, 500, 4), np.float32)\n"
        "print('rendering', flush=True)\n"
        "try:\n"
        "    qztools.run('Convolution', images={'Image': frame, 'Kernel': kernel}, Sampling=0)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "rendering\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    try:
        out, _ = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        raise
    assert out == "interrupted\n"
    assert child.returncode == 0


def test_missing_required_images_raise():
    with pytest.raises(ValueError, match='required input "Kernel" is not connected'):
        qztools.run("Convolution", images={"Image": picture()})


@pytest.mark.parametrize(
    "array",
    [
        picture().astype(np.float64),
        picture().astype(np.float16),
        picture()[..., :3],
        picture()[0],
        picture()[None],
        picture().tolist(),
    ],
)
def test_wrong_arrays_raise(array):
    with pytest.raises(ValueError, match=r'image "Input" must be a float32 array of shape \(height, width, 4\)'):
        qztools.run("ZDevider", images={"Input": array})


def test_numbers_of_every_kind_are_taken_as_qz_takes_them():
    array = np.ones((1, 1, 4), dtype=np.float32)

    def divided(zmax):
        return qztools.run("ZDevider", images={"Input": array}, Zmax=zmax)[0]

    assert np.array_equal(divided(float("inf")), divided("inf"))
    for number, same in [
        (4, 4.0),
        (np.float32(2.5), 2.5),
        (np.float64(2.5), 2.5),
        (np.int64(3), 3),
        (np.uint8(3), 3),
        (np.bool_(True), 1),
        (True, 1),
        (np.array([0.5, 6.0], dtype=np.float32).max(), 6),
    ]:
        assert np.array_equal(divided(number), divided(same)), repr(number)


def test_wrong_value_types_raise():
    with pytest.raises(ValueError, match='input "Zmax" takes a number or a button text'):
        qztools.run("ZDevider", images={"Input": picture()}, Zmax=None)
    with pytest.raises(ValueError, match="threads"):
        qztools.run("ZDevider", images={"Input": picture()}, threads=-1)


def test_unknown_button_text_warns_as_qz(tmp_path):
    source = str(tmp_path / "in.exr")
    write_exr(source, picture())
    done = qz("run", "ClipMotionVectors", "-i", f"Image={source}", "-s", "ClipMode=Squash")
    line = next(l for l in done.stderr.splitlines() if l.startswith("qz: warning: "))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        qztools.run("ClipMotionVectors", images={"Image": picture()}, ClipMode="Squash")
    assert [str(w.message) for w in caught] == [line[len("qz: warning: "):]]


def test_no_output_gives_none_unless_image_sizes_differ():
    # StereoSwitch on "Right" with only the left eye connected sets no output.
    output, readouts = qztools.run("StereoSwitch", images={"LeftImage": picture()}, Input="Right")
    assert output is None and readouts == {}
    with pytest.raises(ValueError, match=r'images differ in size \("Image" is 7 x 5, "Zdepth" is 3 x 2\)'):
        qztools.run("DirtyDOF", images={"Image": picture(5, 7), "Zdepth": picture(2, 3)})


def test_thread_bound_does_not_change_results():
    array = picture(17, 13)
    ids = image_inputs("SSAO")
    one, _ = qztools.run("SSAO", images={id: array for id in ids}, threads=1)
    many, _ = qztools.run("SSAO", images={id: array for id in ids}, threads=4)
    assert np.array_equal(one, many, equal_nan=True)


def test_thread_bounds_of_renders_at_once_stay_their_own():
    from concurrent.futures import ThreadPoolExecutor

    default = qztools.default_threads()
    array = picture(64, 64)
    ids = image_inputs("SSAO")
    expected, _ = qztools.run("SSAO", images={id: array for id in ids}, threads=1)
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda n: qztools.run("SSAO", images={id: array for id in ids}, threads=1 + n % 2)[0],
                                range(40)))
    assert all(np.array_equal(result, expected, equal_nan=True) for result in results)
    assert qztools.default_threads() == default, "a render's bound is its own, never the process's"


def test_renders_from_several_threads_agree():
    from concurrent.futures import ThreadPoolExecutor

    array = picture(31, 29)
    ids = image_inputs("SSAO")
    expected, _ = qztools.run("SSAO", images={id: array for id in ids})
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: qztools.run("SSAO", images={id: array for id in ids})[0], range(8)))
    assert all(np.array_equal(result, expected, equal_nan=True) for result in results)


def test_flow_renders_what_qz_flow_writes_and_arrays_stand_in_for_files(tmp_path):
    depth = picture(5, 7) * np.float32(10)
    depth[..., 3] = 1.0
    write_exr(str(tmp_path / "depth.exr"), depth)
    flow = {"nodes": {"remap": {"tool": "ZRemapper", "values": {"PlaneOfFocus": 3},
                                "inputs": {"Input": {"file": "depth.exr"}}},
                      "divide": {"tool": "ZDevider", "values": {"Zmax": 4}, "inputs": {"Input": {"node": "remap"}}}},
            "save": [{"node": "divide", "file": "out.exr"}]}
    path = tmp_path / "shot.json"
    path.write_text(json.dumps(flow))
    done = qz("flow", str(path), "--json")
    assert done.returncode == 0, done.stderr

    outputs, readouts = qztools.flow(str(path))
    assert list(outputs) == ["divide"]
    assert np.array_equal(outputs["divide"], read_exr(str(tmp_path / "out.exr")), equal_nan=True)
    expected = json.loads(done.stdout)["frames"][0]["readouts"]
    assert readouts == {node: {id: readout_value(v) for id, v in values.items()} for node, values in expected.items()}

    stood_in, _ = qztools.flow(str(path), images={"depth.exr": depth + np.float32(1)})
    assert not np.array_equal(stood_in["divide"], outputs["divide"])
    again, _ = qztools.flow(str(path), images={"depth.exr": depth})
    assert np.array_equal(again["divide"], outputs["divide"], equal_nan=True)
    with pytest.raises(ValueError, match='no node of the flow reads the file "other.exr"'):
        qztools.flow(str(path), images={"other.exr": depth})


def test_errors_quote_names_from_files_escaped(tmp_path):
    path = str(tmp_path / "damaged.exr")
    out = oiio.ImageOutput.create(path)
    image_spec = oiio.ImageSpec(3, 2, 4, "float")
    image_spec.channelnames = ("R", "G", "B", "\x1b[2J\x1e")
    assert out.open(path, image_spec), out.geterror()
    assert out.write_image(np.zeros((2, 3, 4), dtype=np.float32)), out.geterror()
    out.close()
    flow = {"nodes": {"d": {"tool": "ZDevider", "inputs": {"Input": {"file": path + ":channel=nope"}}}},
            "save": [{"node": "d", "file": "never.exr"}]}
    with pytest.raises(ValueError) as raised:
        qztools.flow(flow)
    assert "\\x1b[2J\\x1e" in str(raised.value) and "\x1b" not in str(raised.value)


def test_animated_values_are_taken_at_the_frame(tmp_path):
    array = picture()
    held, _ = qztools.run("ZDevider", images={"Input": array}, Zmax=3)
    keys = {"keys": [{"frame": 1, "value": 2}, {"frame": 3, "value": 4}]}
    for value in (keys, {"expression": "frame + 1"}):
        at_two, _ = qztools.run("ZDevider", images={"Input": array}, frame=2, Zmax=value)
        assert np.array_equal(at_two, held)
    write_exr(str(tmp_path / "in.exr"), array)
    flow = {"nodes": {"div": {"tool": "ZDevider", "values": {"Zmax": keys}, "inputs": {"Input": {"file": "in.exr"}}}},
            "save": [{"node": "div", "file": "out.exr"}]}
    (tmp_path / "shot.json").write_text(json.dumps(flow))
    outputs, _ = qztools.flow(str(tmp_path / "shot.json"), frame=2)
    assert np.array_equal(outputs["div"], held)
    backwards = {"keys": [{"frame": 3, "value": 1}, {"frame": 1, "value": 2}]}
    with pytest.raises(ValueError, match=r'ZDevider: input "Zmax": key 2 \(frame 1\) comes before key 1'):
        qztools.run("ZDevider", images={"Input": array}, Zmax=backwards)
    with pytest.raises(ValueError, match=r'input "Zmax" is inf at frame 3'):
        qztools.run("ZDevider", images={"Input": array}, frame=3, Zmax={"expression": "1 / (frame - 3)"})

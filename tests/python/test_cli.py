"""The command line: each command, one-line user errors, what export writes; the README's examples run."""

import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from matplotlib.axes import Axes
from PIL import Image
from plyfile import PlyData

from tessaro.cli import main


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("recordings")
    for name, mode in (("single", "0x211c"), ("dual", "dual")):
        assert main(["record", str(folder / f"{name}.mcap"), "--synthetic", "--frames", "6", "--mode", mode]) == 0
    return folder


@pytest.mark.parametrize("argv", [["list"], ["info", "{dir}/dual.mcap"], ["replay", "{dir}/dual.mcap", "--every", "2"],
                                  ["bench", "--frames", "3", "--file", "{dir}/single.mcap"]])
def test_commands_succeed(recordings, capsys, argv):
    assert main([a.format(dir=recordings) for a in argv]) == 0
    assert capsys.readouterr().out


@pytest.mark.parametrize("argv, named", [
    (["replay", "{dir}/missing.mcap"], "missing.mcap"), (["replay", "{dir}/corrupt.mcap"], "corrupt.mcap"),
    (["info", "media7/IMX704"], "media7/IMX704"), (["replay", "{dir}/single.mcap", "--echoes", "5"], "5"),
    (["record", "{dir}/x.mcap", "--synthetic", "--mode", "0x1c"], "0x1c"),
    (["record", "{dir}/x.mcap", "--camera", "media7/IMX704"], "media7/IMX704"),
    (["export", "{dir}/single.mcap", "--frame", "6"], "frame 6"),
    (["replay", "{dir}/single.mcap", "--every", "0"], "--every"),
    (["info", "{dir}/missing.mcap"], "missing.mcap: no such recording"), (["info", "{dir}"], "is a folder"),
    (["info", "{dir}/truncated.mcap"], "truncated.mcap: frame 3: the file ends early"),
    (["export", "{dir}/corrupt.mcap"], "no readable frames"), (["record", "{dir}/single.mcap", "--synthetic"], "--force"),
    (["record", "{dir}/x.mcap", "--synthetic", "--seed", "-1"], "--seed"),
    (["record", "{dir}/x.mcap", "--synthetic", "--ros2", "--outputs", "histogram"], "ros2")])
def test_user_errors_are_one_line(recordings, capsys, argv, named):
    single = (recordings / "single.mcap").read_bytes()
    (recordings / "corrupt.mcap").write_bytes(single[:3000])
    (recordings / "truncated.mcap").write_bytes(single[:len(single) * 6 // 10])
    assert main([a.format(dir=recordings) for a in argv]) != 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and named in err and "Traceback" not in err


def test_export_writes_what_the_frame_decoded(recordings, tmp_path, capsys, monkeypatch):
    prefix, shown, imshow = tmp_path / "last", [], Axes.imshow
    monkeypatch.setattr(Axes, "imshow", lambda axes, data, **kw: shown.append(kw) or imshow(axes, data, **kw))
    assert main(["export", str(recordings / "dual.mcap"), "--frame", "-1", "--echo", "2", "--out", str(prefix)]) == 0
    arrays = np.load(prefix.with_suffix(".npz"))
    depth = arrays["depth"][1]
    assert (shown[0]["vmin"], shown[0]["vmax"]) == (depth[depth > 0].min(), depth.max())
    assert depth.min() == 0  # zones without a return, which the colour scale leaves out
    vertices = PlyData.read(prefix.with_suffix(".ply"))["vertex"]
    where = (vertices["echo"], vertices["row"], vertices["column"])
    assert len(vertices["z"]) == np.count_nonzero(arrays["depth"])
    np.testing.assert_array_equal(vertices["z"], arrays["cartesian_depth"][where])
    with Image.open(prefix.with_suffix(".png")) as image:
        colours = len(np.unique(np.asarray(image.convert("RGB")).reshape(-1, 3), axis=0))
    assert colours > 50  # a colour-mapped scene, not a blank canvas


def test_readme_examples_run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    examples = [code for code in re.findall(r"```python\n(.*?)```", readme, re.S) if "import tessaro" in code]
    for code in examples:
        exec(compile(code, "README.md", "exec"), {})
    assert len(examples) >= 2 and "median depth" in capsys.readouterr().out


def test_odd_file_names_an_output_folder_and_a_closed_pipe(recordings, tmp_path):
    odd = tmp_path / os.fsdecode(b"caf\xe9.mcap")  # not UTF-8
    odd.write_bytes((recordings / "single.mcap").read_bytes())
    assert main(["replay", str(odd), "--quiet"]) == main(["export", str(odd), "--out", f"{tmp_path}/"]) == 0
    assert (tmp_path / os.fsdecode(b"caf\xe9-frame0.npz")).exists()
    closed = subprocess.run(f"'{sys.executable}' -m tessaro.cli replay '{recordings}/single.mcap' | true", shell=True,
                            capture_output=True, text=True)
    assert closed.stderr == ""


@pytest.mark.parametrize("missing", ["matplotlib", "plyfile"])
def test_export_without_its_extra_names_it(recordings, tmp_path, capsys, monkeypatch, missing):
    from tessaro import errors, export
    from tessaro.device import open as open_device
    monkeypatch.setitem(sys.modules, missing, None)
    assert main(["export", str(recordings / "dual.mcap"), "--out", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert err == (f"tessaro export: error: writing pictures and point clouds needs the export extra "
                   f"({missing} is missing): pip install 'pelorin[export]'\n")
    assert not list(tmp_path.iterdir())
    with open_device(recordings / "dual.mcap") as device:
        frame = next(iter(device))
    write = export.depth_png if missing == "matplotlib" else export.point_cloud_ply
    with pytest.raises(errors.MissingExtraError, match=rf"\({missing} is missing\): pip install 'pelorin\[export\]'$"):
        write(frame, tmp_path / "out")

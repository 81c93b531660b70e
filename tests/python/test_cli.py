"""The command line: each command, one-line user errors, what export writes; the README's examples run."""

import json
import os
import pathlib
import re
import subprocess
import sys
import time

import numpy as np
import pytest
import tessaro
from matplotlib.axes import Axes
from PIL import Image
from plyfile import PlyData

from tessaro import _commands
from tessaro.cli import VERBS, build_parser, main


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


def test_json_parses_and_counts(recordings, capsys):
    assert main(["list", "--json"]) == 0 and json.loads(capsys.readouterr().out) == []
    assert main(["info", str(recordings / "dual.mcap"), "--json"]) == 0
    info = json.loads(capsys.readouterr().out)
    counts = {topic["topic"]: topic["count"] for topic in info["topics"]}
    assert counts == {"/tessaro/raw/image": 6, "/tessaro/raw/ebd": 6} and info["messages"] == 12
    assert (info["frames"], info["mode"], info["echoes"], info["damage"]) == (6, "0x301c", 3, None)
    assert info["frame_rate_hz"] == pytest.approx(10, rel=0.1)  # paced at the mode's rate; a loaded machine delays a frame or two
    assert info["outputs"] == list(tessaro.DEFAULT_OUTPUTS) and info["dual_depth_params"]["select_far"] > 0
    assert main(["bench", "--frames", "2", "--file", str(recordings / "single.mcap"), "--json"]) == 0
    [row] = json.loads(capsys.readouterr().out)
    assert row["recording"] == "single.mcap" and row["frames_per_s"] > 0 and row["outputs"] == ",".join(tessaro.DEFAULT_OUTPUTS)


def test_damage_is_located_summed_up_and_fails(recordings, capsys):
    single = (recordings / "single.mcap").read_bytes()
    (recordings / "cut.mcap").write_bytes(single[:len(single) * 6 // 10])
    assert main(["info", str(recordings / "cut.mcap"), "--json"]) == 1
    damage = json.loads(capsys.readouterr().out)["damage"]
    assert damage["frame"] == 3 and 0 < damage["byte"] < len(single) * 6 // 10
    assert main(["info", str(recordings / "cut.mcap")]) == 1
    assert f"Damage:            at frame 3 (byte {damage['byte']})" in capsys.readouterr().out
    assert main(["replay", str(recordings / "cut.mcap"), "--quiet"]) == 1
    out = capsys.readouterr()
    assert "replayed 3 frames" in out.out and "stopped by damage at frame 3" in out.out and out.err.count("\n") == 1


def test_replay_paces_starts_and_loops(recordings, capsys, monkeypatch):
    began = time.monotonic()
    assert main(["replay", str(recordings / "single.mcap"), "--rate", "0.5", "--start", "-4", "--quiet"]) == 0
    # Three recorded intervals of about 1/30 s (the recording's own capture times), at half speed.
    assert time.monotonic() - began >= 0.95 * 3 / 30 / 0.5
    assert "replayed 4 frames" in capsys.readouterr().out
    shown = []
    def line(frame):
        if len(shown) == 8:
            raise KeyboardInterrupt
        shown.append(frame.frame_id)
        return ""
    monkeypatch.setattr(_commands, "frame_line", line)
    assert main(["replay", str(recordings / "single.mcap"), "--loop", "--start", "4"]) == 130
    assert shown == [4, 5, 0, 1, 2, 3, 4, 5] and "replayed 9 frames" in capsys.readouterr().out


def test_synthetic_runs_at_its_frame_rate_unless_fast(tmp_path, capsys):
    assert main(["record", str(tmp_path / "paced.mcap"), "--synthetic", "--mode", "0x301c", "--duration", "1"]) == 0
    capsys.readouterr()
    assert main(["info", str(tmp_path / "paced.mcap"), "--json"]) == 0
    info = json.loads(capsys.readouterr().out)
    assert 5 <= info["frames"] <= 11 and info["frame_rate_hz"] == pytest.approx(10, abs=1.5)
    with tessaro.open("synthetic", mode=0x221c, pace=True) as device:  # 60 frames/s
        frames = [frame.timing for frame in device.frames(3)]
        time.sleep(0.05)  # three periods: a live sensor goes on without the reader
        late = next(iter(device.frames(1)))
    assert (frames[2].capture_time_ns - frames[0].capture_time_ns) / 1e9 >= 2 / 60 * 0.95
    assert late.dropped >= 2 and late.frame_index - frames[2].frame_index == late.dropped + 1


@pytest.mark.parametrize("verb", [verb.name for verb in VERBS])
def test_every_help_has_an_example(verb, capsys):
    assert main([verb, "--help"]) == 0
    examples = capsys.readouterr().out.split("examples:\n")[1]
    assert re.match(f"  tessaro {verb}\\b", examples)


@pytest.mark.parametrize("argv, named", [
    (["replay", "{dir}/missing.mcap"], "missing.mcap"), (["replay", "{dir}/corrupt.mcap"], "corrupt.mcap"),
    (["info", "media7/IMX704"], "media7/IMX704"), (["replay", "{dir}/single.mcap", "--echoes", "5"], "5"),
    (["record", "{dir}/x.mcap", "--synthetic", "--mode", "0x1c"], "0x1c"),
    (["record", "{dir}/x.mcap", "--camera", "media7/IMX704"], "media7/IMX704"),
    (["export", "{dir}/single.mcap", "--frame", "6"], "frame 6"),
    (["export", "{dir}/single.mcap", "--frames", "4:2"], "--frames 4:2 selects no frames"),
    (["export", "{dir}/single.mcap", "--frames", "2:9"], "9 is out of range"),
    (["export", "{dir}/single.mcap", "--frames", "2-4"], "START:END"),
    (["export", "{dir}/single.mcap", "--range", "4000:0"], "LOW:HIGH"),
    (["export", "{dir}/single.mcap", "--range", "nan:5"], "LOW:HIGH"),
    (["export", "{dir}/single.mcap", "--format", "png,gif"], "png,ply,npz"),
    (["export", "{dir}/single.mcap", "--echo", "3"], "echoes 0 to 2"),
    (["export", "{dir}/single.mcap", "--format", "ply", "--outputs", "depth"], "output points"),
    (["replay", "{dir}/single.mcap", "--start", "6"], "frames 0 to 5"),
    (["replay", "{dir}/single.mcap", "--rate", "0"], "--rate"),
    (["record", "{dir}/x.mcap", "--camera", "media7/IMX704", "--fast"], "--fast"),
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
    prefix, shown, imshow = tmp_path / "dual-frame5", [], Axes.imshow
    monkeypatch.setattr(Axes, "imshow", lambda axes, data, **kw: shown.append(kw) or imshow(axes, data, **kw))
    assert main(["export", str(recordings / "dual.mcap"), "--frame", "-1", "--echo", "1", "--out", str(tmp_path),
                 "--outputs", "all"]) == 0
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


def test_export_ranges_formats_and_a_new_folder(recordings, tmp_path, monkeypatch):
    shown, imshow = [], Axes.imshow
    monkeypatch.setattr(Axes, "imshow", lambda axes, data, **kw: shown.append(kw) or imshow(axes, data, **kw))
    out = tmp_path / "new" / "folder"
    assert main(["export", str(recordings / "single.mcap"), "--frames=-3:", "--format", "npz,png", "--out", str(out),
                 "--range", "0:4000", "--echo", "-1"]) == 0
    assert sorted(p.name for p in out.iterdir()) == [f"single-frame{k}.{ext}" for k in (3, 4, 5) for ext in ("npz", "png")]
    assert [(kw["vmin"], kw["vmax"]) for kw in shown] == [(0, 4000)] * 3
    assert [int(np.load(out / f"single-frame{k}.npz")["frame_id"]) for k in (3, 4, 5)] == [3, 4, 5]
    assert main(["export", str(recordings / "single.mcap"), "--frames", "all", "--format", "ply", "--out", str(out)]) == 0
    assert len(list(out.glob("*.ply"))) == 6


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

"""tessaro batch on real Dask clusters: a local one of worker processes, and a scheduler and
workers started as commands, one of which dies mid-job. Every run must give the tables of a
serial run."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pq = pytest.importorskip("pyarrow.parquet")
zarr = pytest.importorskip("zarr")
distributed = pytest.importorskip("distributed")

import tessaro  # noqa: E402
from tessaro import cli  # noqa: E402
from tessaro._batch_engine import Settings, run_serial  # noqa: E402
from tessaro._batch_command import find_recordings  # noqa: E402
from tessaro.recording import Recording  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """Tiny recordings (single and dual depth, a truncated one, one that is no recording) and
    the output of a serial run over them."""
    folder = tmp_path_factory.mktemp("fleet")
    for name, mode, frames in (("walk", "single", 4), ("stairs", "dual", 3)):
        with tessaro.open("synthetic", mode=mode, seed=1) as device:
            device.record(folder / f"{name}.mcap", frames=frames)
    whole = (folder / "walk.mcap").read_bytes()
    (folder / "cut.mcap").write_bytes(whole[:len(whole) * 6 // 10])
    (folder / "notes.mcap").write_text("not a recording")
    serial = tmp_path_factory.mktemp("serial")
    run_serial(find_recordings([str(folder)]), serial, Settings(zarr=True))
    return folder, serial


def check_against_serial(out, serial, capsys, status):
    assert status == 1
    listed = capsys.readouterr().out
    assert "cut.mcap: frame 2: the file ends early (truncated)" in listed
    assert "notes.mcap: not a readable recording" in listed
    summary = pq.read_table(out / "summary.parquet")
    assert summary.equals(pq.read_table(serial / "summary.parquet"))
    rows = {row["name"]: row for row in summary.to_pylist()}
    assert {name: row["frames"] for name, row in rows.items()} == \
        {"cut": 2, "notes": 0, "stairs": 3, "walk": 4}
    for name, row in rows.items():
        frames = pq.read_table(out / "frames" / f"{name}.parquet")
        assert frames.equals(pq.read_table(serial / "frames" / f"{name}.parquet"))
        assert frames.num_rows == row["frames"]
        if row["frames"]:
            with Recording(row["file"]) as recording:
                assert frames.column("frame").to_pylist() == list(range(len(recording)))
            depth = zarr.open_array(out / "depth" / f"{name}.zarr")
            assert (depth[:] == zarr.open_array(serial / "depth" / f"{name}.zarr")[:]).all()
            assert depth.shape == (row["frames"], 3, 24, 24)


def test_local_cluster_of_two_processes(fleet, tmp_path, capsys):
    folder, serial = fleet
    status = cli.main(["batch", str(folder / "*.mcap"), "--out", str(tmp_path), "--zarr",
                       "--workers", "2"])
    check_against_serial(tmp_path, serial, capsys, status)


class DieOnce(distributed.WorkerPlugin):
    """Kills its worker as it starts the task of one recording, the first time only."""

    def __init__(self, marker, recording):
        self.marker, self.recording = marker, recording

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and self.recording in str(key) and \
                not os.path.exists(self.marker):
            Path(self.marker).touch()
            os.kill(os.getpid(), signal.SIGKILL)


@pytest.fixture
def cluster(tmp_path):
    """A scheduler and two workers started as the `dask` command does, on 127.0.0.1."""
    address_file = tmp_path / "scheduler.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"),
                                                       str(Path(__file__).parent)]))
    dask = [str(Path(sys.executable).with_name("dask"))]
    started = [subprocess.Popen(dask + ["scheduler", "--host", "127.0.0.1", "--port", "0",
                                        "--no-dashboard", "--scheduler-file", str(address_file)],
                                env=env, stderr=subprocess.DEVNULL)]
    try:
        while not address_file.exists():
            assert started[0].poll() is None, "the scheduler did not start"
            time.sleep(0.1)
        started.append(subprocess.Popen(dask + [
            "worker", "--scheduler-file", str(address_file), "--host", "127.0.0.1",
            "--nworkers", "2", "--nthreads", "1", "--no-dashboard",
            "--local-directory", str(tmp_path / "scratch")], env=env, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=str(address_file)) as client:
            client.wait_for_workers(2, timeout=60)
            yield client, json.loads(address_file.read_text())["address"]
    finally:  # the workers first: without a scheduler they would wait for it to come back
        for process in reversed(started):
            process.terminate()
            try:
                process.wait(60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def test_scheduler_and_workers_started_apart_one_dying(fleet, cluster, tmp_path, capsys):
    folder, serial = fleet
    client, address = cluster
    marker = tmp_path / "died"
    client.register_plugin(DieOnce(str(marker), "stairs"))
    status = cli.main(["batch", str(folder), "--out", str(tmp_path / "out"), "--zarr",
                       "--scheduler", address])
    assert marker.exists()
    check_against_serial(tmp_path / "out", serial, capsys, status)


def test_job_that_cannot_run(fleet, tmp_path, capsys, monkeypatch):
    folder, _ = fleet
    for line, complaint in ((["nowhere.mcap"], "no such file or folder: nowhere.mcap"),
                            ([str(folder / "*.bag")], "matches no file"),
                            ([str(folder), "--outputs", "depth,colour"], "--outputs")):
        assert cli.main(["batch", *line, "--out", str(tmp_path)]) == 2
        assert complaint in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "distributed", None)
    assert cli.main(["batch", str(folder), "--out", str(tmp_path)]) == 2
    message = capsys.readouterr().err
    assert message.count("\n") == 1 and "pip install 'pelorin[batch]'" in message

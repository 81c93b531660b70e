"""The recorder's writer thread: a slow disk costs counted frames, never capture; a replay waits."""

import signal
import sys
import threading
import time

import pytest

import tessaro
from mcap.writer import CompressionType

from tessaro_testing import FRAMES, raw_frames, streaming_camera
from tessaro.recording import Recording, Replayer, record
from tessaro.recording import _background as background, _writer as recorder
from tessaro.synthetic import wire


@pytest.fixture
def slowed(monkeypatch):
    """Two buffers between the threads, and a writer that waits on the returned event (or on a
    pause with a float) before each frame; a writer kept waiting for long raises instead."""
    monkeypatch.setattr(background, "QUEUE_BYTES", 1)
    write_frame, hold = recorder._FrameWriter.write_frame, [threading.Event()]

    def slow(*args):
        if isinstance(hold[0], float):
            time.sleep(hold[0])
        else:
            assert hold[0].wait(30), "capture waited for the disk"
        write_frame(*args)
    monkeypatch.setattr(recorder._FrameWriter, "write_frame", slow)
    return hold


@pytest.mark.parametrize("stop", ["frames", "SIGTERM"])
def test_a_slow_disk_drops_counted_frames_and_the_rest_are_intact(tmp_path, slowed, stop):
    images = [image.tobytes() for image in raw_frames(wire.SINGLE_MODE)[0]]
    player = wire.frame_player(raw_frames(wire.SINGLE_MODE)[0], repeat=True)

    def source(array, timeout_ms):
        if stop == "SIGTERM" and player.position == FRAMES - 1:
            signal.raise_signal(signal.SIGTERM)
        return player(array, timeout_ms)
    summary = record(streaming_camera(source), tmp_path / "slow.mcap",
                     frames=FRAMES if stop == "frames" else None,
                     progress=lambda taken: taken == FRAMES and slowed[0].set())
    # One frame in the writer's hands and one in each buffer: the rest find no room.
    assert 2 <= summary.frames_written <= 3 and summary.frames_written + summary.frames_dropped == FRAMES
    assert summary.interrupted == (stop == "SIGTERM")
    with Recording(summary.path) as rec:
        order = [images.index(rec.raw_image(i)) for i in range(len(rec))]
        assert (rec.damage, len(order), order[0]) == (None, summary.frames_written, 0)
        assert order == sorted(set(order)), "a buffer was filled again before it was written"
        assert rec.metadata["tessaro.recorder"] == {"frames_written": str(summary.frames_written),
                                                    "frames_dropped": str(summary.frames_dropped),
                                                    "frames_failed": "0"}


def test_a_replay_waits_for_the_disk_and_earlier_codecs_still_read(tmp_path, slowed, monkeypatch):
    images, ebds = raw_frames(wire.SINGLE_MODE)
    first, again = tmp_path / "zstd.mcap", tmp_path / "again.mcap"
    chosen, slowed[0] = recorder.COMPRESSION, 0.0
    monkeypatch.setattr(recorder, "COMPRESSION", CompressionType.ZSTD)
    monkeypatch.setattr(background, "QUEUE_BYTES", 8 << 20)  # room for every frame
    assert record(streaming_camera(images, ebds), first).frames_written == FRAMES
    monkeypatch.setattr(recorder, "COMPRESSION", chosen)
    monkeypatch.setattr(background, "QUEUE_BYTES", 1)
    slowed[0] = 0.02  # the replay is many times faster than this writer
    with Replayer(first) as replay:
        replay.start()
        summary = record(replay, again)
    assert (summary.frames_written, summary.frames_dropped) == (FRAMES, 0)
    with Recording(first) as before, Recording(again) as after:
        # Log times are those of the replay's delivery; the frames are the recorded ones.
        assert [(after.raw_image(i), after.raw_ebd(i)) for i in range(len(after))] == \
            [(before.raw_image(i), before.raw_ebd(i)) for i in range(FRAMES)]
        assert all(after.log_time(i) < after.log_time(i + 1) for i in range(FRAMES - 1))


def test_a_second_stop_while_the_queue_is_written_drops_it_counted(tmp_path, monkeypatch):
    monkeypatch.setattr(background, "QUEUE_BYTES", 1)
    write_frame, main, writers = recorder._FrameWriter.write_frame, threading.main_thread(), []
    monkeypatch.setattr(recorder, "BackgroundWriter", lambda *a, **k: writers.append(
        background.BackgroundWriter(*a, **k)) or writers[0])

    def interrupted(*args):  # once the capture waits for the queue to be written: stop twice
        while args[1] == 0 and sys._current_frames()[main.ident].f_code.co_name not in (
                "wait", "join", "_wait_for_tstate_lock"):
            time.sleep(0.001)
        if args[1] == 0:
            signal.pthread_kill(main.ident, signal.SIGINT)  # two of one kind may come as one
            signal.pthread_kill(main.ident, signal.SIGTERM)
            while not writers[0]._abandoned:
                time.sleep(0.001)
        write_frame(*args)
    monkeypatch.setattr(recorder._FrameWriter, "write_frame", interrupted)
    summary = record(streaming_camera(raw_frames(wire.SINGLE_MODE)[0]), tmp_path / "i.mcap", frames=FRAMES)
    assert (summary.frames_written, summary.frames_dropped, summary.interrupted) == (1, FRAMES - 1, True)
    with Recording(summary.path) as rec:
        assert (len(rec), rec.damage, rec.metadata["tessaro.recorder"]["frames_dropped"]) == (1, None, "5")


def test_several_cameras_share_one_writer_thread_and_count_their_drops(tmp_path, monkeypatch):
    from tessaro.recording import _multi
    monkeypatch.setattr(background, "QUEUE_BYTES", 1)
    write, hold = _multi._GroupWriter.write, threading.Event()
    monkeypatch.setattr(_multi._GroupWriter, "write",
                        lambda *args: (hold.wait(30) or pytest.fail("capture waited")) and write(*args))
    with tessaro.open_group("synthetic", sensors=2, outputs=["depth"]) as group:
        summary = group.record(tmp_path / "rig.mcap", frames=4,
                               progress=lambda taken: taken == 8 and hold.set())
    for name in ("synthetic0", "synthetic1"):
        written, dropped = summary.frames_written[name], summary.frames_dropped[name]
        assert written + dropped == 4 and written >= 1
        with Recording(summary.path, camera=name) as rec:
            assert len(rec) == written and rec.metadata["tessaro.recorder"]["frames_dropped"] == str(dropped)
    assert sum(summary.frames_dropped.values()) >= 8 - 3

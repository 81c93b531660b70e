"""Smoke test of an installed pelorin wheel, under whichever interpreter loads it (an AArch64 one
under qemu-user for the AArch64 wheels).

    replay_check.py --make DIR
        under the development build: writes DIR/walk.mcap, a short dual-depth recording of the
        synthetic sensor, and DIR/walk.npz, the depth and points of each of its frames.
    replay_check.py DIR [--command PROGRAM]
        under the wheel's plain install (no extras): DIR/walk.mcap through `tessaro.open`,
        compared with DIR/walk.npz (the development build's decoding, which the suites test);
        the recording through the command (PROGRAM, or the command's entry point called in this
        interpreter, which cannot start an AArch64 child under qemu-user); and `tessaro export`,
        which must refuse in one line naming the extra it lacks.
"""

import argparse
import contextlib
import importlib.util
import io
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np

import pelorin
import tessaro

FRAMES = 6


def make(folder: Path) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    with tessaro.open("synthetic", mode="dual", seed=3) as device:
        device.record(folder / "walk.mcap", frames=FRAMES, overwrite=True)
    with tessaro.open(folder / "walk.mcap") as device:
        frames = list(device)
    np.savez(folder / "walk.npz", depth=np.stack([f.depth for f in frames]),
             points=np.stack([f.points for f in frames]))


def command(program: str | None, *args: str) -> tuple[int, str, str]:
    """Exit status, stdout and stderr of the `tessaro` command."""
    if program:
        done = subprocess.run([program, *args], capture_output=True, text=True)
        return done.returncode, done.stdout, done.stderr
    from tessaro import cli
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(list(args))
    return status, out.getvalue(), err.getvalue()


def check(folder: Path, program: str | None) -> None:
    extras = [name for name in ("matplotlib", "plyfile") if importlib.util.find_spec(name)]
    assert not extras, f"the plain install brought {', '.join(extras)}"

    recording, expected = folder / "walk.mcap", np.load(folder / "walk.npz")
    with tessaro.open(recording) as device:
        frames = list(device)
    assert len(frames) == FRAMES, len(frames)
    # The same library on another architecture or CPython: the floating-point steps may round
    # differently in the last place, nothing more.
    np.testing.assert_allclose(np.stack([f.depth for f in frames]), expected["depth"],
                               rtol=1e-6, atol=1e-4)
    np.testing.assert_allclose(np.stack([f.points for f in frames]), expected["points"],
                               rtol=1e-6, atol=1e-4)

    status, out, err = command(program, "replay", str(recording), "--quiet")
    assert status == 0 and f"{recording}: replayed {FRAMES} frames in " in out, (status, out, err)
    status, out, err = command(program, "export", str(recording), "--out", str(folder))
    assert status == 1 and err.endswith("pip install 'pelorin[export]'\n") \
        and err.count("\n") == 1, (status, out, err)

    print(f"pelorin {pelorin.__version__} ({pelorin.__file__}) on CPython "
          f"{platform.python_version()} {platform.machine()}, numpy {np.__version__}: "
          f"a recording of {FRAMES} frames replayed, through the command too")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("folder", type=Path)
    parser.add_argument("--make", action="store_true")
    parser.add_argument("--command")
    args = parser.parse_args()
    if args.make:
        make(args.folder)
    else:
        check(args.folder, args.command)


if __name__ == "__main__":
    sys.exit(main())

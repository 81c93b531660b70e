#!/usr/bin/env python3
"""Applies each deliberate fault of scripts/mutants.toml to a scratch copy of the tree, rebuilds
incrementally, runs the fast test tiers and reports whether a test caught it.

    scripts/mutants.py [--only NAME ...] [--list] [--timeout SECONDS]

The scratch copy lives in build-mutants/ and is kept between runs, so that only what a fault
touches is rebuilt. A fault in the C++ library runs the native suites (not the VM) and then the
binding tests; one in bindings/ runs the binding tests alone, one in python/ or in the synthetic
sensor's compiled loops (bindings/synthetic/) the Python package's and then the binding tests (the module's own memory is not the package's to break, so the
valgrind test is left out). The valgrind test runs last, only once everything else passed. A
run of python/ faults alone checks the unchanged tree with those tiers only. A fault whose text no
longer occurs exactly once in its file is reported as stale: the code it points at has moved and
the list needs updating. Tests that run past the timeout count as a kill (the fault made them
hang). Exit status: 0 when every fault was killed, 1 otherwise, 2 for a broken set-up.
"""

import argparse
import filecmp
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]
# MUTANTS_SCRATCH may name another scratch folder (build* is ignored by git), for a second run.
SCRATCH = ROOT / os.environ.get("MUTANTS_SCRATCH", "build-mutants")
TREE = SCRATCH / "tree"
BUILD = SCRATCH / "build"
VENV = ROOT / ".venv" / "bin"
JOBS = str(min(os.cpu_count() or 2, 2))
# The native suites (each a program <suite>_tests whose tests are named <suite>.*); the kernel
# suite runs in a VM and is left out, as is the benchmark.
NATIVE_SUITES = ["processing", "camera", "capture", "pipeline"]
# The suite that tests a source folder most directly.
SUITE_OF_FOLDER = {"processing": "processing", "camera": "camera", "capture": "capture",
                   "pipeline": "pipeline", "messages": "camera"}
VALGRIND_TEST = "tests/bindings/test_buffers.py::test_misuse_never_touches_freed_memory"


class timed_out(Exception):
    pass


class refused(Exception):
    """The compiler refused the tree."""


def run(cmd: list[str], cwd: pathlib.Path, timeout: float, env: dict[str, str] | None = None
        ) -> subprocess.CompletedProcess[str]:
    """Runs cmd in its own process group, so that a timeout ends everything it started."""
    # A test may print a file name that is not UTF-8.
    with subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace", start_new_session=True) as process:
        try:
            out, _ = process.communicate(timeout=max(timeout, 1))
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            raise timed_out(" ".join(cmd[:3]))
        return subprocess.CompletedProcess(cmd, process.returncode, out, "")


def sync_tree() -> None:
    """Makes the scratch tree the working tree's tracked (and untracked, not ignored) files,
    touching only files whose content changed, so that the build there stays incremental."""
    names = run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], ROOT, 60).stdout
    wanted = {name for name in names.splitlines() if (ROOT / name).is_file()}
    for name in wanted:
        source, target = ROOT / name, TREE / name
        if target.exists() and filecmp.cmp(source, target, shallow=False):
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)
        os.utime(target)
    # A file deleted from the tree must not linger here, where a glob would still build it.
    for path in TREE.rglob("*"):
        if path.is_file() and "__pycache__" not in path.parts and \
                str(path.relative_to(TREE)) not in wanted:
            path.unlink()


def configure() -> None:
    if (BUILD / "build.ninja").exists():
        return
    result = run([str(VENV / "cmake"), "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja",
                  "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTESSARO_BUILD_PYTHON=ON",
                  "-DTESSARO_BUILD_BENCH=OFF", "-DTESSARO_INSTALL=OFF",
                  f"-DPython_EXECUTABLE={VENV / 'python'}",
                  f"-DCMAKE_MAKE_PROGRAM={VENV / 'ninja'}"], ROOT, 600)
    if result.returncode != 0:
        sys.exit("mutants: configure failed:\n" + result.stdout)


def build(targets: list[str], timeout: float) -> str | None:
    """Builds targets; the compiler's complaint, or None."""
    result = run([str(VENV / "cmake"), "--build", str(BUILD), "-j", JOBS, "--target", *targets],
                 ROOT, timeout)
    return None if result.returncode == 0 else result.stdout[-3000:]


def failing_ctest(suites: list[str], timeout: float) -> str | None:
    result = run([str(VENV / "ctest"), "--test-dir", str(BUILD), "-j", JOBS, "--stop-on-failure",
                  "--timeout", "120", "-R", r"^(" + "|".join(suites) + r")\."], ROOT, timeout)
    if result.returncode == 0:
        return None
    # "  12 - camera.frames/x (Failed)": a parameterised test's name may hold spaces.
    failed = re.findall(r"^\s*\d+ - (.+) \([^()]+\)\s*$",
                        result.stdout.split("The following tests FAILED:")[-1], re.MULTILINE)
    return "ctest " + (failed[0] if failed else "(no test named)")


def failing_pytest(paths: list[str], timeout: float) -> str | None:
    module = next(BUILD.glob("bindings/pelorin*.so"), None)
    env = dict(os.environ, PYTHONPATH=f"{module.parent if module else ''}:{TREE / 'python'}",
               PYTHONDONTWRITEBYTECODE="1")
    selection = ["--deselect", VALGRIND_TEST] if VALGRIND_TEST not in paths else []
    result = run([str(VENV / "python"), "-m", "pytest", "-x", "-v", "-p", "no:cacheprovider",
                  *selection, *paths], TREE, timeout, env)
    if result.returncode in (0, 5):  # 5: nothing selected
        return None
    # "FAILED tests/x.py::test_y[id] - AssertionError": a parameter id may hold spaces.
    failed = re.findall(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", result.stdout, re.MULTILINE)
    if failed:
        return "pytest " + failed[0]
    # A crash takes the interpreter with it: the last test that started is the one.
    started = re.findall(r"^(tests/\S+::\S+)", result.stdout, re.MULTILINE)
    return "pytest " + (started[-1] + " (crashed)" if started else "(crashed)")


def first_failure(file: str, timeout: float) -> str | None:
    """Builds what a change to file affects and returns the first failing test of the tiers it
    can affect, or None. The suite of the file's own folder goes first, alone, since it is the
    likeliest to fail and needs only its own program linked."""
    deadline = time.monotonic() + timeout
    left = lambda: deadline - time.monotonic()  # noqa: E731
    if not file.startswith(("bindings/", "python/")):
        folder = file.split("/")[1] if file.startswith("src/") else ""
        first = SUITE_OF_FOLDER.get(folder)
        groups = [[first], [s for s in NATIVE_SUITES if s != first]] if first else [NATIVE_SUITES]
        for suites in groups:
            if complaint := build([f"{s}_tests" for s in suites], left()):
                raise refused(complaint)
            if failure := failing_ctest(suites, left()):
                return failure
    if complaint := build(["pelorin", "_tessaro_synthetic"], left()):
        raise refused(complaint)
    package = file.startswith(("python/", "bindings/synthetic/"))
    python_tests = ["tests/python", "tests/bindings"] if package else ["tests/bindings"]
    if failure := failing_pytest(python_tests, left()):
        return failure
    if not package and (TREE / VALGRIND_TEST.split("::")[0]).exists():
        return failing_pytest([VALGRIND_TEST], left())
    return None


def try_fault(fault: dict[str, str], timeout: float) -> tuple[str, str]:
    path = TREE / fault["file"]
    original = path.read_text() if path.exists() else ""
    if original.count(fault["find"]) != 1:
        return "stale", f"text found {original.count(fault['find'])} times"
    path.write_text(original.replace(fault["find"], fault["replace"]))
    began = time.monotonic()
    try:
        failure = first_failure(fault["file"], timeout - (time.monotonic() - began))
        return ("killed", failure) if failure else ("survived", "")
    except refused:
        return "no build", "the compiler refused it"
    except timed_out as what:
        return "killed", f"timed out in {what}"
    finally:
        path.write_text(original)
        os.utime(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these faults")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    parser.add_argument("--timeout", type=float, default=900,
                        help="seconds for one fault's build and tests (default 900)")
    args = parser.parse_args()

    faults = tomllib.loads((ROOT / "scripts" / "mutants.toml").read_text())["fault"]
    if args.only:
        unknown = set(args.only) - {f["name"] for f in faults}
        if unknown:
            sys.exit(f"mutants: no fault named {', '.join(sorted(unknown))}")
        faults = [f for f in faults if f["name"] in args.only]
    if args.list:
        for f in faults:
            print(f"{f['name']:34} {f['file']}: {f['why']}")
        return 0

    sync_tree()
    configure()
    package_only = all(f["file"].startswith("python/") for f in faults)
    try:
        # The package's suite too: a test that cannot even be collected (a missing test
        # dependency) would otherwise count as a kill for every fault in python/.
        failure = first_failure("python/", 3600) if package_only else \
            first_failure("src/", 3600) or failing_pytest(["tests/python"], 3600)
    except refused as complaint:
        failure = str(complaint)
    if failure is not None:
        print(f"mutants: the unchanged tree does not pass: {failure}", file=sys.stderr)
        return 2

    tally: dict[str, list[str]] = {"killed": [], "survived": [], "stale": [], "no build": []}
    for fault in faults:
        began = time.monotonic()
        outcome, by = try_fault(fault, args.timeout)
        tally[outcome].append(fault["name"])
        print(f"{outcome:9} {fault['name']:34} {by} ({time.monotonic() - began:.0f} s)", flush=True)
    build(([] if package_only else [f"{s}_tests" for s in NATIVE_SUITES]) + ["pelorin"], 3600)

    print(f"mutants: {len(tally['killed'])} of {len(faults)} killed, "
          f"{len(tally['survived'])} survived, {len(tally['stale'])} stale, "
          f"{len(tally['no build'])} did not build")
    for outcome in ("survived", "stale", "no build"):
        if tally[outcome]:
            print(f"  {outcome}: {' '.join(tally[outcome])}")
    return 0 if len(tally["killed"]) == len(faults) else 1


if __name__ == "__main__":
    sys.exit(main())

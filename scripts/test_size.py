#!/usr/bin/env python3
"""Prints the size of the tests against the size of the code they test.

The rule:
- a counted line is a line that is neither blank nor only a comment (`//`, `#`, or a line inside
  a `/* */` block or a Python docstring that stands alone);
- a source file: one with a source ending, or a script without an ending (its first line `#!`);
- test lines: every source file under tests/ (suites, test support such as the simulated kernel
  and the raw-frame encoder), vm/ (the VM's scripts) and fuzz/ (the fuzz targets);
- code lines: every source file under src/, include/, bindings/, python/, tools/, scripts/ and
  bench/;
- left out: generated files (type stubs, anything under build*/ or .venv/), data (fuzz corpora,
  recordings, pictures), documentation and build metadata (Markdown, TOML, CMake files).
Only files git tracks or would track (not ignored) count.
"""

import pathlib
import subprocess
import sys

SOURCE_ENDINGS = {".cpp", ".hpp", ".h", ".c", ".py", ".sh"}
TEST_ROOTS = ("tests/", "vm/", "fuzz/")
CODE_ROOTS = ("src/", "include/", "bindings/", "python/", "tools/", "scripts/", "bench/")


def counted_lines(path: pathlib.Path) -> int:
    python = path.suffix in {".py", ".sh"} or not path.suffix
    count, in_block, in_docstring = 0, False, False
    for raw in path.read_text(errors="replace").splitlines():
        line = raw.strip()
        if not line:
            continue
        if python:
            if in_docstring:
                in_docstring = not (line.endswith('"""') or line.endswith("'''"))
                continue
            if line.startswith(('"""', "'''")):
                quote = line[:3]
                in_docstring = not (len(line) >= 6 and line.endswith(quote))
                continue
            if line.startswith("#"):
                continue
        else:
            if in_block:
                in_block = "*/" not in line
                continue
            if line.startswith("/*"):
                in_block = "*/" not in line
                continue
            if line.startswith("//"):
                continue
        count += 1
    return count


def is_source(path: pathlib.Path) -> bool:
    """A source file by its ending, or a script without one (the VM's init) by its first line."""
    if path.suffix in SOURCE_ENDINGS:
        return True
    if path.suffix:
        return False
    with path.open("rb") as f:
        return f.read(2) == b"#!"


def tracked_files(root: pathlib.Path) -> list[str]:
    out = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                         cwd=root, check=True, capture_output=True, text=True).stdout
    return [name for name in out.splitlines() if (root / name).is_file()]


def main() -> int:
    root = pathlib.Path(__file__).resolve().parents[1]
    tests = code = 0
    for name in tracked_files(root):
        path = root / name
        if not is_source(path) or name.endswith(".pyi"):
            continue
        if name.startswith(TEST_ROOTS):
            tests += counted_lines(path)
        elif name.startswith(CODE_ROOTS):
            code += counted_lines(path)
    ratio = tests / code if code else 0.0
    print(f"test size: {tests} test lines / {code} code lines = {ratio:.2f} "
          f"(aim: at most 0.33; the rule is in scripts/test_size.py)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

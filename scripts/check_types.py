#!/usr/bin/env python3
"""Type-checks the tessaro package, the command-line tools and the README's Python examples with
mypy --strict, against the installed pelorin stubs, so that what a user copies from the README
type-checks. The package is this tree's (python/), whatever version the interpreter has installed.

Usage: scripts/check_types.py [PYTHON]  (PYTHON: the interpreter whose mypy and packages to use)
"""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FENCED_PYTHON = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def readme_examples(folder: Path) -> list[Path]:
    """Writes each Python example of the README into `folder`, one file each. A reader carries the
    imports of the earlier examples into the later ones, so each file starts with those."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    paths, imports = [], []
    for number, match in enumerate(FENCED_PYTHON.finditer(text), start=1):
        code = match.group(1)
        path = folder / f"readme_example_{number}.py"
        path.write_text("".join(imports) + code, encoding="utf-8")
        paths.append(path)
        imports += [line + "\n" for line in code.splitlines()
                    if line.startswith(("import ", "from "))]
    return paths


def main() -> int:
    python = sys.argv[1] if len(sys.argv) > 1 else sys.executable
    with tempfile.TemporaryDirectory(prefix="readme-examples-") as folder:
        targets = [str(ROOT / "python" / "tessaro"), str(ROOT / "tools"),
                   *map(str, readme_examples(Path(folder)))]
        command = [python, "-m", "mypy", "--strict", "--no-error-summary",
                   "--cache-dir", str(ROOT / "build" / "mypy-cache"), *targets]
        result = subprocess.run(command, cwd=ROOT, check=False,
                                env=dict(os.environ, MYPYPATH=str(ROOT / "python")))
    if result.returncode == 0:
        print(f"mypy --strict: the tessaro package, tools/ and {len(targets) - 2} README "
              "example(s) pass")
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())

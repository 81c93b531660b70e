#!/usr/bin/env bash
# Builds the pelorin module for another CPython and runs the Python suites under it, in that
# interpreter's own virtual environment (.venv-X.Y, kept between runs so that rebuilds are
# incremental). The project's .venv (3.13) stays the main one. Usage:
#   scripts/test_python_version.sh 3.11 [3.10 ...]
set -euo pipefail
cd "$(dirname "$0")/.."

for version in "$@"; do
    python=$(scripts/find_python.sh "$version")
    venv=.venv-$version
    if [ ! -x "$venv/bin/python" ]; then
        echo "test-python: creating $venv with $python"
        "$python" -m venv "$venv"
    fi
    if ! cmp -s requirements-dev.txt "$venv/.requirements-installed" 2>/dev/null; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r requirements-dev.txt
        cp requirements-dev.txt "$venv/.requirements-installed"
    fi
    "$venv/bin/python" -m pip install -q --no-build-isolation .
    echo "test-python: CPython $("$venv/bin/python" -c 'import platform; print(platform.python_version())')"
    "$venv/bin/python" -m pytest -q tests/bindings tests/python
done

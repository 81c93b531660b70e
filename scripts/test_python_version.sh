#!/usr/bin/env bash
# Builds the pelorin module for other CPythons and runs the Python suites under each, in that
# interpreter's own virtual environment (.venv-X.Y, kept between runs so that rebuilds are
# incremental). The project's .venv (3.13) stays the main one. Usage:
#   scripts/test_python_version.sh 3.11 [3.10 ...]
set -euo pipefail
cd "$(dirname "$0")/.."

for version in "$@"; do
    venv=$(scripts/python_venv.sh "$version")
    "$venv/bin/python" -m pip install -q --no-build-isolation .
    version_line=$("$venv/bin/python" -c 'import platform; print(platform.python_version())')
    echo "test-python: CPython $version_line"
    "$venv/bin/python" -m pytest -q tests/bindings tests/python
done

#!/usr/bin/env bash
# Creates or brings up to date the virtual environment .venv-X.Y for another CPython, with the
# development requirements, and prints its folder. Usage: scripts/python_venv.sh X.Y
set -euo pipefail
cd "$(dirname "$0")/.."

version=$1
venv=.venv-$version
if [ ! -x "$venv/bin/python" ]; then
    python=$(scripts/find_python.sh "$version")
    echo "python: creating $venv with $python" >&2
    "$python" -m venv "$venv"
fi
if ! cmp -s requirements-dev.txt "$venv/.requirements-installed" 2>/dev/null; then
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    "$venv/bin/python" -m pip install -q -r requirements-dev.txt >&2
    cp requirements-dev.txt "$venv/.requirements-installed"
fi
echo "$venv"

#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given version (default 3.13): the system one, a
# pyenv build, or one on PATH. Usage: scripts/find_python.sh [MAJOR.MINOR]
set -u
version=${1:-3.13}
want="(${version/./, })"
for candidate in /usr/bin/python"$version" \
                 "$(pyenv root 2>/dev/null)"/versions/"$version".*/bin/python"$version" \
                 "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" \
                 "$(command -v python"$version" 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] \
        && "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != $want)" 2>/dev/null; then
        echo "$candidate"
        exit 0
    fi
done
echo "no CPython $version found (looked in /usr/bin, pyenv and PATH)" >&2
exit 1

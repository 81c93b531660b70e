#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: the system one, a pyenv build, or one on PATH.
set -u
for candidate in /usr/bin/python3.13 \
                 "$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13 \
                 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 \
                 "$(command -v python3.13 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] \
        && "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        echo "$candidate"
        exit 0
    fi
done
echo "no CPython 3.13 found (looked in /usr/bin, pyenv and PATH)" >&2
exit 1

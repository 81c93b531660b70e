"""The `tessaro` command."""

import sys


def main(argv: list[str] | None = None) -> int:
    print("tessaro: no sub-commands yet", file=sys.stderr)
    return 2

"""Makes the CPython headers that an AArch64 build of the module compiles against, in one folder
with the AArch64 pyconfig.h in place:

    aarch64_python_headers.py OUT debian ROOT X.Y
        from Debian's arm64 packages unpacked into ROOT (scripts/debian_arm64_root.sh);
    aarch64_python_headers.py OUT derived INCLUDE AMD64_PYCONFIG ARM64_PYCONFIG
        from another build's x86-64 headers in INCLUDE (pyenv's, for a version no Debian release
        offers for arm64), its pyconfig.h given the AArch64 settings wherever Debian's x86-64
        and arm64 pyconfig.h of one version differ (the assembler and wchar_t settings: the rest
        of the file, and every other header, is the same on both 64-bit Linux targets).
"""

import filecmp
import re
import shutil
import sys
import tempfile
from pathlib import Path

# "#define NAME VALUE" or "/* #undef NAME */": a setting of pyconfig.h.
SETTING = re.compile(r"^(?:#define (\w+)(?: .*)?|/\* #undef (\w+) \*/)$")


def settings(text: str) -> dict[str, str]:
    """Each setting's line, by name."""
    found = {}
    for line in text.splitlines():
        if match := SETTING.match(line):
            found[match.group(1) or match.group(2)] = line
    return found


def derive(pyconfig: str, amd64: str, arm64: str) -> str:
    """`pyconfig` with the settings that differ between `amd64` and `arm64` taken from the
    latter."""
    host, target = settings(amd64), settings(arm64)
    changed = {name: line for name, line in target.items() if host.get(name) != line}
    changed.update((name, f"/* #undef {name} */") for name in host if name not in target)
    lines = []
    for line in pyconfig.splitlines():
        match = SETTING.match(line)
        name = match and (match.group(1) or match.group(2))
        lines.append(changed.pop(name) if name in changed else line)
    return "\n".join(lines + list(changed.values())) + "\n"


def update(made: Path, out: Path) -> None:
    """Makes `out` hold what `made` holds, rewriting only the files that differ: a build tree
    rebuilds whatever includes a header newer than its objects."""
    for source in made.rglob("*"):
        target = out / source.relative_to(made)
        if source.is_file() and not (target.is_file() and filecmp.cmp(source, target, False)):
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target)
    for target in out.rglob("*"):
        if target.is_file() and not (made / target.relative_to(out)).exists():
            target.unlink()


def make(out: Path, kind: str, *args: str) -> None:
    if kind == "debian":
        root, version = Path(args[0]), args[1]
        shutil.copytree(root / f"usr/include/python{version}", out)
        # Debian's pyconfig.h picks the architecture's own by the compiler's defines, from a
        # folder outside this one: the AArch64 one replaces it.
        shutil.copy(root / f"usr/include/aarch64-linux-gnu/python{version}/pyconfig.h",
                    out / "pyconfig.h")
    elif kind == "derived":
        include, amd64, arm64 = (Path(arg) for arg in args)
        shutil.copytree(include, out)
        (out / "pyconfig.h").write_text(derive((include / "pyconfig.h").read_text(),
                                               amd64.read_text(), arm64.read_text()))
    else:
        sys.exit(f"unknown kind {kind}: debian or derived")


def main(out: Path, *args: str) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        make(Path(scratch) / "include", *args)
        update(Path(scratch) / "include", out)


if __name__ == "__main__":
    main(Path(sys.argv[1]), *sys.argv[2:])

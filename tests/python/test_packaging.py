"""The package's declared dependencies: a plain install stays light, each extra brings what the code
that names it imports, and the development set installs every extra."""

import pathlib
import re
import tomllib

from tessaro._extras import EXTRAS

ROOT = pathlib.Path(__file__).parents[2]


def names(requirements):
    return {re.match(r"[A-Za-z0-9_.-]+", line)[0].lower() for line in requirements}


def test_extras_match_the_declared_dependencies():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    declared = project["optional-dependencies"]
    provides = {"dask": {"distributed", "dask"}}  # dask[distributed] is imported as distributed
    for extra, modules in EXTRAS.items():
        packages = set().union(*(provides.get(name, {name}) for name in names(declared[extra])))
        assert set(modules) <= packages, extra
    assert not names(project["dependencies"]) & set().union(*map(names, declared.values()))
    development = [line.split(";")[0].strip() for line in (ROOT / "requirements-dev.txt").read_text().splitlines()
                   if line.strip() and not line.startswith("#")]
    for requirements in declared.values():
        assert set(requirements) <= set(development)

"""The package's optional parts and the pip extras that bring them. A function or verb that needs
one asks `require` first, so that a light install fails in one line that names the extra, not
deep inside with a bare ModuleNotFoundError."""

from __future__ import annotations

import importlib

from tessaro.errors import MissingExtraError

# What each extra installs that the code imports: pyproject.toml's optional dependencies.
EXTRAS: dict[str, tuple[str, ...]] = {
    "export": ("matplotlib", "plyfile"),
    "batch": ("distributed", "pyarrow", "zarr"),
}


def require(extra: str, what: str, *modules: str) -> None:
    """Raise MissingExtraError unless `modules` (default: all of the extra's) import; `what`
    names the work that needs them, e.g. "writing depth pictures"."""
    for name in modules or EXTRAS[extra]:
        try:
            importlib.import_module(name)
        except ImportError as error:
            raise MissingExtraError(extra, what, error.name or name) from None

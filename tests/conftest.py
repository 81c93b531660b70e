# The suites' helpers live in tests/support/python (on the path through pyproject.toml); the
# tests import them from there.
pytest_plugins = ["tessaro_testing"]

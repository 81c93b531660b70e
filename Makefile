# make demo: record from the synthetic sensor (or a real camera), replay, print statistics, write pictures.
# make test: install what is missing, build everything and run every test suite.

BUILD   ?= build
VENV    := .venv
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
JOBS    ?= $(shell nproc)

.PHONY: all setup configure build demo bench test check test-native test-vm python-install test-python

all: build

setup:
	@scripts/setup.sh

configure: setup
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_WERROR=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null

build: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

bench: build python-install
	@$(BUILD)/bench/tessaro_bench
	@$(VENV)/bin/python bench/python_replay.py --cpp-bench $(BUILD)/bench/tessaro_bench
	@$(VENV)/bin/python bench/synthetic_render.py
	@$(VENV)/bin/python bench/recorder.py

# The pelorin module, built by pip into the venv (incrementally, in build-python/).
python-install: setup
	@$(VENV)/bin/pip install -q --no-build-isolation .

demo: python-install
	@$(VENV)/bin/python tools/demo.py

test-native: build
	@$(CTEST) --test-dir $(BUILD) -j $(JOBS) --output-on-failure -LE vm

# The device code against the real kernel (vivid) in a qemu VM; x86-64 Linux hosts only.
test-vm: build
	@if [ "$$(uname -s) $$(uname -m)" = "Linux x86_64" ]; then \
		$(CTEST) --test-dir $(BUILD) -L vm --no-tests=error --output-on-failure; \
	else \
		echo "test-vm: skipped: the vivid VM runs on x86-64 Linux only"; \
	fi

# Each suite adds itself here, so that one failing suite fails `make test`.
TEST_STEPS := test-native
TEST_STEPS += test-aarch64
TEST_STEPS += test-vm
TEST_STEPS += test-python
TEST_STEPS += test-python-second
TEST_STEPS += test-types
TEST_STEPS += test-wheels
TEST_STEPS += test-install
TEST_STEPS += test-sanitize
TEST_STEPS += test-fuzz

# The library, every C++ suite and the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/, every finding fatal; the Python suites run against
# that module too.
.PHONY: test-sanitize
test-sanitize: setup
	@JOBS=$(JOBS) scripts/test_sanitize.sh

# The libFuzzer targets (build-fuzz/, clang; the recording reader's through atheris, against the
# installed module) over their corpora in fuzz/corpus/, with a fixed seed: about 35 s in all in
# make test, FUZZ_SECONDS per target with make fuzz.
FUZZ_SECONDS ?= 600
.PHONY: test-fuzz fuzz
test-fuzz: python-install
	@JOBS=$(JOBS) scripts/fuzz.sh 7

fuzz: python-install
	@JOBS=$(JOBS) scripts/fuzz.sh $(FUZZ_SECONDS)

# 100,000 dual-depth frames through an offline camera, with resident memory checked.
.PHONY: soak
soak: python-install
	@$(VENV)/bin/python -m pytest -q -s -p no:cacheprovider tests/soak

# The library installed into a scratch prefix, used by a consumer through find_package and
# through pkg-config.
.PHONY: test-install
test-install: build
	@scripts/test_install.sh $(BUILD)

test-python: python-install
	@$(VENV)/bin/python -m pytest -q tests/bindings tests/python

# The Python suites again under a second CPython, the boards' Debian 12 one, in .venv-3.11;
# test-python-versions runs them under every CPython from 3.10 on that this machine has.
PYTHON_SECOND ?= 3.11
PYTHON_VERSIONS := 3.10 3.11 3.12 3.14
.PHONY: test-python-second test-python-versions test-types wheels test-wheels
test-python-second: setup
	@scripts/test_python_version.sh $(PYTHON_SECOND)

test-python-versions: setup
	@scripts/test_python_version.sh $$(for v in $(PYTHON_VERSIONS); do \
		scripts/find_python.sh $$v >/dev/null 2>&1 && echo $$v; done)

# mypy --strict over the tessaro package, tools/ and the README's Python examples, against the
# generated stubs.
test-types: python-install
	@$(VENV)/bin/python scripts/check_types.py $(VENV)/bin/python

# Installable packages in dist/: the sdist and manylinux wheels for CPython 3.10 to 3.13 on x86-64
# and AArch64 (cross-built from the sdist); test-wheels installs each for its own CPython and
# replays a recording with it, the AArch64 ones under qemu-user where Debian has that CPython.
wheels: python-install
	@JOBS=$(JOBS) scripts/build_wheels.sh

test-wheels: wheels
	@scripts/test_wheels.sh

test: $(TEST_STEPS)
	@python3 scripts/test_size.py

# The quick round while working: the native C++ suites and the Python suites, a few minutes.
check: test-native test-python

# Test lines against code lines, with the counting rule written in the script.
.PHONY: test-size
test-size:
	@python3 scripts/test_size.py

# Deliberate faults of scripts/mutants.toml, each built in build-mutants/ and put to the fast
# tiers; not part of `make test`, since it builds once per fault.
.PHONY: mutants
mutants: python-install
	@$(VENV)/bin/python scripts/mutants.py

# AArch64: the C++ tests cross-built and run under qemu-user; the benchmark likewise, on demand.
.PHONY: test-aarch64 bench-aarch64
test-aarch64: setup
	@JOBS=$(JOBS) scripts/test_aarch64.sh

bench-aarch64: setup
	@JOBS=$(JOBS) scripts/bench_aarch64.sh

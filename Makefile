# make demo: record from the synthetic sensor (or a real camera), replay, print statistics, write pictures.
# make test: install what is missing, build everything and run every test suite.

BUILD   ?= build
VENV    := .venv
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
JOBS    ?= $(shell nproc)

.PHONY: all setup configure build demo bench test test-native test-vm python-install test-python

all: build

setup:
	@scripts/setup.sh

configure: setup
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_WERROR=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null

build: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

bench: build
	@$(BUILD)/bench/tessaro_bench

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
TEST_STEPS += test-install

# The library installed into a scratch prefix, used by a consumer through find_package and
# through pkg-config.
.PHONY: test-install
test-install: build
	@scripts/test_install.sh $(BUILD)

test-python: python-install
	@$(VENV)/bin/python -m pytest -q tests/bindings tests/python

test: $(TEST_STEPS)
	@python3 scripts/test_size.py

# Test lines against code lines, with the counting rule written in the script.
.PHONY: test-size
test-size:
	@python3 scripts/test_size.py

# Deliberate faults of scripts/mutants.toml, each built in build-mutants/ and put to the fast
# tiers; not part of `make test`, since it builds once per fault.
.PHONY: mutants
mutants: setup
	@$(VENV)/bin/python scripts/mutants.py

# AArch64: the C++ tests cross-built and run under qemu-user; the benchmark likewise, on demand.
.PHONY: test-aarch64 bench-aarch64
test-aarch64: setup
	@JOBS=$(JOBS) scripts/test_aarch64.sh

bench-aarch64: setup
	@JOBS=$(JOBS) scripts/bench_aarch64.sh

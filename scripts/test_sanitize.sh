#!/usr/bin/env bash
# The sanitizer tier: the library, every C++ test suite and the pelorin module built with
# AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/, each finding fatal. Runs the
# C++ suites (the VM's kernel suite aside: it links statically, which the sanitizers cannot),
# then the Python suites against that build of the module, with the runtime preloaded into the
# interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-asan
jobs=${JOBS:-2}
if [ ! -f $build/build.ninja ]; then
    .venv/bin/cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_WERROR=ON \
        -DTESSARO_SANITIZE=ON -DTESSARO_BUILD_PYTHON=ON -DTESSARO_BUILD_BENCH=OFF -DTESSARO_INSTALL=OFF \
        -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
fi
.venv/bin/cmake --build $build -j "$jobs"

export ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1
.venv/bin/ctest --test-dir $build -j "$jobs" --output-on-failure -LE vm

# CPython keeps much of what it allocated until exit, so leaks are not looked for here; the C++
# suites above look for them. The one test that runs the suite under valgrind cannot run beside
# AddressSanitizer, and make test-python runs it. The C++ runtime is preloaded with the sanitizer,
# whose interception of C++ throws needs it present from the start.
module_dir=$(dirname "$(find $build/bindings -maxdepth 1 -name 'pelorin*.so' | head -n 1)")
ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONPATH="$module_dir:python" .venv/bin/python -m pytest -q -p no:cacheprovider tests/bindings tests/python \
    --deselect tests/bindings/test_buffers.py::test_misuse_never_touches_freed_memory

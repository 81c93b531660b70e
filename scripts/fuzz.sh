#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) into build-fuzz/ and runs each one over its checked-in
# corpus with a fixed seed for SECONDS_PER_TARGET seconds (default 7: about 35 s for all five).
# A target written in Python (fuzz/fuzz_NAME.py, atheris) runs the package from python/ under
# .venv's interpreter, with libFuzzer's limits on time per input and on memory.
# New inputs go to build-fuzz/corpus/, so the checked-in corpora stay as they are; a finding is
# saved to build-fuzz/artifacts/ and fails the run. Prints each target's throughput.
#   scripts/fuzz.sh [SECONDS_PER_TARGET [TARGET...]]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-7}
shift || true
build=build-fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(raw_frame dual_depth_merge embedded_data offline_stream recording_reader)
native=()
for target in "${targets[@]}"; do
    [ -f fuzz/fuzz_$target.py ] || native+=("$target")
done
if [ ${#native[@]} -gt 0 ]; then
    if [ ! -f $build/build.ninja ]; then
        CC=clang CXX=clang++ .venv/bin/cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DTESSARO_FUZZ=ON -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_BENCH=OFF -DTESSARO_INSTALL=OFF \
            -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
    fi
    .venv/bin/cmake --build $build -j "${JOBS:-2}" --target "${native[@]/#/fuzz_}"
fi

mkdir -p $build/artifacts
for target in "${targets[@]}"; do
    mkdir -p $build/corpus/$target
    log=$build/fuzz_$target.log
    run=($build/fuzz/fuzz_$target)
    [ ! -f fuzz/fuzz_$target.py ] || run=(env PYTHONPATH=python .venv/bin/python fuzz/fuzz_$target.py
                                          -timeout=10 -rss_limit_mb=1024)
    # Messages of the library go to the standard output, which libFuzzer closes.
    if ! "${run[@]}" -seed=1 -max_total_time="$seconds" -close_fd_mask=1 -print_final_stats=1 \
            -artifact_prefix=$build/artifacts/$target- $build/corpus/$target fuzz/corpus/$target >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz: $target failed; the input is in $build/artifacts/"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: $runs runs in ${seconds} s, $(grep -o 'exec/s: [0-9]*' "$log" | tail -1)"
done

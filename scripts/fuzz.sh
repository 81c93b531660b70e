#!/usr/bin/env bash
# Builds the libFuzzer targets (clang) into build-fuzz/ and runs each one over its checked-in
# corpus with a fixed seed for SECONDS_PER_TARGET seconds (default 7: about 30 s for all four).
# New inputs go to build-fuzz/corpus/, so the checked-in corpora stay as they are; a finding is
# saved to build-fuzz/artifacts/ and fails the run. Prints each target's throughput.
#   scripts/fuzz.sh [SECONDS_PER_TARGET [TARGET...]]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-7}
shift || true
build=build-fuzz
if [ ! -f $build/build.ninja ]; then
    CC=clang CXX=clang++ .venv/bin/cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTESSARO_FUZZ=ON -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_BENCH=OFF -DTESSARO_INSTALL=OFF \
        -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(raw_frame dual_depth_merge embedded_data offline_stream)
.venv/bin/cmake --build $build -j "${JOBS:-2}" --target "${targets[@]/#/fuzz_}"

mkdir -p $build/artifacts
for target in "${targets[@]}"; do
    mkdir -p $build/corpus/$target
    log=$build/fuzz_$target.log
    # Messages of the library go to the standard output, which libFuzzer closes.
    if ! $build/fuzz/fuzz_$target -seed=1 -max_total_time="$seconds" -close_fd_mask=1 -print_final_stats=1 \
            -artifact_prefix=$build/artifacts/$target- $build/corpus/$target fuzz/corpus/$target >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz: $target failed; the input is in $build/artifacts/"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target: $runs runs in ${seconds} s, $(grep -o 'exec/s: [0-9]*' "$log" | tail -1)"
done

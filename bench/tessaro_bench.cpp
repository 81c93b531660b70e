// Decoding cost per frame against the cheapest conceivable alternative: copying the frame's
// input bytes and its output bytes with memcpy. Single depth decodes a frame; dual depth
// prepares, decodes and merges one. Three echoes, every output on.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/line_swap_table.hpp>

#include "processing/dual_depth_selection.hpp"
#include "processing/raw_data_processor.hpp"
#include "processing/raw_frame_decoder.hpp"
#include "support/raw_frame_encoder.hpp"

namespace {

using namespace vorlake::tessaro;

constexpr std::uint8_t echoes = 3;

struct frame_rig {
    bool dual;
    frame_buffer frame;
    line_swap_table table;
    std::vector<std::uint8_t> swap_buffer;
    std::unique_ptr<raw_data_processor> plan;
    std::unique_ptr<dual_depth_selection> selection;

    explicit frame_rig(bool dual)
        : dual(dual),
          frame(all_outputs(dual), echoes, dual ? 1152 : 576),
          table(make_line_swap_table(dual)) {
        build_processor(plan, {672, static_cast<std::uint8_t>(dual ? 24 : 12), 48, 1, echoes},
                        all_outputs(dual), frame);
        if (dual)
            selection = std::make_unique<dual_depth_selection>(576, dual_depth_params{});
        frame.raw_image = test_support::encode_raw_frame(
            test_support::random_frame_values(dual ? 2 : 1, dual, echoes), dual, false);
    }

    static camera_output_configuration all_outputs(bool) {
        return {true, true, true, true, true, true, true, true};
    }

    int run(bool merge = true) {
        if (selection)
            selection->prepare_frame(frame);
        int r = process_raw_data({frame, dual, table, swap_buffer, *plan});
        if (r == 0 && selection && merge)
            r = selection->merge(frame);
        return r;
    }

    // Bytes of every decoded output of the frame, before any merge.
    std::size_t output_bytes() const {
        std::size_t pixels = dual ? 1152 : 576;
        std::size_t per_pixel = sizeof(float) + sizeof(histogram_bins_t) + sizeof(pdc_counts_t) +
                                echoes * (sizeof(point3f) + 3 * sizeof(float) + sizeof(peak_status));
        return pixels * per_pixel;
    }
};

void decode_frame(benchmark::State& state, bool dual) {
    frame_rig rig(dual);
    for (auto _ : state) {
        if (rig.run() != 0) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::ClobberMemory();
    }
}

// Dual depth without the merge, to tell decoding and merging apart.
void decode_only(benchmark::State& state, bool dual) {
    frame_rig rig(dual);
    for (auto _ : state) {
        if (rig.run(false) != 0) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::ClobberMemory();
    }
}

void copy_frame(benchmark::State& state, bool dual) {
    frame_rig rig(dual);
    const std::vector<std::uint8_t> input = rig.frame.raw_image;
    const std::vector<std::uint8_t> output_source(rig.output_bytes(), 0x5A);
    std::vector<std::uint8_t> input_copy(input.size());
    std::vector<std::uint8_t> output_copy(output_source.size());
    for (auto _ : state) {
        std::memcpy(input_copy.data(), input.data(), input.size());
        std::memcpy(output_copy.data(), output_source.data(), output_source.size());
        benchmark::DoNotOptimize(input_copy.data());
        benchmark::DoNotOptimize(output_copy.data());
        benchmark::ClobberMemory();
    }
}

// Keeps the time per iteration of every run, so the ratios can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nanoseconds;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.iterations > 0)
                nanoseconds[run.run_name.function_name] =
                    run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
};

}  // namespace

BENCHMARK_CAPTURE(decode_frame, single_depth, false)->MinTime(0.5)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(copy_frame, single_depth, false)->MinTime(0.5)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decode_frame, dual_depth, true)->MinTime(0.5)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decode_only, dual_depth, true)->MinTime(0.5)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(copy_frame, dual_depth, true)->MinTime(0.5)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const char* mode : {"single_depth", "dual_depth"}) {
        const auto decode = reporter.nanoseconds.find(std::string("decode_frame/") + mode);
        const auto copy = reporter.nanoseconds.find(std::string("copy_frame/") + mode);
        if (decode == reporter.nanoseconds.end() || copy == reporter.nanoseconds.end())
            continue;
        std::printf("%-12s decode %8.1f us/frame, memcpy %8.1f us/frame, ratio %.2fx\n", mode,
                    decode->second / 1e3, copy->second / 1e3, decode->second / copy->second);
        const auto alone = reporter.nanoseconds.find(std::string("decode_only/") + mode);
        if (alone != reporter.nanoseconds.end())
            std::printf("%-12s without the merge %8.1f us/frame, ratio %.2fx\n", mode, alone->second / 1e3,
                        alone->second / copy->second);
    }
    std::fflush(stdout);
    return 0;
}

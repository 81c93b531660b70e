// Decoding cost per frame against the cheapest conceivable alternative: copying the frame's
// input bytes and its output bytes with memcpy (three echoes, every output), measured in the
// same run. Single depth decodes a frame; dual depth prepares, decodes and merges one. Besides
// the whole frame it times the stages one by one (the histogram copy, the small channels, the
// merge as the difference of dual depth with and without it) and the frame with fewer echoes
// or fewer outputs, so that the cost can be seen to follow what is enabled. Every case runs
// three times; the ratios are printed as minimum and median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/frame_path.hpp"
#include "support/raw_frame_encoder.hpp"

namespace {

using namespace vorlake::tessaro;

enum class output_set { all, radial, histogram, small_channels };

camera_output_configuration outputs_of(output_set set) {
    switch (set) {
        case output_set::radial: return {false, false, true, false, false, false, false, false};
        case output_set::histogram: return {false, false, false, false, false, false, true, false};
        case output_set::small_channels: return {true, true, true, true, true, true, false, true};
        default: return {true, true, true, true, true, true, true, true};
    }
}

// The frame path the tests use, on one encoded frame that stays in place: decoding a packed frame
// leaves its bytes as they are, so every round decodes the same frame without a copy.
struct frame_rig : test_support::frame_path {
    frame_rig(bool dual, std::uint8_t echoes, output_set set)
        : frame_path(camera_configuration(dual, set), dual, echoes, &default_params) {
        frame.raw_image = test_support::encode_raw_frame(test_support::random_frame_values(dual ? 2 : 1, dual, echoes),
                                                         dual, false);
    }

    static constexpr dual_depth_params default_params{};

    // The frame as the camera takes it, here with or without the merge.
    int process(bool merge) {
        if (merger)
            merger->prepare_frame(frame);
        const int code = decode();
        return code == 0 && merger && merge ? merger->merge(frame) : code;
    }

    // As the camera does it: dual depth merges by radial depth, so it is always decoded there.
    static camera_output_configuration camera_configuration(bool dual, output_set set) {
        camera_output_configuration c = outputs_of(set);
        if (dual)
            c.enable_radial_depth = true;
        return c;
    }

    // Bytes of every decoded output of a frame with three echoes, before any merge.
    std::size_t all_output_bytes() const {
        const std::size_t pixels = dual ? 1152 : 576;
        return pixels * (sizeof(float) + sizeof(histogram_bins_t) + sizeof(pdc_counts_t) +
                         3 * (sizeof(point3f) + 3 * sizeof(float) + sizeof(peak_status)));
    }
};

void decode_frame(benchmark::State& state, bool dual, std::uint8_t echoes, output_set set, bool merge) {
    frame_rig rig(dual, echoes, set);
    for (auto _ : state) {
        if (rig.process(merge) != 0) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::ClobberMemory();
    }
}

void copy_frame(benchmark::State& state, bool dual) {
    const frame_rig rig(dual, 3, output_set::all);
    const std::vector<std::uint8_t> input = rig.frame.raw_image;
    const std::vector<std::uint8_t> output_source(rig.all_output_bytes(), 0x5A);
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

// Keeps the time per iteration of every repetition, so that the ratios can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> nanoseconds;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration)
                nanoseconds[run.run_name.function_name].push_back(
                    run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit));
    }

    // Minimum and median over the repetitions.
    std::pair<double, double> spread(const std::string& name) const {
        auto times = nanoseconds.at(name);
        std::sort(times.begin(), times.end());
        return {times.front(), times[times.size() / 2]};
    }
};

struct bench_case {
    std::string name;
    bool dual;
    std::uint8_t echoes;
    output_set set;
    bool merge;
};

const bench_case cases[] = {
    {"single/3 echoes/all outputs", false, 3, output_set::all, false},
    {"single/3 echoes/histogram only", false, 3, output_set::histogram, false},
    {"single/3 echoes/small channels only", false, 3, output_set::small_channels, false},
    {"single/1 echo/all outputs", false, 1, output_set::all, false},
    {"dual/3 echoes/all outputs", true, 3, output_set::all, true},
    {"dual/3 echoes/all outputs, no merge", true, 3, output_set::all, false},
    {"dual/3 echoes/radial only", true, 3, output_set::radial, true},
    {"dual/3 echoes/radial only, no merge", true, 3, output_set::radial, false},
    {"dual/2 echoes/all outputs", true, 2, output_set::all, true},
    {"dual/1 echo/all outputs", true, 1, output_set::all, true},
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    auto settle = [](benchmark::internal::Benchmark* b) {
        b->MinTime(0.3)->Repetitions(3)->ReportAggregatesOnly(false)->Unit(benchmark::kMicrosecond);
    };
    for (const bool dual : {false, true})
        settle(benchmark::RegisterBenchmark(dual ? "memcpy/dual" : "memcpy/single",
                                            [dual](benchmark::State& state) { copy_frame(state, dual); }));
    for (const bench_case& c : cases)
        settle(benchmark::RegisterBenchmark(c.name.c_str(), [c](benchmark::State& state) {
            decode_frame(state, c.dual, c.echoes, c.set, c.merge);
        }));
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nratio to memcpy of the input and every output's bytes (3 echoes), min / median of the runs\n");
    for (const bench_case& c : cases) {
        const std::string copy = c.dual ? "memcpy/dual" : "memcpy/single";
        if (!reporter.nanoseconds.contains(c.name) || !reporter.nanoseconds.contains(copy))
            continue;
        const auto [least, middle] = reporter.spread(c.name);
        const auto [copy_least, copy_middle] = reporter.spread(copy);
        std::printf("  %-40s %8.1f us  %5.2fx / %5.2fx\n", c.name.c_str(), middle / 1e3, least / copy_least,
                    middle / copy_middle);
    }
    const std::string with = "dual/3 echoes/all outputs", without = with + ", no merge";
    if (reporter.nanoseconds.contains(with) && reporter.nanoseconds.contains(without) &&
        reporter.nanoseconds.contains("memcpy/dual")) {
        const double merge = reporter.spread(with).second - reporter.spread(without).second;
        std::printf("  %-40s %8.1f us  %5.2fx (median difference)\n", "dual merge alone", merge / 1e3,
                    merge / reporter.spread("memcpy/dual").second);
    }
    std::fflush(stdout);
    return 0;
}

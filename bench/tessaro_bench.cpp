// Decoding cost per frame against the cheapest conceivable alternative, measured in the same run:
// touching the decoder's own working set in its own cache state, that is reading the frame's input
// once and writing every output of a frame with three echoes once (the outputs are copied from the
// input, the rest of the input is read), so that the ratio means the same whatever the cache
// sizes. Single depth decodes a frame; dual depth prepares, decodes and merges one. Besides
// the whole frame it times the stages one by one (the histogram copy, the small channels, the
// merge as the difference of dual depth with and without it) and the frame with fewer echoes
// or fewer outputs, so that the cost can be seen to follow what is enabled. Every case runs
// three times; the ratios are printed as minimum and median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
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

// The bytes of every decoded output the frame holds, raw input and embedded data aside.
std::vector<std::span<std::uint8_t>> output_bytes(frame_buffer& frame) {
    std::vector<std::span<std::uint8_t>> spans;
    auto add = [&spans](auto& values) {
        if (!values.empty())
            spans.emplace_back(reinterpret_cast<std::uint8_t*>(values.data()), values.size() * sizeof(values[0]));
    };
    auto add_each = [&add](auto& per_echo) {
        for (auto& values : per_echo)
            add(values);
    };
    add_each(frame.point_cloud);
    add_each(frame.cartesian_depth);
    add_each(frame.radial_depth);
    add_each(frame.peak_height);
    add_each(frame.peak_status);
    add(frame.noise_level);
    add(frame.histogram);
    add(frame.pdc);
    return spans;
}

// The baseline: the rig's own input and output buffers, so that they sit where the decoder's do.
// A dual-depth frame is decoded into both sub-frames' outputs, which the merge then shrinks: the
// baseline writes them at their decoded size.
void touch_frame(benchmark::State& state, bool dual) {
    frame_rig rig(dual, 3, output_set::all);
    if (rig.merger)
        rig.merger->prepare_frame(rig.frame);
    const std::vector<std::span<std::uint8_t>> outputs = output_bytes(rig.frame);
    const std::uint8_t* input = rig.frame.raw_image.data();
    const std::size_t input_size = rig.frame.raw_image.size();
    for (auto _ : state) {
        std::size_t read = 0;
        for (const std::span<std::uint8_t> output : outputs)
            for (std::size_t done = 0; done < output.size();) {
                // The outputs of every mode are smaller than its input; this only keeps the
                // copy inside the input if that ever changes.
                if (read == input_size)
                    read = 0;
                const std::size_t n = std::min(output.size() - done, input_size - read);
                std::memcpy(output.data() + done, input + read, n);
                done += n;
                read += n;
            }
        std::uint64_t sum = 0;
        for (; read + sizeof sum <= input_size; read += sizeof sum) {
            std::uint64_t word;
            std::memcpy(&word, input + read, sizeof word);
            sum += word;
        }
        benchmark::DoNotOptimize(sum);
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
    for (const bool dual : {false, true}) {
        settle(benchmark::RegisterBenchmark(dual ? "baseline/dual" : "baseline/single",
                                            [dual](benchmark::State& state) { touch_frame(state, dual); }));
    }
    for (const bench_case& c : cases)
        settle(benchmark::RegisterBenchmark(c.name.c_str(), [c](benchmark::State& state) {
            decode_frame(state, c.dual, c.echoes, c.set, c.merge);
        }));
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nper frame on one core, and ratio to the baseline (the frame's input read once, every output of\n"
                "3 echoes written once) as min / median of the runs\n");
    std::printf("  %-40s %9s %9s %15s\n", "", "us", "frames/s", "baseline");
    auto row = [](const std::string& name, double nanoseconds, const std::string& ratios) {
        std::printf("  %-40s %9.1f %9.0f %15s\n", name.c_str(), nanoseconds / 1e3, 1e9 / nanoseconds, ratios.c_str());
    };
    auto ratio = [](double a, double b) {
        char text[32];
        std::snprintf(text, sizeof text, "%5.2fx / %5.2fx", a, b);
        return std::string(text);
    };
    for (const bool dual : {false, true}) {
        const std::string base = dual ? "baseline/dual" : "baseline/single";
        if (reporter.nanoseconds.contains(base))
            row(base, reporter.spread(base).second, "");
    }
    for (const bench_case& c : cases) {
        const std::string base = c.dual ? "baseline/dual" : "baseline/single";
        if (!reporter.nanoseconds.contains(c.name) || !reporter.nanoseconds.contains(base))
            continue;
        const auto [least, middle] = reporter.spread(c.name);
        const auto [base_least, base_middle] = reporter.spread(base);
        row(c.name, middle, ratio(least / base_least, middle / base_middle));
    }
    const std::string with = "dual/3 echoes/all outputs", without = with + ", no merge";
    if (reporter.nanoseconds.contains(with) && reporter.nanoseconds.contains(without) &&
        reporter.nanoseconds.contains("baseline/dual")) {
        const double merge = reporter.spread(with).second - reporter.spread(without).second;
        std::printf("  %-40s %9.1f %9s %15.2fx (median difference)\n", "dual merge alone", merge / 1e3, "",
                    merge / reporter.spread("baseline/dual").second);
    }
    std::fflush(stdout);
    return 0;
}

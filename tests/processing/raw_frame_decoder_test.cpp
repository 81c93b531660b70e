// Raw frames encoded from known values decode back to them; the refusals; and once the first frame
// has been through, decoding and merging a frame allocates nothing (the test program's
// allocation function is replaced to count calls).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <tuple>

#include <vorlake/tessaro/line_swap_table.hpp>

#include "processing/dual_depth_selection.hpp"
#include "processing/raw_data_processor.hpp"
#include "processing/raw_frame_decoder.hpp"
#include "support/raw_frame_encoder.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// The replacements pair malloc with free; GCC cannot see that they belong together once a
// standard container's calls are inlined next to them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vorlake::tessaro {
namespace {

using test_support::encode_raw_frame;
using test_support::random_frame_values;

const camera_output_configuration all_outputs{true, true, true, true, true, true, true, true};

// A camera's worth of decoding state for one configuration.
struct decoding_rig {
    bool dual;
    frame_buffer frame;
    line_swap_table table;
    std::vector<std::uint8_t> swap_buffer;
    std::unique_ptr<raw_data_processor> plan;

    decoding_rig(const camera_output_configuration& config, bool dual, std::uint8_t echoes)
        : dual(dual), frame(config, echoes, dual ? 1152 : 576), table(make_line_swap_table(dual)) {
        build_processor(plan, {672, static_cast<std::uint8_t>(dual ? 24 : 12), 48, 1, echoes}, config, frame);
    }
    int process() { return process_raw_data({frame, dual, table, swap_buffer, *plan}); }
};

// dual, padded, echoes, outputs (0: none, 1: only cartesian depth, 2: all)
class round_trip : public ::testing::TestWithParam<std::tuple<bool, bool, unsigned, int>> {};

TEST_P(round_trip, decodes_every_field_of_every_pixel_as_encoded) {
    const auto [dual, padded, echoes, outputs] = GetParam();
    camera_output_configuration config = outputs == 2 ? all_outputs : camera_output_configuration{};
    config.enable_cartesian_depth = outputs != 0;
    decoding_rig rig(config, dual, static_cast<std::uint8_t>(echoes));
    const auto values = random_frame_values(1000 + echoes * 10 + outputs, dual, echoes);
    rig.frame.raw_image = encode_raw_frame(values, dual, padded);
    const std::uint8_t* storage = rig.frame.raw_image.data();
    ASSERT_EQ(rig.process(), 0);

    // The padding is dropped in place; the frame is decoded where it lies.
    EXPECT_EQ(rig.frame.raw_image.data(), storage);
    EXPECT_EQ(rig.frame.raw_image, encode_raw_frame(values, dual, false));
    const frame_buffer& f = rig.frame;
    for (std::size_t p = 0; p < values.pixels.size(); ++p) {
        const auto& pixel = values.pixels[p];
        SCOPED_TRACE(p);
        // Outputs that were not asked for stay empty.
        ASSERT_EQ(outputs == 2, f.noise_level.size() > p && f.noise_level[p] == pixel.noise_level &&
                                    f.histogram.at(p) == pixel.histogram && f.pdc.at(p) == pixel.pdc);
        for (unsigned e = 0; e < echoes && outputs != 0; ++e) {
            const auto& echo = pixel.echoes[e];
            ASSERT_EQ(f.point_cloud.at(e).at(p), echo.point);
            ASSERT_EQ(f.cartesian_depth.at(e).at(p), echo.point.z);
            ASSERT_EQ(outputs == 2, f.radial_depth.size() > e && f.radial_depth[e].size() > p &&
                                        f.radial_depth[e][p] == echo.radial_depth &&
                                        f.peak_height.at(e).at(p) == echo.peak_height &&
                                        f.peak_status.at(e).at(p) == peak_status{echo.peak_status});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(frames, round_trip,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(), ::testing::Values(1u, 2u, 3u),
                                            ::testing::Values(0, 1, 2)));

TEST(raw_frame_decoding, frames_of_another_size_are_refused_silently) {
    const std::pair<bool, std::size_t> cases[] = {{true, 395136}, {true, 413952}, {false, 790272},
                                                  {false, 827904}, {false, 0}, {true, 790271}};
    for (const auto& [dual, size] : cases) {
        decoding_rig rig(all_outputs, dual, 1);
        rig.frame.raw_image.assign(size, 0x42);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(rig.process(), -22) << size;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(rig.frame.raw_image.size(), size);
    }
}

TEST(raw_frame_decoding, failures_report_the_step_that_failed) {
    const std::pair<const char*, std::function<void(decoding_rig&)>> cases[] = {
        {"Error: channel conflict: 12 vs 24\nfailed swapping lines\n",
         [](decoding_rig& r) { r.table = make_line_swap_table(true); }},
        {"failed swapping lines\n", [](decoding_rig& r) { r.table.order[3] = 12; }},  // no such block
        {"failed swapping lines\n", [](decoding_rig& r) { r.table.ref_lines_per_block = 2; }},
        {"failed to decode raw image\n", [](decoding_rig& r) { r.frame.noise_level.resize(100); }},
    };
    for (const auto& [lines, damage] : cases) {
        decoding_rig rig(all_outputs, false, 1);
        damage(rig);
        rig.frame.raw_image = encode_raw_frame(random_frame_values(3, false, 1), false, true);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(rig.process(), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), lines);
        EXPECT_EQ(rig.frame.raw_image.size(), 395136u);  // the padding is gone all the same
        EXPECT_EQ(rig.frame.histogram[0][0] == 0, std::string(lines).find("swapping") != std::string::npos);
    }
}

TEST(line_decoding, refuses_a_buffer_shorter_than_the_plan_and_an_empty_plan_reads_nothing) {
    EXPECT_EQ(decode_lines(*decoding_rig(all_outputs, true, 3).plan, std::vector<std::uint8_t>(395136)), -22);
    EXPECT_EQ(decode_lines(*decoding_rig({}, false, 1).plan, {}), 0);
}

TEST(build_processor, limits_the_echo_count_to_one_to_three) {
    camera_output_configuration radial;
    radial.enable_radial_depth = true;
    for (const auto& [requested, planned] : {std::pair{0, 1u}, {5, 3u}}) {
        decoding_rig rig(radial, false, static_cast<std::uint8_t>(requested));
        EXPECT_EQ(rig.plan->decoder_table.size(), planned);
        EXPECT_EQ(rig.frame.radial_depth.at(planned - 1).size(), 576u);
    }
}

TEST(steady_state, frames_after_the_first_allocate_nothing) {
    // Only radial depth and histogram on: the merge has to grow the other per-echo outputs itself.
    camera_output_configuration config;
    config.enable_radial_depth = config.enable_histogram = true;
    for (const bool dual : {false, true}) {
        decoding_rig rig(config, dual, 3);
        dual_depth_selection selection(576, dual_depth_params{});
        const auto padded = encode_raw_frame(random_frame_values(9, dual, 3), dual, true);
        rig.frame.raw_image.reserve(padded.size());
        auto one_frame = [&] {
            rig.frame.raw_image.assign(padded.begin(), padded.end());
            if (dual)
                selection.prepare_frame(rig.frame);
            return rig.process() == 0 && (!dual || selection.merge(rig.frame) == 0);
        };
        ASSERT_TRUE(one_frame());
        const std::size_t before = allocations;
        ASSERT_TRUE(one_frame() && one_frame());
        EXPECT_EQ(allocations, before) << dual;
    }
}

}  // namespace
}  // namespace vorlake::tessaro

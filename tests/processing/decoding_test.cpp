// Decoding what the sensor sends. Raw frames encoded from known values decode back to them; the
// refusals, down to the value decoders' line path; the embedded-data line; and once the first
// frame has been through, decoding and merging a frame allocates nothing (the test program's
// allocation function is replaced to count calls).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <tuple>

#include "processing/embedded_data.hpp"
#include "processing/value_decoders.hpp"
#include "support/captured_output.hpp"
#include "support/frame_path.hpp"
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

using namespace test_support;

const camera_output_configuration all_outputs{true, true, true, true, true, true, true, true};

// Pixels 0 .. n - 1 of f hold what values encoded; outputs that were not asked for (all of
// them, or only the cartesian depth) stay empty.
void expect_as_encoded(const frame_buffer& f, const frame_values& values, unsigned echoes, bool all, std::size_t n) {
    for (std::size_t p = 0; p < n; ++p) {
        const auto& pixel = values.pixels[p];
        SCOPED_TRACE(p);
        ASSERT_EQ(all, f.noise_level.size() > p && f.noise_level[p] == pixel.noise_level &&
                                    f.histogram.at(p) == pixel.histogram && f.pdc.at(p) == pixel.pdc);
        for (unsigned e = 0; e < echoes; ++e) {
            const auto& echo = pixel.echoes[e];
            ASSERT_EQ(f.point_cloud.at(e).at(p), echo.point);
            ASSERT_EQ(f.cartesian_depth.at(e).at(p), echo.point.z);
            ASSERT_EQ(all, f.radial_depth.size() > e && f.radial_depth[e].size() > p &&
                                        f.radial_depth[e][p] == echo.radial_depth &&
                                        f.peak_height.at(e).at(p) == echo.peak_height &&
                                        f.peak_status.at(e).at(p) == peak_status{echo.peak_status});
        }
    }
}

// dual, padded, echoes, all outputs
class round_trip : public ::testing::TestWithParam<std::tuple<bool, bool, unsigned, bool>> {};

TEST_P(round_trip, decodes_every_field_of_every_pixel_as_encoded) {
    const auto [dual, padded, echoes, all] = GetParam();
    const auto config = all ? all_outputs : camera_output_configuration{.enable_cartesian_depth = true};
    frame_path rig(config, dual, static_cast<std::uint8_t>(echoes));
    const auto values = random_frame_values(1001 + echoes * 10 + all, dual, echoes);
    ASSERT_EQ(rig.run(encode_raw_frame(values, dual, padded)), 0);
    // The padding is dropped in place (the steady-state test sees any reallocation).
    EXPECT_EQ(rig.frame.raw_image, encode_raw_frame(values, dual, false));
    expect_as_encoded(rig.frame, values, echoes, all, values.pixels.size());
    // A plan that does not read the frame as the table lays it out (here only the first 12 blocks
    // of a dual-depth frame) decodes from the reordered copy.
    if (!dual || !all)
        return;
    build_processor(rig.plan, {672, 12, 48, 1, static_cast<std::uint8_t>(echoes)}, config, rig.frame);
    ASSERT_EQ(rig.decode(), 0);
    expect_as_encoded(rig.frame, values, echoes, all, 576);
}

INSTANTIATE_TEST_SUITE_P(frames, round_trip, ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                                                 ::testing::Values(1u, 2u, 3u), ::testing::Bool()));

// A frame of another size is refused silently and left as it is; a later step's failure is
// reported with the step, after the padding is gone, and a failed reorder decodes nothing.
TEST(raw_frame_decoding, refusals) {
    struct refusal { bool dual; std::size_t size; const char* lines; void (*damage)(frame_path&); };
    const refusal cases[] = {
        {true, 395136, "", nullptr}, {false, 827904, "", nullptr}, {false, 0, "", nullptr}, {true, 790271, "", nullptr},
        {false, 413952, "Error: channel conflict: 12 vs 24\nfailed swapping lines",
         [](frame_path& r) { r.table = make_line_swap_table(true); }},
        {false, 413952, "failed swapping lines", [](frame_path& r) { r.table.order[3] = 12; }},  // no such block
        {false, 413952, "failed swapping lines", [](frame_path& r) { r.table.ref_lines_per_block = 2; }},
        {false, 413952, "failed to decode raw image", [](frame_path& r) { r.frame.noise_level.resize(100); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        frame_path rig(all_outputs, c.dual, 1);
        if (c.damage)
            c.damage(rig);
        rig.frame.raw_image = encode_raw_frame(random_frame_values(3, false, 1), false, true);
        rig.frame.raw_image.resize(c.size, 0x42);
        EXPECT_EQ(printing(c.lines, [&] { return rig.decode(); }), c.damage ? -1 : -22);
        EXPECT_EQ(rig.frame.raw_image.size(), c.damage ? 395136u : c.size);
        EXPECT_EQ(rig.frame.histogram[0][0] != 0, std::string(c.lines).find("decode") != std::string::npos);
    }
}

TEST(build_processor, limits_the_echo_count_to_one_to_three_and_decoding_to_the_buffer) {
    for (const auto& [requested, planned] : {std::pair<std::uint8_t, std::size_t>{0, 1}, {5, 3}})
        EXPECT_EQ(frame_path({.enable_radial_depth = true}, false, requested).plan->decoder_table.size(), planned);
    EXPECT_EQ(decode_lines(*frame_path(all_outputs, true, 3).plan, std::vector<std::uint8_t>(395136)), -22);
}

// The line-by-line path, which the plan's runs fall back to when a run does not fit. (Every
// value's encoding is checked by the round trip of whole frames.)
TEST(value_decoders, refuse_an_index_outside_the_output_or_a_wrong_count_and_write_only_given_words) {
    std::vector<float> floats(4, -9.0f);
    detail::fixed_point_values_decoder fixed;
    fixed.format = {0, 2};
    fixed.output = &floats;
    const std::uint8_t word[] = {0x34, 0x12, 0, 0, 8, 0, 0, 0, 12, 0, 0, 0};
    for (const auto& [count, index] : {std::pair{1u, 4u}, {0u, 0u}, {2u, 0u}})
        EXPECT_EQ(fixed.decode(word, count, index), -1);
    // A run that crosses the end makes the same writes and the same refusal as its lines.
    fixed.size = 4;
    EXPECT_EQ(fixed.decode_lines(word + 4, 4, 3, 2), -1);
    EXPECT_EQ(floats, (std::vector<float>{-9.0f, -9.0f, 2.0f, 3.0f}));
}

// Runs of four lines go through the whole-line pass, other runs decoder by decoder: both plans
// below read lines 3 .. 46 of every 47-line block of random words (every sign bit and status
// bit occurs), the first in runs of 44 lines, the second in runs of 46, and must agree.
TEST(decode_lines, the_whole_line_pass_and_the_decoders_agree_on_random_words) {
    std::vector<std::uint8_t> words(395136);
    std::mt19937 random(5);
    for (auto& b : words)
        b = static_cast<std::uint8_t>(random());
    for (const std::uint8_t echoes : {1, 3}) {
        frame_buffer whole(all_outputs, echoes, 12 * 44), each(all_outputs, echoes, 12 * 46);
        std::unique_ptr<raw_data_processor> whole_plan, each_plan;
        build_processor(whole_plan, {672, 12, 44, 3, echoes}, all_outputs, whole);
        build_processor(each_plan, {672, 12, 46, 1, echoes}, all_outputs, each);
        ASSERT_EQ(decode_lines(*whole_plan, words) + decode_lines(*each_plan, words), 0);
        auto same = [](const auto& a, const auto& b) {
            for (std::size_t p = 0; p < 12 * 44; ++p)
                if (!(a.at(p) == b.at(p / 44 * 46 + p % 44 + 2)))
                    return false;
            return true;
        };
        EXPECT_TRUE(same(whole.histogram, each.histogram) && same(whole.pdc, each.pdc) &&
                    same(whole.noise_level, each.noise_level));
        for (unsigned e = 0; e < echoes; ++e)
            EXPECT_TRUE(same(whole.radial_depth[e], each.radial_depth[e]) && same(whole.point_cloud[e], each.point_cloud[e]) &&
                        same(whole.cartesian_depth[e], each.cartesian_depth[e]) &&
                        same(whole.peak_height[e], each.peak_height[e]) && same(whole.peak_status[e], each.peak_status[e]))
                << e;
    }
}

TEST(embedded_data, decodes_the_first_line_of_an_encoded_frame) {
    frame_buffer frame;
    sensor_info info;
    // A counter of 0 wraps, in unsigned arithmetic, before the division.
    EXPECT_EQ(decode_embedded_data({&frame, &info, 12, 672}, encode_embedded_data({0, 0, 0, 0, 0, 0, 9}, false)), 0);
    EXPECT_EQ(frame.frame_id, 357913941u);
    EXPECT_TRUE(info.laser_status.light_emitted && info.laser_status.read_back &&
                info.laser_status.lvds_connection && info.laser_status.bank_check);

    const auto data = encode_embedded_data({25, 0xFFFFFFFF, 255, 100, 3, 4, 0, 7, 1, 255}, true);
    EXPECT_EQ(decode_embedded_data({&frame, &info, 24, 672}, data), 0);
    // The timestamp's products are both taken modulo 2^32.
    EXPECT_EQ(std::tuple(frame.frame_id, frame.timestamp, info.temperature, info.depth_num, info.peak_order_selection),
              std::tuple(1u, 1431654915u, -28.0f, 3u, 4u));
    EXPECT_FALSE(info.laser_status.light_emitted || info.laser_status.read_back ||
                 info.laser_status.lvds_connection || info.laser_status.bank_check);

    // Refused: the last field lies beyond the line, a frame shorter than the geometry,
    // no blocks to divide by.
    for (const auto& [blocks, line] : {std::pair{24u, 386u}, {25u, 672u}, {0u, 672u}})
        EXPECT_EQ(decode_embedded_data({&frame, &info, blocks, line}, data), -22);
    EXPECT_EQ(decode_embedded_data({&frame, &info, 24, 387}, data), 0);
}

TEST(steady_state, frames_after_the_first_allocate_nothing) {
    // A dual-depth frame takes every step a single-depth one takes, and the merge. Only radial
    // depth and histogram on: the merge has to grow the other per-echo outputs itself.
    const dual_depth_params params;
    frame_path rig({.enable_radial_depth = true, .enable_histogram = true}, true, 3, &params);
    const auto padded = encode_raw_frame(random_frame_values(9, true, 3), true, true);
    rig.frame.raw_image.reserve(padded.size());
    ASSERT_EQ(rig.run(padded), 0);
    const std::size_t before = allocations;
    ASSERT_EQ(rig.run(padded) + rig.run(padded), 0);
    EXPECT_EQ(allocations, before);
}

}  // namespace
}  // namespace vorlake::tessaro

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include <vorlake/tessaro/line_swap_table.hpp>

#include "processing/raw_data_processor.hpp"
#include "processing/raw_frame_decoder.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::encode_raw_frame;
using test_support::frame_values;
using test_support::random_frame_values;

camera_output_configuration all_outputs() {
    return {true, true, true, true, true, true, true, true};
}

camera_output_configuration only_cartesian() {
    camera_output_configuration config;
    config.enable_cartesian_depth = true;
    return config;
}

// A camera's worth of decoding state for one configuration.
struct decoding_rig {
    bool dual;
    frame_buffer frame;
    line_swap_table table;
    std::vector<std::uint8_t> swap_buffer;
    std::unique_ptr<raw_data_processor> plan;

    decoding_rig(const camera_output_configuration& config, bool dual, std::uint8_t echoes)
        : dual(dual),
          frame(config, echoes, dual ? 1152 : 576),
          table(make_line_swap_table(dual)) {
        const raw_frame_geometry geometry{672, static_cast<std::uint8_t>(dual ? 24 : 12), 48, 1, echoes};
        build_processor(plan, geometry, config, frame);
    }

    int process() { return process_raw_data({frame, dual, table, swap_buffer, *plan}); }
};

void expect_decoded(const frame_buffer& frame, const frame_values& values,
                    const camera_output_configuration& config, unsigned echoes) {
    const std::size_t pixels = values.pixels.size();
    for (std::size_t p = 0; p < pixels; ++p) {
        const auto& pixel = values.pixels[p];
        SCOPED_TRACE("pixel " + std::to_string(p));
        if (config.enable_noise_level) {
            ASSERT_EQ(frame.noise_level.at(p), pixel.noise_level);
        }
        if (config.enable_histogram) {
            ASSERT_EQ(frame.histogram.at(p), pixel.histogram);
        }
        if (config.enable_pdc) {
            ASSERT_EQ(frame.pdc.at(p), pixel.pdc);
        }
        for (unsigned e = 0; e < echoes; ++e) {
            const auto& echo = pixel.echoes[e];
            if (config.enable_radial_depth) {
                ASSERT_EQ(frame.radial_depth.at(e).at(p), echo.radial_depth);
            }
            if (config.enable_point_cloud || config.enable_cartesian_depth) {
                ASSERT_EQ(frame.point_cloud.at(e).at(p), echo.point);
            }
            if (config.enable_cartesian_depth) {
                ASSERT_EQ(frame.cartesian_depth.at(e).at(p), echo.point.z);
            }
            if (config.enable_peak_height) {
                ASSERT_EQ(frame.peak_height.at(e).at(p), echo.peak_height);
            }
            if (config.enable_peak_status) {
                ASSERT_EQ(frame.peak_status.at(e).at(p), static_cast<peak_status>(echo.peak_status));
            }
        }
    }
}

// dual, padded, echoes, configuration index
using round_trip_case = std::tuple<bool, bool, unsigned, int>;

class round_trip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(round_trip, decodes_every_field_of_every_pixel_as_encoded) {
    const auto [dual, padded, echoes, config_index] = GetParam();
    const camera_output_configuration configs[] = {{}, only_cartesian(), all_outputs()};
    const auto& config = configs[config_index];
    decoding_rig rig(config, dual, static_cast<std::uint8_t>(echoes));
    const frame_values values = random_frame_values(1000 + echoes * 10 + config_index, dual, echoes);
    rig.frame.raw_image = encode_raw_frame(values, dual, padded);

    ASSERT_EQ(rig.process(), 0);
    EXPECT_EQ(rig.frame.raw_image.size(), test_support::raw_frame_size(dual, false));
    expect_decoded(rig.frame, values, config, echoes);
    if (!config.enable_radial_depth)
        for (const auto& per_echo : rig.frame.radial_depth) {
            EXPECT_TRUE(per_echo.empty());
        }
}

INSTANTIATE_TEST_SUITE_P(frames, round_trip,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values(1u, 2u, 3u), ::testing::Values(0, 1, 2)));

TEST(raw_frame_decoding, padded_frame_is_compacted_in_place_to_the_packed_bytes) {
    decoding_rig rig(all_outputs(), false, 3);
    const frame_values values = random_frame_values(7, false, 3);
    rig.frame.raw_image = encode_raw_frame(values, false, true);
    ASSERT_EQ(rig.frame.raw_image.size(), 413952u);
    const std::uint8_t* storage = rig.frame.raw_image.data();

    ASSERT_EQ(rig.process(), 0);
    EXPECT_EQ(rig.frame.raw_image.data(), storage);
    EXPECT_EQ(rig.frame.raw_image, encode_raw_frame(values, false, false));
}

TEST(raw_frame_decoding, steady_frames_reuse_every_buffer) {
    decoding_rig rig(all_outputs(), true, 3);
    rig.frame.raw_image = encode_raw_frame(random_frame_values(1, true, 3), true, false);
    ASSERT_EQ(rig.process(), 0);
    const auto* swap_storage = rig.swap_buffer.data();
    const auto* histogram_storage = rig.frame.histogram.data();
    const auto* point_storage = rig.frame.point_cloud[2].data();

    const frame_values second = random_frame_values(2, true, 3);
    rig.frame.raw_image = encode_raw_frame(second, true, false);
    ASSERT_EQ(rig.process(), 0);
    EXPECT_EQ(rig.swap_buffer.data(), swap_storage);
    EXPECT_EQ(rig.frame.histogram.data(), histogram_storage);
    EXPECT_EQ(rig.frame.point_cloud[2].data(), point_storage);
    expect_decoded(rig.frame, second, all_outputs(), 3);
}

TEST(raw_frame_decoding, frames_of_another_size_are_refused_silently) {
    struct size_case {
        bool dual;
        std::size_t size;
    };
    const size_case cases[] = {{true, 395136}, {true, 413952}, {false, 790272}, {false, 827904},
                               {false, 0},     {false, 395135}, {false, 413953}, {true, 790271}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        decoding_rig rig(all_outputs(), c.dual, 1);
        rig.frame.raw_image.assign(c.size, 0x42);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(rig.process(), -22);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(rig.frame.raw_image.size(), c.size);
        EXPECT_TRUE(rig.swap_buffer.empty());
    }
}

TEST(raw_frame_decoding, block_count_not_matching_the_swap_table_is_a_channel_conflict) {
    decoding_rig rig(all_outputs(), false, 1);
    rig.table = make_line_swap_table(true);
    rig.frame.raw_image = encode_raw_frame(random_frame_values(3, false, 1), false, true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(rig.process(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Error: channel conflict: 12 vs 24\nfailed swapping lines\n");
    // The padding is already gone; the outputs are untouched.
    EXPECT_EQ(rig.frame.raw_image.size(), 395136u);
    EXPECT_EQ(rig.frame.radial_depth[0][0], 0.0f);
}

TEST(raw_frame_decoding, swap_table_pointing_outside_the_frame_is_refused) {
    decoding_rig rig(all_outputs(), false, 1);
    rig.table.order[3] = 12;  // no such block
    rig.frame.raw_image = encode_raw_frame(random_frame_values(4, false, 1), false, false);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(rig.process(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "failed swapping lines\n");

    rig.table = make_line_swap_table(false);
    rig.table.ref_lines_per_block = 2;  // the geometry no longer describes this frame
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(rig.process(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "failed swapping lines\n");
}

TEST(raw_frame_decoding, received_blocks_land_in_their_half_blocks) {
    // Received block 0 (destination 0) carries the reference line of block 0 and the first
    // halves of blocks 0 and 1; received block 6 (destination 1) the reference line of block 1
    // and the second halves of blocks 0 and 1. Mark each line by its first word.
    decoding_rig rig({}, false, 1);
    frame_values values;
    values.pixels.resize(576);
    for (std::size_t p = 0; p < 576; ++p)
        values.pixels[p].line_word = 0x10000u + static_cast<std::uint32_t>(p);
    values.reference_lines.resize(12);
    for (std::size_t k = 0; k < 12; ++k)
        values.reference_lines[k][0] = 0x20000u + static_cast<std::uint32_t>(k);
    const auto wire = encode_raw_frame(values, false, false);
    auto word_at = [](const std::vector<std::uint8_t>& bytes, std::size_t line) {
        std::uint32_t w = 0;
        for (int b = 3; b >= 0; --b)
            w = (w << 8) | bytes[line * 672 + static_cast<std::size_t>(b)];
        return w;
    };
    // On the wire: received block 0 is lines 0..48, received block 6 lines 294..342.
    EXPECT_EQ(word_at(wire, 0), 0x20000u);
    EXPECT_EQ(word_at(wire, 1), 0x10000u + 0);    // block 0, image line 1
    EXPECT_EQ(word_at(wire, 25), 0x10000u + 48);  // block 1, image line 1
    EXPECT_EQ(word_at(wire, 294), 0x20001u);
    EXPECT_EQ(word_at(wire, 295), 0x10000u + 24);  // block 0, image line 25
    EXPECT_EQ(word_at(wire, 319), 0x10000u + 72);  // block 1, image line 25

    rig.frame.raw_image = wire;
    ASSERT_EQ(rig.process(), 0);
    for (std::size_t k = 0; k < 12; ++k) {
        ASSERT_EQ(word_at(rig.swap_buffer, 49 * k), 0x20000u + k);
        for (std::size_t l = 1; l <= 48; ++l)
            ASSERT_EQ(word_at(rig.swap_buffer, 49 * k + l), 0x10000u + 48 * k + l - 1);
    }
}

TEST(raw_frame_decoding, cartesian_depth_is_the_z_of_each_point_only_when_asked_for) {
    frame_values values;
    values.pixels.resize(576);
    values.pixels[7].echoes[0].point = {1.0f, 2.0f, 3.5f};

    decoding_rig cartesian(only_cartesian(), false, 1);
    cartesian.frame.raw_image = encode_raw_frame(values, false, false);
    ASSERT_EQ(cartesian.process(), 0);
    EXPECT_EQ(cartesian.frame.cartesian_depth[0][7], 3.5f);

    camera_output_configuration points_only;
    points_only.enable_point_cloud = true;
    decoding_rig points(points_only, false, 1);
    points.frame.raw_image = encode_raw_frame(values, false, false);
    ASSERT_EQ(points.process(), 0);
    EXPECT_EQ(points.frame.point_cloud[0][7], (point3f{1.0f, 2.0f, 3.5f}));
    EXPECT_TRUE(points.frame.cartesian_depth[0].empty());
}

TEST(raw_frame_decoding, refused_decoder_call_stops_decoding_with_a_message) {
    decoding_rig rig(all_outputs(), false, 1);
    rig.frame.noise_level.resize(100);  // shorter than the plan expects
    rig.frame.raw_image = encode_raw_frame(random_frame_values(5, false, 1), false, false);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(rig.process(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "failed to decode raw image\n");
}

TEST(line_decoding, refuses_a_buffer_shorter_than_the_plan) {
    decoding_rig rig(all_outputs(), true, 3);
    const std::vector<std::uint8_t> single(395136, 0);
    EXPECT_EQ(decode_lines(*rig.plan, single), -22);
    EXPECT_EQ(decode_lines(*rig.plan, std::vector<std::uint8_t>(790272, 0)), 0);
}

TEST(line_decoding, refuses_a_geometry_whose_lines_cannot_hold_the_channels) {
    frame_buffer frame(all_outputs(), 1, 576);
    std::unique_ptr<raw_data_processor> plan;
    build_processor(plan, {600, 12, 48, 1, 1}, all_outputs(), frame);
    EXPECT_EQ(decode_lines(*plan, std::vector<std::uint8_t>(395136, 0)), -22);
}

TEST(line_decoding, empty_plan_decodes_nothing) {
    decoding_rig rig({}, false, 1);
    EXPECT_TRUE(rig.plan->decoder_table.empty());
    EXPECT_EQ(decode_lines(*rig.plan, std::vector<std::uint8_t>(395136, 0xFF)), 0);
    EXPECT_EQ(decode_lines(*rig.plan, {}), 0);
}

}  // namespace
}  // namespace vorlake::tessaro

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

}  // namespace
}  // namespace vorlake::tessaro

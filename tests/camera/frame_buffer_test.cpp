#include <gtest/gtest.h>

#include <vorlake/tessaro/sensor_modes.hpp>
#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {
namespace {

std::size_t inner_size(const auto& per_echo, std::size_t echo) { return per_echo.at(echo).size(); }

TEST(frame_buffer, sizes_only_the_enabled_outputs) {
    frame_buffer none(camera_output_configuration{}, 1, 576);
    EXPECT_EQ(none.max_depth_index, 1);
    for (std::size_t e = 0; e < 1; ++e) {
        EXPECT_EQ(inner_size(none.point_cloud, e), 0u);
        EXPECT_EQ(inner_size(none.cartesian_depth, e), 0u);
        EXPECT_EQ(inner_size(none.radial_depth, e), 0u);
        EXPECT_EQ(inner_size(none.peak_height, e), 0u);
        EXPECT_EQ(inner_size(none.peak_status, e), 0u);
    }
    EXPECT_TRUE(none.noise_level.empty());
    EXPECT_TRUE(none.histogram.empty());
    EXPECT_TRUE(none.pdc.empty());

    camera_output_configuration cartesian_only;
    cartesian_only.enable_cartesian_depth = true;
    frame_buffer cartesian(cartesian_only, 3, 576);
    ASSERT_EQ(cartesian.point_cloud.size(), 3u);
    for (std::size_t e = 0; e < 3; ++e) {
        EXPECT_EQ(inner_size(cartesian.point_cloud, e), 576u);
        EXPECT_EQ(inner_size(cartesian.cartesian_depth, e), 576u);
        EXPECT_EQ(inner_size(cartesian.radial_depth, e), 0u);
    }

    camera_output_configuration histogram_only;
    histogram_only.enable_histogram = true;
    frame_buffer histogram(histogram_only, 1, 1152);
    ASSERT_EQ(histogram.histogram.size(), 1152u);
    for (const auto& bins : histogram.histogram)
        for (auto count : bins)
            ASSERT_EQ(count, 0u);
    EXPECT_TRUE(histogram.raw_image.empty());
}

TEST(frame_buffer, error_constructor_builds_an_empty_frame) {
    frame_buffer frame(-13);
    EXPECT_EQ(frame.error, -13);
    EXPECT_EQ(frame.max_depth_index, 0);
    EXPECT_TRUE(frame.point_cloud.empty());
    EXPECT_TRUE(frame.peak_status.empty());
}

TEST(sensor_modes, mode_map_holds_the_six_modes) {
    auto modes = make_imx704_mode_map();
    ASSERT_EQ(modes.size(), 6u);
    EXPECT_TRUE(modes.at(0x301C).dual_depth_mode);
    EXPECT_EQ(modes.at(0x301C).raw_size_image, 790272u);
    EXPECT_EQ(modes.at(0x211C).raw_size_image, 395136u);
    EXPECT_EQ(modes.at(0x211C).raw_size_ebd, 8064u);
    for (const auto& [id, mode] : modes) {
        // Sizes follow the raw layout: 49 lines of 672 bytes per block, one ebd line per block.
        std::uint32_t blocks = mode.dual_depth_mode ? 24 : 12;
        EXPECT_EQ(mode.raw_size_image, blocks * 49 * 672) << std::hex << id;
        EXPECT_EQ(mode.raw_size_ebd, blocks * 672) << std::hex << id;
        EXPECT_EQ(mode.max_echo, 3u);
    }
    camera_output_configuration config;
    EXPECT_FALSE(config.enable_point_cloud || config.enable_pdc);
    dual_depth_params params;
    EXPECT_EQ(params.select_near, 200.0f);
    EXPECT_EQ(params.select_far, 2000.0f);
    EXPECT_EQ(params.merge_window, 50.0f);
}

}  // namespace
}  // namespace vorlake::tessaro

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include <vorlake/tessaro/line_swap_table.hpp>

#include "processing/raw_channel_layout.hpp"
#include "processing/raw_data_processor.hpp"

namespace vorlake::tessaro {
namespace {

camera_output_configuration all_outputs() {
    return {true, true, true, true, true, true, true, true};
}

std::unique_ptr<raw_data_processor> plan_for(frame_buffer& frame, const camera_output_configuration& config,
                                             std::uint8_t blocks, std::uint8_t echoes) {
    std::unique_ptr<raw_data_processor> plan;
    build_processor(plan, {672, blocks, 48, 1, echoes}, config, frame);
    return plan;
}

TEST(channel_layout, channels_fill_the_line_in_packing_order) {
    const raw_channel_layout layout = make_raw_channel_layout();
    const std::uint32_t ids[] = {0, 2, 3, 1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::uint16_t offsets[] = {0, 4, 580, 596, 600, 604, 616, 620, 624, 628, 640, 644, 648, 652, 664, 668};
    ASSERT_EQ(layout.channels.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(layout.channels[i].id, ids[i]);
        EXPECT_EQ(channel_offset(layout, ids[i]), offsets[i]);
    }
    EXPECT_EQ(offsets[15] + layout.channels[15].size, 672);
}

TEST(line_swap_table, holds_the_wire_order_of_each_mode) {
    const auto single = make_line_swap_table(false);
    EXPECT_EQ(single.order, (std::vector<std::uint8_t>{0, 6, 2, 8, 4, 10, 1, 7, 3, 9, 5, 11}));
    const auto dual = make_line_swap_table(true);
    EXPECT_EQ(dual.order, (std::vector<std::uint8_t>{0, 12, 6, 18, 2, 14, 8, 20, 4, 16, 10, 22,
                                                     1, 13, 7, 19, 3, 15, 9, 21, 5, 17, 11, 23}));
    EXPECT_EQ(dual.image_lines_per_block, 48);
    EXPECT_EQ(dual.ref_lines_per_block, 1);
    EXPECT_EQ(dual.line_size, 672u);
}

TEST(build_processor, wires_every_channel_an_enabled_output_needs) {
    frame_buffer frame(all_outputs(), 3, 576);
    const auto plan = plan_for(frame, all_outputs(), 12, 3);
    EXPECT_EQ(plan->first_line, 1);
    EXPECT_EQ(plan->line_count, 48);
    // channel id -> offset, size
    const std::map<std::int32_t, std::pair<std::uint32_t, std::uint32_t>> expected = {
        {1, {596, 4}},   {2, {4, 576}},    {3, {580, 16}},  {4, {600, 4}},   {5, {604, 12}},
        {6, {616, 4}},   {7, {620, 4}},    {8, {624, 4}},   {9, {628, 12}},  {10, {640, 4}},
        {11, {644, 4}},  {12, {648, 4}},   {13, {652, 12}}, {14, {664, 4}},  {15, {668, 4}}};
    ASSERT_EQ(plan->decoder_table.size(), expected.size());
    for (const auto& [id, placement] : expected) {
        SCOPED_TRACE(id);
        ASSERT_TRUE(plan->decoder_table.contains(id));
        EXPECT_EQ(plan->decoder_table.at(id)->offset, placement.first);
        EXPECT_EQ(plan->decoder_table.at(id)->size, placement.second);
    }
    EXPECT_EQ(plan->line_decoders.size(), expected.size());
    EXPECT_EQ(plan->point_decoders[1].formats.size(), 3u);
    EXPECT_EQ(plan->point_decoders[1].formats[0].sign_bit, 21);
    EXPECT_EQ(plan->point_decoders[1].formats[2].sign_bit, 0);
    EXPECT_EQ(plan->peak_height_decoders[2].format.sign_bit, 24);
    EXPECT_EQ(plan->point_cloud_source, &frame.point_cloud);
    EXPECT_EQ(plan->cartesian_depth_target, &frame.cartesian_depth);
}

TEST(build_processor, limits_the_echo_count_to_one_to_three) {
    camera_output_configuration radial;
    radial.enable_radial_depth = true;
    for (const auto& [requested, planned] : {std::pair{0, 1}, {1, 1}, {3, 3}, {5, 3}}) {
        SCOPED_TRACE(requested);
        frame_buffer frame(radial, static_cast<std::uint8_t>(requested), 576);
        const auto plan = plan_for(frame, radial, 12, static_cast<std::uint8_t>(requested));
        EXPECT_EQ(plan->echo_count, planned);
        EXPECT_EQ(plan->radial_depth_decoders.size(), static_cast<std::size_t>(planned));
        EXPECT_EQ(plan->decoder_table.size(), static_cast<std::size_t>(planned));
        // A frame built with fewer echo slots than the plan gets them, so no decoder dangles.
        ASSERT_GE(frame.radial_depth.size(), static_cast<std::size_t>(planned));
        EXPECT_EQ(frame.radial_depth[planned - 1].size(), 576u);
    }
}

TEST(build_processor, cartesian_depth_alone_decodes_the_points) {
    camera_output_configuration cartesian;
    cartesian.enable_cartesian_depth = true;
    frame_buffer frame(cartesian, 3, 576);
    const auto plan = plan_for(frame, cartesian, 12, 3);
    EXPECT_EQ(plan->decoder_table.size(), 3u);
    for (std::int32_t id : {5, 9, 13})
        EXPECT_TRUE(plan->decoder_table.contains(id));
    EXPECT_EQ(plan->point_cloud_source, &frame.point_cloud);

    camera_output_configuration points;
    points.enable_point_cloud = true;
    frame_buffer points_frame(points, 3, 576);
    const auto points_plan = plan_for(points_frame, points, 12, 3);
    EXPECT_EQ(points_plan->decoder_table.size(), 3u);
    EXPECT_EQ(points_plan->point_cloud_source, nullptr);
    EXPECT_EQ(points_plan->cartesian_depth_target, nullptr);
}

TEST(build_processor, sizes_wired_outputs_to_the_pixels_of_the_geometry) {
    for (const auto& [blocks, pixels] : {std::pair{12, 576u}, {24, 1152u}}) {
        frame_buffer frame(all_outputs(), 2, 0);
        const auto plan = plan_for(frame, all_outputs(), static_cast<std::uint8_t>(blocks), 2);
        EXPECT_EQ(frame.noise_level.size(), pixels);
        EXPECT_EQ(frame.histogram.size(), pixels);
        EXPECT_EQ(frame.pdc.size(), pixels);
        for (std::size_t e = 0; e < 2; ++e) {
            EXPECT_EQ(frame.radial_depth[e].size(), pixels);
            EXPECT_EQ(frame.point_cloud[e].size(), pixels);
            EXPECT_EQ(frame.peak_height[e].size(), pixels);
            EXPECT_EQ(frame.peak_status[e].size(), pixels);
        }
    }

    frame_buffer none_frame(camera_output_configuration{}, 1, 0);
    const auto none = plan_for(none_frame, {}, 12, 1);
    EXPECT_TRUE(none->decoder_table.empty());
    EXPECT_TRUE(none_frame.point_cloud[0].empty());
}

}  // namespace
}  // namespace vorlake::tessaro

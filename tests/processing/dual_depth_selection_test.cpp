#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "processing/dual_depth_selection.hpp"

namespace vorlake::tessaro {
namespace {

constexpr std::uint32_t pixels = 4;
constexpr std::uint32_t probe = 2;  // the pixel each case is written to

camera_output_configuration all_outputs() {
    return {true, true, true, true, true, true, true, true};
}

// Every candidate carries a marker in its other fields, 100 * sub-frame + echo + 1, so that the
// output shows which candidate filled a slot (0: a dropped candidate, written as zeros).
float marker(std::uint32_t sub_frame, std::uint32_t echo) {
    return static_cast<float>(100 * sub_frame + echo + 1);
}

frame_buffer prepared_frame(std::uint8_t echoes, const std::vector<float>& first,
                            const std::vector<float>& second, dual_depth_selection& selection) {
    frame_buffer frame(all_outputs(), echoes, 2 * pixels);
    selection.prepare_frame(frame);
    for (std::uint32_t e = 0; e < echoes; ++e) {
        for (std::uint32_t s = 0; s < 2; ++s) {
            const std::uint32_t index = s * pixels + probe;
            const float m = marker(s, e);
            frame.radial_depth[e][index] = (s == 0 ? first : second)[e];
            frame.cartesian_depth[e][index] = m + 0.5f;
            frame.peak_height[e][index] = m;
            frame.peak_status[e][index] = static_cast<peak_status>(m);
            frame.point_cloud[e][index] = {m, -m, 2 * m};
        }
    }
    return frame;
}

struct slot {
    float radial;
    float marker;  // 0 for zeros
};

struct merge_case {
    const char* name;
    std::vector<float> first;
    std::vector<float> second;
    std::vector<slot> expected;
};

class near_far_merge : public ::testing::TestWithParam<merge_case> {};

TEST_P(near_far_merge, chooses_and_orders_the_echoes_of_a_pixel) {
    const merge_case& c = GetParam();
    const auto echoes = static_cast<std::uint8_t>(c.first.size());
    dual_depth_selection selection(pixels, dual_depth_params{});
    frame_buffer frame = prepared_frame(echoes, c.first, c.second, selection);

    ASSERT_EQ(selection.merge(frame), 0);
    for (std::uint32_t j = 0; j < echoes; ++j) {
        SCOPED_TRACE("slot " + std::to_string(j));
        const float m = c.expected[j].marker;
        EXPECT_EQ(frame.radial_depth[j][probe], c.expected[j].radial);
        EXPECT_EQ(frame.peak_height[j][probe], m);
        EXPECT_EQ(frame.cartesian_depth[j][probe], m == 0 ? 0.0f : m + 0.5f);
        EXPECT_EQ(frame.peak_status[j][probe], static_cast<peak_status>(m));
        EXPECT_EQ(frame.point_cloud[j][probe], (point3f{m, -m, 2 * m}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    worked_examples, near_far_merge,
    ::testing::Values(
        merge_case{"far_beyond_band_wins", {500}, {3000}, {{3000, marker(1, 0)}}},
        merge_case{"neither_selected_duplicates_drop_first", {2010}, {1990}, {{1990, marker(1, 0)}}},
        merge_case{"both_selected_duplicates_drop_first", {1990}, {2010}, {{2010, marker(1, 0)}}},
        merge_case{"band_limits_select_nothing", {200}, {2000}, {{2000, marker(1, 0)}}},
        merge_case{"unselected_second_duplicate_dropped", {520}, {500}, {{520, marker(0, 0)}}},
        merge_case{"unselected_second_inside_band_dropped", {500}, {520}, {{500, marker(0, 0)}}},
        merge_case{"only_second_selected", {100}, {3000}, {{3000, marker(1, 0)}}},
        merge_case{"window_is_exclusive", {100}, {150}, {{150, marker(1, 0)}}},
        merge_case{"unselected_first_duplicate_dropped", {100}, {120}, {{120, marker(1, 0)}}},
        merge_case{"no_return_takes_the_second_sub_frame", {0}, {0}, {{0, marker(1, 0)}}},
        merge_case{"equal_keys_sorted_unstably", {2000, 1000}, {1000, 0},
                   {{1000, marker(0, 1)}, {2000, marker(0, 0)}}},
        merge_case{"too_many_selected_keep_second_then_first_from_the_top",
                   {300, 900, 1500}, {305, 2600, 50},
                   {{50, marker(1, 2)}, {1500, marker(0, 2)}, {2600, marker(1, 1)}}},
        merge_case{"invalid_second_fills_the_empty_slot", {0, 0}, {0, 700},
                   {{700, marker(1, 1)}, {0, marker(1, 0)}}},
        merge_case{"duplicate_then_too_many_selected", {300, 900}, {310, 2500},
                   {{900, marker(0, 1)}, {2500, marker(1, 1)}}}),
    [](const ::testing::TestParamInfo<merge_case>& info) { return std::string(info.param.name); });

TEST(dual_depth_selection, merge_shrinks_the_per_echo_outputs_only) {
    dual_depth_selection selection(pixels, dual_depth_params{});
    frame_buffer frame = prepared_frame(3, {1, 2, 3}, {4, 5, 6}, selection);
    const float* radial_storage = frame.radial_depth[1].data();

    ASSERT_EQ(selection.merge(frame), 0);
    for (std::size_t e = 0; e < 3; ++e) {
        EXPECT_EQ(frame.point_cloud[e].size(), pixels);
        EXPECT_EQ(frame.cartesian_depth[e].size(), pixels);
        EXPECT_EQ(frame.radial_depth[e].size(), pixels);
        EXPECT_EQ(frame.peak_height[e].size(), pixels);
        EXPECT_EQ(frame.peak_status[e].size(), pixels);
    }
    EXPECT_EQ(frame.noise_level.size(), 2 * pixels);
    EXPECT_EQ(frame.histogram.size(), 2 * pixels);
    EXPECT_EQ(frame.pdc.size(), 2 * pixels);

    // The next frame grows back within the storage already held.
    selection.prepare_frame(frame);
    EXPECT_EQ(frame.radial_depth[1].size(), 2 * pixels);
    EXPECT_EQ(frame.radial_depth[1].data(), radial_storage);
}

TEST(dual_depth_selection, prepare_frame_grows_disabled_outputs_too) {
    camera_output_configuration radial_only;
    radial_only.enable_radial_depth = true;
    frame_buffer frame(radial_only, 2, 2 * pixels);
    dual_depth_selection selection(pixels, dual_depth_params{});
    selection.prepare_frame(frame);
    for (std::size_t e = 0; e < 2; ++e) {
        EXPECT_EQ(frame.point_cloud[e].size(), 2 * pixels);
        EXPECT_EQ(frame.cartesian_depth[e].size(), 2 * pixels);
        EXPECT_EQ(frame.peak_height[e].size(), 2 * pixels);
        EXPECT_EQ(frame.peak_status[e].size(), 2 * pixels);
    }
    EXPECT_EQ(selection.merge(frame), 0);
}

TEST(dual_depth_selection, no_echoes_is_left_alone) {
    frame_buffer frame(all_outputs(), 0, 2 * pixels);
    dual_depth_selection selection(pixels, dual_depth_params{});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(selection.merge(frame), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

struct refusal_case {
    const char* message;
    std::function<void(frame_buffer&)> damage;
};

TEST(dual_depth_selection, refuses_frames_it_cannot_merge_before_touching_a_pixel) {
    const refusal_case cases[] = {
        {"dual depth: invalid number of echoes", [](frame_buffer& f) { f.max_depth_index = 4; }},
        {"dual depth: invalid number of echoes", [](frame_buffer& f) { f.peak_status.pop_back(); }},
        {"dual depth: invalid size for point cloud", [](frame_buffer& f) { f.point_cloud[0].pop_back(); }},
        {"dual depth: invalid size for cartesian depth: ", [](frame_buffer& f) { f.cartesian_depth[1].clear(); }},
        {"dual depth: invalid size for radial depth: ", [](frame_buffer& f) { f.radial_depth[2].push_back(1); }},
        {"dual depth: invalid size for peak_height", [](frame_buffer& f) { f.peak_height[0].resize(pixels); }},
        {"dual depth: invalid size for peak_status", [](frame_buffer& f) { f.peak_status[0].resize(pixels); }},
        {"dual depth: non-uniform peak_status", [](frame_buffer& f) { f.peak_status[2].resize(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        dual_depth_selection selection(pixels, dual_depth_params{});
        frame_buffer frame = prepared_frame(3, {300, 900, 1500}, {305, 2600, 50}, selection);
        c.damage(frame);
        const frame_buffer before = frame;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(selection.merge(frame), -22);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(c.message) + "\n");
        EXPECT_EQ(frame.radial_depth, before.radial_depth);
        EXPECT_EQ(frame.point_cloud, before.point_cloud);
        EXPECT_EQ(frame.peak_status, before.peak_status);
    }
}

}  // namespace
}  // namespace vorlake::tessaro

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "processing/dual_depth_selection.hpp"

namespace vorlake::tessaro {
namespace {

constexpr std::uint32_t pixels = 4;
constexpr std::uint32_t probe = 2;  // the pixel each case is written to
const camera_output_configuration all_outputs{true, true, true, true, true, true, true, true};

// Every candidate carries a marker in its other fields, 100 * sub-frame + echo + 1, so that the
// output shows which candidate filled a slot (0: a dropped candidate, written as zeros).
float marker(std::uint32_t sub_frame, std::uint32_t echo) {
    return static_cast<float>(100 * sub_frame + echo + 1);
}

frame_buffer prepared_frame(const std::vector<float>& first, const std::vector<float>& second,
                            dual_depth_selection& selection) {
    frame_buffer frame(all_outputs, static_cast<std::uint8_t>(first.size()), 2 * pixels);
    selection.prepare_frame(frame);
    for (std::uint32_t e = 0; e < first.size(); ++e) {
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

TEST(near_far_merge, chooses_and_orders_the_echoes_of_a_pixel) {
    struct merge_case {
        std::vector<float> first, second;
        std::vector<std::pair<float, float>> expected;  // per slot: radial depth, marker
    };
    const merge_case cases[] = {
        {{500}, {3000}, {{3000, marker(1, 0)}}},  // both selected: the second is kept
        {{2010}, {1990}, {{1990, marker(1, 0)}}},  // neither selected, duplicates: first dropped
        {{1990}, {2010}, {{2010, marker(1, 0)}}},  // both selected, duplicates: first dropped
        {{200}, {2000}, {{2000, marker(1, 0)}}},   // the band limits select nothing
        {{520}, {500}, {{520, marker(0, 0)}}},     // the unselected second is dropped
        {{500}, {520}, {{500, marker(0, 0)}}},
        {{100}, {3000}, {{3000, marker(1, 0)}}},
        {{100}, {150}, {{150, marker(1, 0)}}},  // the window is exclusive
        {{100}, {120}, {{120, marker(1, 0)}}},  // the unselected first is dropped
        {{0}, {0}, {{0, marker(1, 0)}}},        // no return: the second sub-frame fills the slot
        {{2000, 1000}, {1000, 0}, {{1000, marker(0, 1)}, {2000, marker(0, 0)}}},  // equal keys
        {{300, 900, 1500}, {305, 2600, 50}, {{50, marker(1, 2)}, {1500, marker(0, 2)}, {2600, marker(1, 1)}}},
        {{0, 0}, {0, 700}, {{700, marker(1, 1)}, {0, marker(1, 0)}}},
        {{300, 900}, {310, 2500}, {{900, marker(0, 1)}, {2500, marker(1, 1)}}},
    };
    for (std::size_t n = 0; n < std::size(cases); ++n) {
        SCOPED_TRACE("case " + std::to_string(n));
        dual_depth_selection selection(pixels, dual_depth_params{});
        frame_buffer frame = prepared_frame(cases[n].first, cases[n].second, selection);
        ASSERT_EQ(selection.merge(frame), 0);
        for (std::size_t j = 0; j < cases[n].expected.size(); ++j) {
            const auto [radial, m] = cases[n].expected[j];
            EXPECT_EQ(frame.radial_depth[j][probe], radial);
            EXPECT_EQ(frame.cartesian_depth[j][probe], m == 0 ? 0.0f : m + 0.5f);
            EXPECT_EQ(frame.peak_height[j][probe], m);
            EXPECT_EQ(frame.peak_status[j][probe], static_cast<peak_status>(m));
            EXPECT_EQ(frame.point_cloud[j][probe], (point3f{m, -m, 2 * m}));
            // The per-echo outputs shrink back to one sub-frame; the others keep both.
            EXPECT_EQ(frame.radial_depth[j].size() + frame.cartesian_depth[j].size() + frame.peak_height[j].size() +
                          frame.peak_status[j].size() + frame.point_cloud[j].size() + frame.histogram.size(),
                      7 * pixels);
        }
    }
}

TEST(dual_depth_selection, refuses_frames_it_cannot_merge_before_touching_a_pixel) {
    const std::pair<const char*, std::function<void(frame_buffer&)>> cases[] = {
        {"dual depth: invalid number of echoes", [](frame_buffer& f) { f.max_depth_index = 4; }},
        {"dual depth: invalid number of echoes", [](frame_buffer& f) { f.peak_status.pop_back(); }},
        {"dual depth: invalid size for point cloud", [](frame_buffer& f) { f.point_cloud[0].pop_back(); }},
        {"dual depth: invalid size for cartesian depth: ", [](frame_buffer& f) { f.cartesian_depth[1].clear(); }},
        {"dual depth: invalid size for radial depth: ", [](frame_buffer& f) { f.radial_depth[2].push_back(1); }},
        {"dual depth: invalid size for peak_height", [](frame_buffer& f) { f.peak_height[0].resize(pixels); }},
        {"dual depth: invalid size for peak_status", [](frame_buffer& f) { f.peak_status[0].resize(pixels); }},
        {"dual depth: non-uniform peak_status", [](frame_buffer& f) { f.peak_status[2].resize(3); }},
    };
    for (const auto& [message, damage] : cases) {
        dual_depth_selection selection(pixels, dual_depth_params{});
        frame_buffer frame = prepared_frame({300, 900, 1500}, {305, 2600, 50}, selection);
        damage(frame);
        const frame_buffer before = frame;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(selection.merge(frame), -22);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(message) + "\n");
        EXPECT_EQ(frame.radial_depth, before.radial_depth);
        EXPECT_EQ(frame.peak_status, before.peak_status);
    }
}

}  // namespace
}  // namespace vorlake::tessaro

// The merge against the literal rendering of the near/far rules in the test support, on many
// random frames full of the awkward cases: ties, band limits, near-duplicates, zeros of both
// signs, infinities and NaN, compared bit for bit. (The merge's fuzz target checks that a frame it
// refuses is left as it was.)
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "processing/dual_depth_selection.hpp"
#include "support/reference_merge.hpp"
#include "support/same_bits.hpp"

namespace vorlake::tessaro {
namespace {

// Two sub-frames of n pixels. Every candidate's other fields carry a tag of their own, so that a
// result shows which candidate it came from.
frame_buffer random_frame(unsigned seed, std::uint8_t echoes, std::uint32_t n, const dual_depth_params& params) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float awkward[] = {0,    0,    0,    -0.0f, -3,   inf,  -inf, NAN,  100,  150,  200,  200,
                             201,  249.5f, 250, 500,  520,  1500, 1990, 2000, 2010, 2049, 3000, 3000};
    std::mt19937 random(seed * 7 + echoes);
    // Some frames keep the depths to a handful of values, so that whole pixels tie; the others
    // gather each pixel's depths around a band limit or a random depth, so that near-duplicates
    // come in groups.
    const bool few_values = seed % 4 == 3;
    auto depth = [&](float centre) {
        const unsigned pick = random() % 4;
        const float reach = 1.5f * params.merge_window;
        return pick == 0     ? awkward[random() % std::size(awkward)]
               : few_values  ? static_cast<float>(random() % 4) * 700
               : pick == 1   ? static_cast<float>(random() % 16000) / 4
                             : centre - reach + static_cast<float>(random() % 1000) * (2 * reach / 1000);
    };
    frame_buffer frame(dual_depth_selection::every_output, echoes, 2 * n);
    float tag = 1;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float centres[] = {params.select_near, params.select_far, static_cast<float>(random() % 4000)};
        const float centre = centres[random() % 3];
        for (std::uint8_t e = 0; e < echoes; ++e) {
            for (const std::size_t p : {std::size_t{i}, std::size_t{n + i}}) {
                frame.radial_depth[e][p] = depth(centre);
                frame.cartesian_depth[e][p] = -tag;
                frame.peak_height[e][p] = tag++;
                frame.peak_status[e][p] = static_cast<peak_status>(p);
                frame.point_cloud[e][p] = {tag, 2 * tag, static_cast<float>(e)};
            }
        }
    }
    return frame;
}

TEST(near_far_merge, agrees_bit_for_bit_with_the_rules_on_random_frames) {
    const dual_depth_params params_of[] = {{}, {250, 1500, 120}, {200, 2000, 0.5f}};
    for (std::uint8_t echoes = 0; echoes <= 3; ++echoes) {
        for (unsigned seed = 0; seed < 12; ++seed) {
            // Some pixel counts leave a few pixels over after the groups of four.
            const std::uint32_t n = 576 - seed % 4;
            const dual_depth_params& params = params_of[seed % 3];
            frame_buffer frame = random_frame(seed, echoes, n, params);
            frame_buffer expected = frame;
            test_support::reference_merge(expected, n, params);
            // Outputs the frames are not decoded with are left as they are, only resized.
            const bool every_output = seed % 2 == 0;
            for (std::uint8_t e = 0; e < echoes && !every_output; ++e) {
                expected.point_cloud[e].assign(frame.point_cloud[e].begin(), frame.point_cloud[e].begin() + n);
                expected.cartesian_depth[e].assign(frame.cartesian_depth[e].begin(), frame.cartesian_depth[e].begin() + n);
                expected.peak_status[e].assign(frame.peak_status[e].begin(), frame.peak_status[e].begin() + n);
            }
            dual_depth_selection selection(n, params, every_output ? dual_depth_selection::every_output
                                                                   : camera_output_configuration{.enable_peak_height = true});
            ASSERT_EQ(selection.merge(frame), 0);
            EXPECT_TRUE(test_support::same_outputs(frame, expected)) << int{echoes} << " echoes, seed " << seed;
        }
    }
}

}  // namespace
}  // namespace vorlake::tessaro

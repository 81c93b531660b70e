// The merge against the literal rendering of the near/far rules in the test support, on many
// random frames full of the awkward cases: ties, band limits, near-duplicates, zeros of both
// signs, infinities and NaN. Outputs are compared bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "processing/dual_depth_selection.hpp"
#include "support/reference_merge.hpp"

namespace vorlake::tessaro {
namespace {

template <typename T>
bool same_bits(const std::vector<std::vector<T>>& a, const std::vector<std::vector<T>>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t e = 0; e < a.size(); ++e)
        if (a[e].size() != b[e].size() || std::memcmp(a[e].data(), b[e].data(), a[e].size() * sizeof(T)) != 0)
            return false;
    return true;
}

TEST(near_far_merge, agrees_bit_for_bit_with_the_rules_on_random_frames) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float awkward[] = {0,    0,    0,    -0.0f, -3,   inf,  -inf, NAN,  100,  150,  200,  200,
                             201,  249.5f, 250, 500,  520,  1500, 1990, 2000, 2010, 2049, 3000, 3000};
    for (std::uint8_t echoes = 0; echoes <= 3; ++echoes) {
        for (unsigned seed = 0; seed < 12; ++seed) {
            std::mt19937 random(seed * 7 + echoes);
            // Some pixel counts leave a few pixels over after the groups of four.
            const std::uint32_t n = 576 - seed % 4;
            const dual_depth_params params = seed % 3 == 0   ? dual_depth_params{}
                                             : seed % 3 == 1 ? dual_depth_params{250, 1500, 120}
                                                             : dual_depth_params{200, 2000, 0.5f};
            // Some frames keep the depths to a handful of values, so that whole pixels tie; the
            // others gather each pixel's depths around a band limit or a random depth, so that
            // near-duplicates come in groups.
            const bool few_values = seed % 4 == 3;
            auto depth = [&](float centre) {
                const unsigned pick = random() % 4;
                if (pick == 0)
                    return awkward[random() % std::size(awkward)];
                if (few_values)
                    return static_cast<float>(random() % 4) * 700;
                if (pick == 1)
                    return static_cast<float>(random() % 16000) / 4;
                const float reach = 1.5f * params.merge_window;
                return centre - reach + static_cast<float>(random() % 1000) * (2 * reach / 1000);
            };
            frame_buffer frame({true, true, true, true, true, true, true, true}, echoes, 2 * n);
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
            frame_buffer expected = frame;
            test_support::reference_merge(expected, n, params);
            // Outputs the frames are not decoded with are left as they are, only resized.
            const bool every_output = seed % 2 == 0;
            const camera_output_configuration outputs =
                every_output ? dual_depth_selection::every_output
                             : camera_output_configuration{.enable_peak_height = true};
            dual_depth_selection selection(n, params, outputs);
            if (!every_output) {
                expected.point_cloud = frame.point_cloud;
                expected.cartesian_depth = frame.cartesian_depth;
                expected.peak_status = frame.peak_status;
                for (std::uint8_t e = 0; e < echoes; ++e) {
                    expected.point_cloud[e].resize(n);
                    expected.cartesian_depth[e].resize(n);
                    expected.peak_status[e].resize(n);
                }
            }
            ASSERT_EQ(selection.merge(frame), 0);
            EXPECT_TRUE(same_bits(frame.radial_depth, expected.radial_depth) &&
                        same_bits(frame.cartesian_depth, expected.cartesian_depth) &&
                        same_bits(frame.peak_height, expected.peak_height) &&
                        same_bits(frame.peak_status, expected.peak_status) &&
                        same_bits(frame.point_cloud, expected.point_cloud))
                << int{echoes} << " echoes, seed " << seed;
        }
    }
}

}  // namespace
}  // namespace vorlake::tessaro

// The merge against the literal rendering of the near/far rules in the test support, on many
// random frames full of the awkward cases: ties, band limits, near-duplicates, zeros of both
// signs, infinities and NaN, every echo count, compared bit for bit; and frames it refuses.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/merge_check.hpp"

namespace vorlake::tessaro {
namespace {

TEST(near_far_merge, agrees_bit_for_bit_with_the_rules_on_random_frames) {
    std::mt19937 random(1);
    std::vector<std::uint8_t> bytes(1000);
    for (unsigned n = 0; n < 20000; ++n) {
        // Mostly palette indices, so that the edge values and equal keys dominate.
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random() % 4 != 0 ? random() % 36 : random());
        // Some frames merge only the radial depth and peak height; the other outputs stay as given.
        const camera_output_configuration merged =
            n % 2 == 0 ? dual_depth_selection::every_output : camera_output_configuration{.enable_peak_height = true};
        ASSERT_TRUE(test_support::merge_agrees_with_rules({bytes.data(), bytes.size()}, merged)) << n;
    }
}

}  // namespace
}  // namespace vorlake::tessaro

#include <gtest/gtest.h>

#include <vector>

#include "processing/value_decoders.hpp"

namespace vorlake::tessaro {
namespace {

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

}  // namespace
}  // namespace vorlake::tessaro

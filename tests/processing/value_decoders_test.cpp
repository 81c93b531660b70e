#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "processing/value_decoders.hpp"

namespace vorlake::tessaro {
namespace {

using namespace detail;

std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> values) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t w : values)
        for (int b = 0; b < 4; ++b)
            bytes.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
    return bytes;
}

TEST(fixed_point_rule, decodes_the_sensor_encodings) {
    const std::tuple<fixed_point_format, std::uint32_t, float> cases[] = {
        {{0, 2}, 0xFFFFFFFFu, -0.25f},  // unsigned format, yet read as a signed word
        {{24, 2}, (1u << 24) | (1u << 31), 532676608.0f},  // high bits are not masked
        {{0, 130}, 8u, 0x1p-127f},  // scales into the subnormal range exactly
    };
    for (const auto& [format, word, expected] : cases)
        EXPECT_EQ(decode_fixed_point(word, format), expected) << word;
}

// The line-by-line path, which the plan's runs fall back to when a run does not fit.
TEST(value_decoders, refuse_an_index_outside_the_output_or_a_wrong_count_and_write_only_given_words) {
    std::vector<float> floats(4, -9.0f);
    std::vector<pdc_counts_t> pdc(2, pdc_counts_t{7, 7, 7, 7});
    std::vector<point3f> points(2, point3f{-1, -1, -1});
    fixed_point_values_decoder fixed;
    fixed.format = {0, 2};
    fixed.output = &floats;
    pdc_decoder counters;
    counters.output = &pdc;
    point_decoder decoder;
    decoder.formats = {{21, 2}, {0, 2}};  // y and z both take the last format
    decoder.output = &points;
    const auto word = words({4660, 8, 12});
    for (const auto& [count, index] : {std::pair{1u, 4u}, {0u, 0u}, {2u, 0u}})
        EXPECT_EQ(fixed.decode(word.data(), count, index), -1);
    EXPECT_EQ(fixed.decode(word.data(), 1, 3) + counters.decode(word.data(), 2, 1), 0);
    EXPECT_EQ(pdc[1], (pdc_counts_t{4660, 8, 7, 7}));
    // A run that crosses the end makes the same writes and the same refusal as its lines.
    fixed.size = 4;
    EXPECT_EQ(fixed.decode_lines(word.data() + 4, 4, 3, 2), -1);
    EXPECT_EQ(floats, (std::vector<float>{-9.0f, -9.0f, 2.0f, 3.0f}));

    const auto xyz = words({1u << 21, 0x3FFFFFu, 0x3FFFFFu});
    EXPECT_EQ(decoder.decode(xyz.data(), 3, 0) + decoder.decode(xyz.data(), 0, 1), 0);
    EXPECT_EQ(counters.decode(word.data(), 2, 2) + decoder.decode(xyz.data(), 0, 2), -2);
    EXPECT_EQ(points, (std::vector<point3f>{{-524288.0f, 1048575.75f, 1048575.75f}, {-1, -1, -1}}));
}

}  // namespace
}  // namespace vorlake::tessaro

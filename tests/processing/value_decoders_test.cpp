#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "processing/raw_channel_layout.hpp"
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
    struct rule_case {
        fixed_point_format format;
        std::uint32_t word;
        float expected;
    };
    const rule_case cases[] = {
        {{0, 2}, 5u, 1.25f},
        {{0, 2}, 0xFFFFFFFFu, -0.25f},  // unsigned format, yet read as a signed word
        {{21, 2}, 1u << 21, -524288.0f},
        {{21, 2}, (1u << 21) - 1, 524287.75f},
        {{21, 2}, 0x3FFFFFu, -0.25f},
        {{24, 2}, 1u << 24, -4194304.0f},
        {{24, 2}, (1u << 24) - 1, 4194303.75f},
        {{24, 2}, (1u << 24) | (1u << 31), 532676608.0f},  // high bits are not masked
        {{31, 0}, 0x80000000u, -2147483648.0f},
        {{0, 0}, 7u, 7.0f},
        {{0, 130}, 8u, 0x1p-127f},  // scales into the subnormal range exactly
        {{0, 200}, 8u, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(decode_fixed_point(c.word, c.format), c.expected);
    }
}

TEST(single_value_decoders, refuse_an_index_outside_the_output_or_a_count_other_than_one) {
    std::vector<float> floats(4, -9.0f);
    fixed_point_values_decoder fixed;
    fixed.format = {0, 2};
    fixed.output = &floats;
    std::vector<peak_status> statuses(4, peak_status{9});
    peak_status_decoder status;
    status.output = &statuses;
    const auto word = words({4660});

    EXPECT_EQ(fixed.decode(word.data(), 1, 4), -1);
    EXPECT_EQ(status.decode(word.data(), 1, 4), -1);
    for (std::uint32_t count : {0u, 2u}) {
        EXPECT_EQ(fixed.decode(word.data(), count, 0), -1);
        EXPECT_EQ(status.decode(word.data(), count, 0), -1);
    }
    EXPECT_EQ(floats, std::vector<float>(4, -9.0f));
    EXPECT_EQ(statuses, std::vector<peak_status>(4, peak_status{9}));

    EXPECT_EQ(fixed.decode(word.data(), 1, 3), 0);
    EXPECT_EQ(floats[3], 1165.0f);
    EXPECT_EQ(status.decode(word.data(), 1, 3), 0);
    EXPECT_EQ(statuses[3], peak_status{52});

    fixed_point_values_decoder unwired;
    EXPECT_EQ(unwired.decode(word.data(), 1, 0), -1);
}

TEST(multi_value_decoders, write_only_the_words_they_are_given) {
    std::vector<pdc_counts_t> pdc(2, pdc_counts_t{7, 7, 7, 7});
    pdc_decoder counters;
    counters.output = &pdc;
    const auto two = words({11, 12});
    EXPECT_EQ(counters.decode(two.data(), 2, 1), 0);
    EXPECT_EQ(pdc[1], (pdc_counts_t{11, 12, 7, 7}));
    EXPECT_EQ(counters.decode(two.data(), 0, 0), 0);
    EXPECT_EQ(pdc[0], (pdc_counts_t{7, 7, 7, 7}));
    EXPECT_EQ(counters.decode(two.data(), 2, 2), -1);

    // More words than the record holds are ignored rather than written past it.
    std::vector<std::uint8_t> many(4 * 10, 0x01);
    std::vector<pdc_counts_t> guarded(1);
    counters.output = &guarded;
    EXPECT_EQ(counters.decode(many.data(), 10, 0), 0);
    EXPECT_EQ(guarded[0], (pdc_counts_t{0x01010101, 0x01010101, 0x01010101, 0x01010101}));
}

TEST(point_decoder, takes_the_last_format_for_words_beyond_the_list) {
    std::vector<point3f> points(2, point3f{-1.0f, -1.0f, -1.0f});
    point_decoder decoder;
    decoder.formats = {{21, 2}, {0, 2}};
    decoder.output = &points;
    const auto xyz = words({1u << 21, 0x3FFFFFu, 0x3FFFFFu});
    EXPECT_EQ(decoder.decode(xyz.data(), 3, 0), 0);
    // y and z both use (0, 2): no sign bit, so the 22-bit pattern stays positive.
    EXPECT_EQ(points[0], (point3f{-524288.0f, 1048575.75f, 1048575.75f}));

    EXPECT_EQ(decoder.decode(xyz.data(), 0, 1), 0);
    EXPECT_EQ(points[1], (point3f{-1.0f, -1.0f, -1.0f}));
    EXPECT_EQ(decoder.decode(xyz.data(), 0, 2), -1);

    decoder.formats.clear();
    EXPECT_EQ(decoder.decode(xyz.data(), 3, 1), 0);
    EXPECT_EQ(points[1], (point3f{-1.0f, -1.0f, -1.0f}));
}

}  // namespace
}  // namespace vorlake::tessaro

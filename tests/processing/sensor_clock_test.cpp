#include <gtest/gtest.h>

#include <vector>

#include "processing/sensor_clock.hpp"

namespace vorlake::tessaro {
namespace {

// Both counters run on across their wraps, and the scaled time across 2^32, where the 32-bit
// timestamp field wraps; reset starts over without taking a lower counter for a wrap.
TEST(sensor_clock, counters_keep_rising_across_their_wraps) {
    struct case_ {
        std::uint32_t blocks;
        std::vector<embedded_counters> frames;
        std::vector<std::uint64_t> indexes, times;
    };
    const case_ cases[] = {
        {1, {{65534, 1, 1}, {65535, 2, 1}, {0, 3, 1}, {1, 4, 1}}, {65533, 65534, 65535, 65536}, {3, 6, 10, 13}},
        {12, {{65521, 0xFFFFFFFE, 3}, {65533, 0xFFFFFFFF, 3}, {9, 1, 3}, {21, 2, 3}},
         {5460, 5461, 5462, 5463}, {42949672940, 42949672950, 42949672970, 42949672980}},
    };
    for (const case_& c : cases) {
        sensor_clock clock;
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const sensor_clock::reading reading = clock.advance(c.frames[i], c.blocks);
            EXPECT_EQ(reading.frame_index, c.indexes[i]) << c.blocks << "/" << i;
            EXPECT_EQ(reading.timestamp, c.times[i]) << c.blocks << "/" << i;
        }
        clock.reset();
        EXPECT_EQ(clock.advance({13, 3, 1}, 12).frame_index, 1u);
        EXPECT_EQ(clock.advance({0, 3, 1}, 12).frame_index, 5461u);  // the counter wrapped
    }
}

}  // namespace
}  // namespace vorlake::tessaro

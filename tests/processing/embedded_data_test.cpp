#include <gtest/gtest.h>

#include <tuple>

#include "processing/embedded_data.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::encode_embedded_data;

TEST(embedded_data, decodes_the_first_line_of_an_encoded_frame) {
    frame_buffer frame;
    sensor_info info;
    // A counter of 0 wraps, in unsigned arithmetic, before the division.
    EXPECT_EQ(decode_embedded_data({&frame, &info, 12, 672}, encode_embedded_data({0, 0, 0, 0, 0, 0, 9}, false)), 0);
    EXPECT_EQ(frame.frame_id, 357913941u);
    EXPECT_TRUE(info.laser_status.light_emitted && info.laser_status.read_back &&
                info.laser_status.lvds_connection && info.laser_status.bank_check);

    const auto data = encode_embedded_data({25, 0xFFFFFFFF, 255, 100, 3, 4, 0, 7, 1, 255}, true);
    EXPECT_EQ(decode_embedded_data({&frame, &info, 24, 672}, data), 0);
    // The timestamp's products are both taken modulo 2^32.
    EXPECT_EQ(std::tuple(frame.frame_id, frame.timestamp, info.temperature, info.depth_num, info.peak_order_selection),
              std::tuple(1u, 1431654915u, -28.0f, 3u, 4u));
    EXPECT_FALSE(info.laser_status.light_emitted || info.laser_status.read_back ||
                 info.laser_status.lvds_connection || info.laser_status.bank_check);

    // Refused: the last field lies beyond the line, a frame shorter than the geometry,
    // no blocks to divide by.
    for (const auto& [blocks, line] : {std::pair{24u, 386u}, {25u, 672u}, {0u, 672u}})
        EXPECT_EQ(decode_embedded_data({&frame, &info, blocks, line}, data), -22);
    EXPECT_EQ(decode_embedded_data({&frame, &info, 24, 387}, data), 0);
}

}  // namespace
}  // namespace vorlake::tessaro

#include <gtest/gtest.h>

#include "processing/embedded_data.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::embedded_values;
using test_support::encode_embedded_data;

TEST(embedded_data, decodes_the_first_line_of_an_encoded_frame) {
    struct ebd_case {
        bool dual;
        embedded_values values;
        std::uint32_t frame_id;
        std::uint32_t timestamp;
        float temperature;
        laser_status_flags laser;
    };
    const ebd_case cases[] = {
        {false, {0x1234, 0x01020304, 3, 153, 2, 1, 1, 0, 0, 0},
         388, 169090600, 25.0f, {true, true, true, true}},
        {true, {25, 0xFFFFFFFF, 255, 100, 3, 0, 0, 7, 1, 255},
         1, 1431654915, -28.0f,
         {false, false, false, false}},
        // A counter of 0 wraps, in unsigned arithmetic, before the division.
        {false, {0, 0, 0, 0, 0, 0, 9, 0, 0, 0}, 357913941, 0, -128.0f, {true, true, true, true}},
    };
    for (const auto& c : cases) {
        frame_buffer frame;
        sensor_info info;
        const auto data = encode_embedded_data(c.values, c.dual);
        ASSERT_EQ(data.size(), c.dual ? 16128u : 8064u);
        const embedded_data_decoder decoder{&frame, &info, c.dual ? 24u : 12u, 672};
        ASSERT_EQ(decode_embedded_data(decoder, data), 0);
        EXPECT_EQ(frame.frame_id, c.frame_id);
        EXPECT_EQ(frame.timestamp, c.timestamp);
        EXPECT_EQ(info.temperature, c.temperature);
        EXPECT_EQ(info.depth_num, c.values.depth_num);
        EXPECT_EQ(info.peak_order_selection, c.values.peak_order_selection);
        EXPECT_EQ(info.laser_status.light_emitted, c.laser.light_emitted);
        EXPECT_EQ(info.laser_status.read_back, c.laser.read_back);
        EXPECT_EQ(info.laser_status.lvds_connection, c.laser.lvds_connection);
        EXPECT_EQ(info.laser_status.bank_check, c.laser.bank_check);
    }
}

TEST(embedded_data, refuses_short_geometry_or_data_without_writing) {
    const auto data = encode_embedded_data({0x1234, 5, 5, 200, 1, 1, 1, 1, 1, 1}, false);
    frame_buffer frame;
    sensor_info info;
    const embedded_data_decoder refusals[] = {
        {&frame, &info, 12, 386},      // the last field lies beyond the line
        {&frame, &info, 24, 672},      // a dual-depth frame is twice as long
        {&frame, &info, 0, 672},       // no blocks: nothing to divide the counter by
        {nullptr, &info, 12, 672},
        {&frame, nullptr, 12, 672},
    };
    for (const auto& decoder : refusals) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(decode_embedded_data(decoder, data), -22);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_EQ(decode_embedded_data({&frame, &info, 12, 672}, std::vector<std::uint8_t>(8063)), -22);
    EXPECT_EQ(frame.frame_id, 0u);
    EXPECT_EQ(frame.timestamp, 0u);
    EXPECT_EQ(info.temperature, 0.0f);
    EXPECT_FALSE(info.laser_status.light_emitted);
    EXPECT_EQ(decode_embedded_data({&frame, &info, 12, 387}, data), 0);
}

}  // namespace
}  // namespace vorlake::tessaro

// Decodes the embedded-data frame that accompanies every image frame.
#pragma once

#include <cstdint>
#include <vector>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {

struct embedded_data_decoder {
    frame_buffer* frame = nullptr;
    sensor_info* info = nullptr;
    std::uint32_t block_count = 12;
    std::uint32_t line_size = 672;
};

// The sensor's raw counters, as the first line of an embedded-data frame carries them.
struct embedded_counters {
    std::uint16_t frame_counter = 0;
    std::uint32_t time_counter = 0;
    std::uint8_t time_multiplier = 0;
};

// first_line holds at least the bytes decode_embedded_data reads.
embedded_counters read_embedded_counters(const std::uint8_t* first_line);

// 0, or -EINVAL without writing anything when the buffer is too short for the geometry.
int decode_embedded_data(const embedded_data_decoder& decoder, const std::vector<std::uint8_t>& data);

}  // namespace vorlake::tessaro

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

// 0, or -EINVAL without writing anything when the buffer is too short for the geometry.
int decode_embedded_data(const embedded_data_decoder& decoder, const std::vector<std::uint8_t>& data);

}  // namespace vorlake::tessaro

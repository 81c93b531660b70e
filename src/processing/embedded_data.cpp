#include "processing/embedded_data.hpp"

#include <cerrno>

namespace vorlake::tessaro {

namespace {

// The last byte the decoding reads.
constexpr std::uint32_t last_offset_read = 386;

}  // namespace

int decode_embedded_data(const embedded_data_decoder& decoder, const std::vector<std::uint8_t>& data) {
    if (decoder.frame == nullptr || decoder.info == nullptr)
        return -EINVAL;
    if (decoder.line_size <= last_offset_read)
        return -EINVAL;
    if (data.size() < std::uint64_t{decoder.block_count} * decoder.line_size)
        return -EINVAL;
    // A zero block count would divide by zero below; such a geometry describes no frame.
    if (decoder.block_count == 0)
        return -EINVAL;

    const std::uint8_t* b = data.data();
    const std::uint32_t frame_counter = std::uint32_t{b[6]} * 256 + b[8];
    decoder.frame->frame_id = (frame_counter - 1) / decoder.block_count;
    const std::uint32_t t = (std::uint32_t{b[232]} << 24) | (std::uint32_t{b[234]} << 16) |
                            (std::uint32_t{b[236]} << 8) | std::uint32_t{b[238]};
    const std::uint32_t scaled = t * b[240];
    decoder.frame->timestamp = static_cast<std::uint32_t>(scaled * 10u) / 3u;

    sensor_info& info = *decoder.info;
    info.temperature = static_cast<float>(b[224]) - 128.0f;
    info.depth_num = b[370];
    info.peak_order_selection = b[374];
    info.laser_status.light_emitted = b[380] != 0;
    info.laser_status.read_back = b[382] == 0;
    info.laser_status.lvds_connection = b[384] == 0;
    info.laser_status.bank_check = b[386] == 0;
    return 0;
}

}  // namespace vorlake::tessaro

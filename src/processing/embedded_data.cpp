#include "processing/embedded_data.hpp"

#include <cerrno>

namespace vorlake::tessaro {

namespace {

// The last byte the decoding reads.
constexpr std::uint32_t last_offset_read = 386;

}  // namespace

embedded_counters read_embedded_counters(const std::uint8_t* b) {
    embedded_counters counters;
    counters.frame_counter = static_cast<std::uint16_t>(b[6] << 8 | b[8]);
    counters.time_counter = (std::uint32_t{b[232]} << 24) | (std::uint32_t{b[234]} << 16) |
                            (std::uint32_t{b[236]} << 8) | std::uint32_t{b[238]};
    counters.time_multiplier = b[240];
    return counters;
}

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
    const embedded_counters counters = read_embedded_counters(b);
    decoder.frame->frame_id = (std::uint32_t{counters.frame_counter} - 1) / decoder.block_count;
    const std::uint32_t scaled = counters.time_counter * counters.time_multiplier;
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

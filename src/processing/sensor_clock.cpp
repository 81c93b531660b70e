#include "processing/sensor_clock.hpp"

namespace vorlake::tessaro {
namespace {

// floor(ticks * 10 / 3), the scaling of frame_buffer.timestamp, without the intermediate product
// overflowing.
std::uint64_t scaled_time(std::uint64_t ticks) { return ticks / 3 * 10 + ticks % 3 * 10 / 3; }

}  // namespace

sensor_clock::reading sensor_clock::advance(const embedded_counters& counters, std::uint32_t block_count) {
    if (started) {
        // The distance forward, modulo the counter's width, is what the counter moved.
        frame_counter += static_cast<std::uint16_t>(counters.frame_counter - last_frame_counter);
        time_counter += static_cast<std::uint32_t>(counters.time_counter - last_time_counter);
    } else {
        frame_counter = counters.frame_counter;
        time_counter = counters.time_counter;
        started = true;
    }
    last_frame_counter = counters.frame_counter;
    last_time_counter = counters.time_counter;

    reading result;
    // As frame_id: the counter counts blocks from 1. A session that starts at 0 reads frame 0.
    if (block_count != 0 && frame_counter != 0)
        result.frame_index = (frame_counter - 1) / block_count;
    result.timestamp = scaled_time(time_counter * counters.time_multiplier);
    return result;
}

}  // namespace vorlake::tessaro

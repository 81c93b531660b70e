#include "processing/sensor_clock.hpp"

#include <limits>

namespace vorlake::tessaro {
namespace {

// floor(ticks * 10 / 3), the scaling of frame_buffer.timestamp, without the intermediate product
// overflowing.
std::uint64_t scaled_time(std::uint64_t ticks) { return ticks / 3 * 10 + ticks % 3 * 10 / 3; }

}  // namespace

sensor_clock::reading sensor_clock::advance(const embedded_counters& counters, std::uint32_t block_count) {
    // The distance forward, modulo the counter's width, is what the counter moved. Half the
    // range or more is a step back: the sensor started again (or a replay went back), since a
    // wrap between two frames moves a counter forward by little.
    const auto frame_step = static_cast<std::uint16_t>(counters.frame_counter - last_frame_counter);
    const auto time_step = static_cast<std::uint32_t>(counters.time_counter - last_time_counter);
    const bool stepped_back = frame_step > std::numeric_limits<std::int16_t>::max() ||
                              time_step > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    if (started && !stepped_back) {
        frame_counter += frame_step;
        time_counter += time_step;
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

// The sensor's frame and time counters, extended to 64 bits across the frames of one streaming
// session.
#pragma once

#include <cstdint>

#include "processing/embedded_data.hpp"

namespace vorlake::tessaro {

class sensor_clock {
public:
    struct reading {
        std::uint64_t frame_index = 0;
        std::uint64_t timestamp = 0;
    };

    // The next frame's counters. A counter a little below the previous one has wrapped once;
    // one half a turn or more below it (either counter) starts the count again, as a restart
    // does: the frames between two readings must span less than half a turn of each counter.
    reading advance(const embedded_counters& counters, std::uint32_t block_count);
    // The next reading starts a new session.
    void reset() { started = false; }

private:
    bool started = false;
    std::uint16_t last_frame_counter = 0;
    std::uint32_t last_time_counter = 0;
    std::uint64_t frame_counter = 0;
    std::uint64_t time_counter = 0;
};

}  // namespace vorlake::tessaro

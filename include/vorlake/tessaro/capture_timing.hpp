// When and in which place of its stream a frame was captured, as the stream that delivered it
// knows it.
#pragma once

#include <cstdint>

namespace vorlake::tessaro {

// A value whose flag is false is unknown and reads 0.
struct capture_timing {
    bool has_capture_time = false;
    std::uint64_t capture_time_ns = 0;  // CLOCK_MONOTONIC, nanoseconds
    bool has_sequence = false;
    std::uint32_t sequence = 0;  // the stream's frame number; wraps at 2^32
};

}  // namespace vorlake::tessaro

#include "capture/stream_timing.hpp"

#include <time.h>

namespace vorlake::tessaro {
namespace {

constexpr std::uint64_t nanoseconds_per_second = 1'000'000'000;

}  // namespace

capture_timing timing_of_buffer(const v4l2_buffer& buffer) {
    capture_timing timing;
    timing.has_sequence = true;
    timing.sequence = buffer.sequence;
    const bool monotonic =
        (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (monotonic && buffer.timestamp.tv_sec >= 0 && buffer.timestamp.tv_usec >= 0) {
        timing.has_capture_time = true;
        timing.capture_time_ns = static_cast<std::uint64_t>(buffer.timestamp.tv_sec) * nanoseconds_per_second +
                                 static_cast<std::uint64_t>(buffer.timestamp.tv_usec) * 1000;
    }
    return timing;
}

capture_timing delivery_clock::deliver() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    capture_timing timing;
    timing.has_capture_time = true;
    timing.capture_time_ns = static_cast<std::uint64_t>(now.tv_sec) * nanoseconds_per_second +
                             static_cast<std::uint64_t>(now.tv_nsec);
    timing.has_sequence = true;
    timing.sequence = delivered++;
    return timing;
}

}  // namespace vorlake::tessaro

#include "camera/frame_timing.hpp"

#include <algorithm>
#include <limits>

#include "processing/embedded_data.hpp"

namespace vorlake::tessaro {

void frame_timing::reset() {
    clock.reset();
    has_previous = false;
    total_dropped = 0;
}

void frame_timing::stamp(frame_buffer& frame, const capture_timing& capture, bool embedded_data_decoded,
                         std::uint32_t block_count) {
    frame.has_capture_time = capture.has_capture_time;
    frame.capture_time_ns = capture.has_capture_time ? capture.capture_time_ns : 0;
    frame.has_sequence = capture.has_sequence;
    frame.sequence = capture.has_sequence ? capture.sequence : 0;
    frame.has_sensor_time = embedded_data_decoded;
    frame.frame_index = 0;
    frame.sensor_timestamp = 0;
    if (embedded_data_decoded) {
        const sensor_clock::reading reading =
            clock.advance(read_embedded_counters(frame.raw_ebd.data()), block_count);
        frame.frame_index = reading.frame_index;
        frame.sensor_timestamp = reading.timestamp;
    }

    const std::uint64_t lost = has_previous ? lost_before(frame) : 0;
    frame.dropped_frames = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(lost, std::numeric_limits<std::uint32_t>::max()));
    total_dropped += lost;

    has_previous = true;
    previous_has_sequence = frame.has_sequence;
    previous_sequence = frame.sequence;
    previous_has_sensor_time = frame.has_sensor_time;
    previous_frame_index = frame.frame_index;
}

std::uint64_t frame_timing::lost_before(const frame_buffer& frame) const {
    if (previous_has_sensor_time && frame.has_sensor_time)
        return frame.frame_index > previous_frame_index ? frame.frame_index - previous_frame_index - 1 : 0;
    if (previous_has_sequence && frame.has_sequence) {
        // Modulo 2^32, so that a wrapping sequence still counts forward; a step back (half the
        // range or more) is a restarted stream, not a loss.
        const std::uint32_t step = frame.sequence - previous_sequence;
        return step != 0 && step <= std::numeric_limits<std::int32_t>::max() ? step - 1 : 0;
    }
    return 0;
}

}  // namespace vorlake::tessaro

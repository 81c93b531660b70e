// The timing fields of each delivered frame and the count of frames lost before it.
#pragma once

#include <cstdint>

#include <vorlake/tessaro/capture_timing.hpp>
#include <vorlake/tessaro/types.hpp>

#include "processing/sensor_clock.hpp"

namespace vorlake::tessaro {

class frame_timing {
public:
    // A new streaming session: no previous frame, nothing lost yet.
    void reset();
    // Fills the frame's timing fields from what the image stream reports and, when
    // embedded_data_decoded, from the counters in its raw_ebd.
    void stamp(frame_buffer& frame, const capture_timing& capture, bool embedded_data_decoded,
               std::uint32_t block_count);
    std::uint64_t dropped_total() const { return total_dropped; }

private:
    // Lost frames show as a gap in the sensor's frame index where both frames have one, since
    // it counts what the sensor took; otherwise as a gap in the stream's sequence.
    std::uint64_t lost_before(const frame_buffer& frame) const;

    sensor_clock clock;
    bool has_previous = false;
    bool previous_has_sequence = false;
    std::uint32_t previous_sequence = 0;
    bool previous_has_sensor_time = false;
    std::uint64_t previous_frame_index = 0;
    std::uint64_t total_dropped = 0;
};

}  // namespace vorlake::tessaro

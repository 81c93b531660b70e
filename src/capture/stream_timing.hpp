// How the streams learn when their frames were captured.
#pragma once

#include <cstdint>

#include <linux/videodev2.h>

#include <vorlake/tessaro/capture_timing.hpp>

namespace vorlake::tessaro {

// A dequeued buffer's sequence, and its timestamp when the driver takes it from
// CLOCK_MONOTONIC. Any other timestamp (copied from an output buffer, or of unknown source) is
// not comparable with the host's clock and leaves the capture time unknown.
capture_timing timing_of_buffer(const v4l2_buffer& buffer);

// For a stream without a clock of its own: the host's CLOCK_MONOTONIC when a frame is handed
// over, and the number of frames handed over before it since restart.
class delivery_clock {
public:
    void restart() { delivered = 0; }
    capture_timing deliver();

private:
    std::uint32_t delivered = 0;
};

}  // namespace vorlake::tessaro

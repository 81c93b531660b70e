// A source of raw frames: a capture device, or frames supplied by the caller.
#pragma once

#include <cstdint>
#include <vector>

#include <vorlake/tessaro/capture_timing.hpp>

namespace vorlake::tessaro {

class camera_stream {
public:
    virtual ~camera_stream() = default;

    virtual int open() = 0;
    virtual void close() = 0;
    virtual int start() = 0;
    virtual void stop() = 0;
    // Waits up to timeout_ms for one frame; on success buffer holds exactly its bytes.
    virtual int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) = 0;

    // False when the stream has nothing it could ever open (a device stream without a device
    // node); the camera then leaves it alone instead of reporting a failure on every frame.
    virtual bool has_source() const { return true; }

    // The timing of the frame that the last successful read_frame delivered. A stream that
    // cannot tell reports everything unknown.
    virtual capture_timing last_capture_timing() const { return {}; }
};

}  // namespace vorlake::tessaro

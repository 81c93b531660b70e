// A frame source reading a V4L2 capture device node through memory-mapped driver buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include <vorlake/tessaro/camera_stream.hpp>
#include <vorlake/tessaro/unique_fd.hpp>

#include "capture/unique_mapping.hpp"

namespace vorlake::tessaro {

class v4l2_stream : public camera_stream {
public:
    static constexpr std::size_t max_buffers = 4;

    v4l2_stream(std::uint32_t buffer_type, std::string device_path, std::string name);
    // A camera may be dropped without being closed; the device goes with the stream all the same.
    ~v4l2_stream() override = default;
    v4l2_stream(const v4l2_stream&) = delete;
    v4l2_stream& operator=(const v4l2_stream&) = delete;

    int open() override;
    void close() override;
    int start() override;
    void stop() override;
    int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) override;
    bool has_source() const override { return !device_path.empty(); }
    capture_timing last_capture_timing() const override { return last_timing; }

    const std::string& path() const { return device_path; }
    std::size_t granted_buffers() const { return buffer_count; }

private:
    int set_up_buffers();
    // A zeroed buffer record of this stream's type for memory-mapped I/O.
    v4l2_buffer mmap_buffer(std::uint32_t index) const;
    int queue_buffer(std::uint32_t index);
    // Gives a buffer back to the driver; one it refuses is kept for restore_queue().
    int requeue(std::uint32_t index);
    // Hands every granted buffer to the driver.
    int queue_all_buffers();
    // Offers the refused buffers again; returns how many the driver still refuses.
    std::size_t requeue_refused();
    // Returns what the driver did not take back, so that the stream never runs dry; 0, or the
    // code of a restart that failed.
    int restore_queue();
    // Takes every buffer back from the driver; false when it refused.
    bool stream_off();
    void release();

    std::uint32_t buffer_type;
    std::string device_path;
    std::string name;
    unique_fd fd;
    // Declared after fd: the buffers are unmapped before the descriptor closes.
    std::array<unique_mapping, max_buffers> buffers;
    bool buffers_mapped = false;
    bool buffers_queued = false;
    std::size_t buffer_count = 0;
    // Buffers the driver refused to take back after a frame.
    std::array<bool, max_buffers> requeue_pending{};
    // Buffers the driver handed out under an index no mapped buffer has: lost until stream-off.
    std::size_t buffers_lost = 0;
    // A restart to win lost buffers back failed: the device is not streaming, and the next read
    // tries again.
    bool restart_pending = false;
    capture_timing last_timing;
};

}  // namespace vorlake::tessaro

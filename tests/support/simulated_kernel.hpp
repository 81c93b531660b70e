// A scripted kernel behind the kernel-call layer: Jetson-like media devices, sub-devices and
// V4L2 capture devices with a videobuf2-like buffer queue, sysfs files, and fault injection.
// It keeps the open descriptors and mappings so that tests can check nothing is left behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include "capture/kernel_calls.hpp"

namespace vorlake::tessaro::test_support {

// The calls a test may make fail.
enum class kernel_call { open, ioctl, mmap, poll };

// written: every value set, in order.
struct simulated_control { std::uint32_t id = 0; std::string name; std::vector<std::int32_t> written = {}; };

// The buffer queue of a capture device, as videobuf2 keeps it.
struct simulated_queue {
    std::size_t buffer_length = 704 * 1176;
    // The count REQBUFS grants instead of min(asked, 4), and one-shot faults of the next DQBUF.
    std::optional<std::uint32_t> grant, next_bytesused, next_index, next_flags;
    std::vector<std::vector<std::uint8_t>> memory;
    std::vector<std::uint32_t> bytesused;
    std::deque<std::uint32_t> queued, done;  // held by the driver; filled, waiting for DQBUF
    std::deque<std::vector<std::uint8_t>> pending_frames;  // supplied by the test
    // The next DQBUF's sequence (a test skips numbers to lose frames) and timestamp source; its
    // timestamp is 100 + sequence seconds and 250 microseconds.
    std::uint32_t sequence = 0, timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    bool streaming = false;
    int owner_fd = -1;
};

struct simulated_node {
    std::vector<simulated_control> controls;
    std::optional<simulated_queue> queue;
    std::vector<v4l2_format> video_formats;  // every VIDIOC_S_FMT accepted
    // The topology, for a media device node.
    std::vector<media_v2_entity> entities;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
    std::vector<media_v2_link> links;
    std::optional<media_v2_topology> counts;  // what a count query reports instead of the truth
};

// The sensor, nvcsi and vi-output entities of one camera (entity ids 1, 2 and 3), with their
// device nodes. Further sensors share the media device: the sensors come first, then the nvcsi
// entities, then the vi-outputs in reverse order; sensor k uses the nodes of number N + k.
struct jetson_device_options {
    unsigned number = 0;  // /dev/mediaN, /dev/videoN, /dev/v4l-subdev(2N) and (2N+1)
    std::vector<std::string> sensors = {"vorlake-csi2 9-0010"};  // their entities' names
    bool with_data_links = true, sensor_has_node = true;
    std::vector<unsigned> broken = {};  // sensors (by position) whose nvcsi leads to no vi-output
};

class simulated_kernel : public kernel_calls {
public:
    static constexpr std::uint32_t sensor_mode_control = 0x0098190E;
    static constexpr const char* media_devices_directory = "/sys/bus/media/devices/";

    simulated_kernel() { directories[media_devices_directory] = {".", ".."}; }

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeout_ms) override;
    int list_directory(const std::string& path, std::vector<std::string>& names) override;
    int read_text_file(const std::string& path, std::string& content) override;

    void add_jetson_device(const jetson_device_options& options);
    simulated_queue& queue(const std::string& path) { return *nodes.at(path).queue; }
    void push_frame(const std::string& path, std::vector<std::uint8_t> frame) { queue(path).pending_frames.push_back(frame); }
    // After `skip` matching calls, the next `times` calls of that kind (of that ioctl request
    // when not 0) fail with `error`; a poll "failing" with 0 ends with nothing ready.
    void fail_next(kernel_call call, int error, int times = 1, unsigned long request = 0, int skip = 0) {
        faults.push_back({call, error, times, request, skip});
    }

    std::map<std::string, simulated_node> nodes;
    std::map<std::string, std::string> files;
    std::map<std::string, std::vector<std::string>> directories;
    std::map<int, simulated_node*> descriptors;
    std::map<void*, std::size_t> mappings;
    std::map<unsigned long, std::size_t> ioctls;
    std::vector<int> poll_timeouts;
    int next_fd = 300;  // well clear of the descriptors the test process holds

private:
    struct fault { kernel_call call; int error, times; unsigned long request; int skip; };
    bool take_fault(kernel_call call, unsigned long request = 0);

    std::vector<fault> faults;
    std::uint32_t next_minor = 0;
};

// A simulated kernel in place of the real one for the object's lifetime.
struct simulated_system { simulated_kernel kernel; scoped_kernel_calls guard{kernel}; };

}  // namespace vorlake::tessaro::test_support

// A scripted kernel behind the kernel-call layer: media devices with a Jetson-like topology,
// sub-devices and V4L2 capture devices with a real buffer queue, sysfs files, and fault
// injection. It keeps count of open descriptors and mappings so that tests can check that
// nothing is left behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include "capture/kernel_calls.hpp"

namespace vorlake::tessaro::test_support {

enum class kernel_call { open, close, ioctl, mmap, munmap, select, list_directory, read_text_file };

struct simulated_control {
    std::uint32_t id = 0;
    std::string name;
    std::uint32_t flags = 0;
    std::int32_t value = 0;
    std::vector<std::int32_t> written;  // every value set, in order
};

// The buffer queue of a capture device, as videobuf2 keeps it.
struct simulated_queue {
    std::uint32_t buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    std::size_t buffer_length = 704 * 1176;
    std::optional<std::uint32_t> grant;  // count granted by REQBUFS instead of min(asked, 4)
    std::vector<std::vector<std::uint8_t>> memory;
    std::vector<std::uint32_t> bytesused;  // of the frame each buffer holds
    std::deque<std::uint32_t> queued;  // handed to the driver, waiting for a frame
    std::deque<std::uint32_t> done;    // filled, waiting for DQBUF
    std::deque<std::vector<std::uint8_t>> pending_frames;  // supplied by the test
    bool streaming = false;
    int owner_fd = -1;
    // One-shot faults of the next dequeue.
    std::optional<std::uint32_t> next_bytesused;
    std::optional<std::uint32_t> next_index;
    std::size_t frames_delivered = 0;
};

struct simulated_node {
    std::string path;
    int open_error = 0;  // errno of every open, 0 when the node opens
    std::vector<simulated_control> controls;
    std::optional<simulated_queue> queue;
    std::vector<v4l2_format> video_formats;           // every VIDIOC_S_FMT accepted
    std::vector<v4l2_subdev_format> subdev_formats;  // every VIDIOC_SUBDEV_S_FMT accepted
    // The media-controller topology, for a media device node.
    bool is_media = false;
    std::vector<media_v2_entity> entities;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
    std::vector<media_v2_link> links;
    std::vector<media_link_desc> link_setups;  // every MEDIA_IOC_SETUP_LINK accepted
    std::uint32_t next_object_id = 1;
};

// The three entities of one camera and their device nodes.
struct jetson_device_options {
    unsigned number = 0;                        // /dev/mediaN
    std::string sensor_label = "vorlake-csi2 9-0010";  // the sensor entity's name
    bool with_nvcsi = true;
    bool with_vi_output = true;
    bool with_data_links = true;
    bool sensor_has_node = true;
    bool devname_in_uevent = true;
};

struct jetson_device {
    std::string media_path;
    std::string sensor_name;
    std::string csi2_name;
    std::string image_name;
    std::string sensor_node;  // empty when the sensor has none
    std::string csi2_node;
    std::string image_node;
    std::uint32_t sensor_entity = 0;
    std::uint32_t csi2_entity = 0;
    std::uint32_t image_entity = 0;
};

class simulated_kernel final : public kernel_calls {
public:
    static constexpr std::uint32_t sensor_mode_control = 0x0098190E;
    static constexpr std::uint32_t preferred_stride_control = 0x009a2064;
    static constexpr const char* media_devices_directory = "/sys/bus/media/devices/";

    simulated_kernel();
    ~simulated_kernel() override;

    // --- the kernel calls
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* address, std::size_t length, int protection, int flags, int fd,
               off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int select(int fd_count, fd_set* read_set, fd_set* write_set, fd_set* except_set,
               timeval* timeout) override;
    int list_directory(const std::string& path, std::vector<std::string>& names) override;
    int read_text_file(const std::string& path, std::string& content) override;

    // --- building the system
    simulated_node& add_node(const std::string& path);
    simulated_node& node(const std::string& path);
    // A character device node with its sysfs uevent file; returns its minor number.
    std::uint32_t add_char_device(const std::string& path, std::uint32_t major,
                                  bool devname_in_uevent = true);
    simulated_node& add_capture_device(const std::string& path,
                                       std::uint32_t buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE);
    void add_file(const std::string& path, std::string content);
    void add_directory(const std::string& path, std::vector<std::string> names);
    simulated_node& add_media_device(const std::string& path);
    // Lists the media device under /sys/bus/media/devices/.
    void list_media_device(const std::string& name);
    jetson_device add_jetson_device(const jetson_device_options& options);

    // Topology building blocks; each returns the new object's id.
    static std::uint32_t add_entity(simulated_node& media, const std::string& name,
                                    std::uint32_t function = MEDIA_ENT_F_UNKNOWN);
    static std::uint32_t add_pad(simulated_node& media, std::uint32_t entity, std::uint32_t flags);
    static std::uint32_t add_link(simulated_node& media, std::uint32_t source,
                                  std::uint32_t sink, std::uint32_t flags);
    // An interface for a device node (major:minor) linked to the entity.
    static std::uint32_t add_interface(simulated_node& media, std::uint32_t entity,
                                       std::uint32_t major, std::uint32_t minor);

    // --- frames
    // Queues a frame for the capture device; it fills the next buffer the driver holds.
    void push_frame(const std::string& path, std::vector<std::uint8_t> frame);
    simulated_queue& queue(const std::string& path);

    // --- faults
    // After `skip` matching calls, the next `times` calls of that kind (of that ioctl request
    // when given, on that node when given) fail with `error`.
    void fail_next(kernel_call call, int error, int times = 1, unsigned long request = 0,
                   const std::string& path = {}, int skip = 0);
    void set_next_fd(int fd) { next_fd = fd; }

    // --- accounting
    std::size_t open_descriptors() const { return descriptors.size(); }
    std::size_t mappings() const { return mapped.size(); }
    std::size_t calls(kernel_call call) const;
    std::size_t ioctls(unsigned long request) const;
    std::size_t ioctls(unsigned long request, const std::string& path) const;
    // The request of every ioctl, in order.
    const std::vector<unsigned long>& ioctl_log() const { return requests; }
    std::vector<timeval> select_timeouts;

private:
    struct fault {
        kernel_call call;
        int error;
        int times;
        unsigned long request;
        std::string path;
        int skip;
    };
    struct mapping {
        void* address;
        std::size_t length;
    };

    bool take_fault(kernel_call call, unsigned long request, const std::string& path);
    simulated_node* node_of(int fd);
    int fail(int error);
    int media_ioctl(simulated_node& media, unsigned long request, void* arg);
    int queue_ioctl(simulated_node& device, int fd, unsigned long request, void* arg);
    int control_ioctl(simulated_node& device, unsigned long request, void* arg);
    void fill_buffers(simulated_queue& queue);

    std::map<std::string, std::unique_ptr<simulated_node>> nodes;
    std::map<std::string, std::string> files;
    std::map<std::string, std::vector<std::string>> directories;
    std::map<int, simulated_node*> descriptors;
    std::vector<mapping> mapped;
    std::vector<fault> faults;
    std::map<kernel_call, std::size_t> call_counts;
    std::vector<unsigned long> requests;
    std::vector<std::string> request_paths;
    int next_fd = 300;  // well clear of the descriptors the test process holds
    std::uint32_t next_minor = 0;
};

// A simulated kernel in place of the real one for the object's lifetime.
struct simulated_system {
    simulated_kernel kernel;
    scoped_kernel_calls guard{kernel};
};

}  // namespace vorlake::tessaro::test_support

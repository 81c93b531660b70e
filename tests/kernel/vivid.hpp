// The tests' own view of the vivid instance the VM loads, taken with plain system calls rather
// than the library's device code, so that the code under test is checked against the kernel and
// not against itself.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include <vorlake/tessaro/camera_pipeline.hpp>

namespace vorlake::tessaro::kernel_test {

// vivid registers its nodes in a fixed order: video capture (inputs 0 webcam, 3 HDMI), video
// output (output 1 HDMI), metadata capture.
inline const std::string capture_node = "/dev/video0";
inline const std::string output_node = "/dev/video1";
inline const std::string metadata_node = "/dev/video2";
inline const std::string media_node = "/dev/media0";
inline constexpr std::uint32_t frame_width = 672;
inline constexpr std::uint32_t frame_height = 588;
inline constexpr unsigned frame_timeout_ms = 2000;

// A descriptor that closes itself; call gives 0 or -errno.
struct device {
    int fd;
    explicit device(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NONBLOCK)) {}
    ~device() { ::close(fd); }
    device(const device&) = delete;
    int call(unsigned long request, void* argument) const {
        int result;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result < 0 && errno == EINTR);
        return result < 0 ? -errno : 0;
    }
};

// The control whose name is exactly `name`, found by enumerating the node's controls.
inline int set_control(const device& node, const char* name, std::int32_t value) {
    v4l2_queryctrl query{.id = V4L2_CTRL_FLAG_NEXT_CTRL};
    for (; node.call(VIDIOC_QUERYCTRL, &query) == 0; query.id |= V4L2_CTRL_FLAG_NEXT_CTRL) {
        if (std::strcmp(reinterpret_cast<const char*>(query.name), name) == 0) {
            v4l2_control control{query.id, value};
            return node.call(VIDIOC_S_CTRL, &control);
        }
    }
    return -ENOENT;
}

// CVT reduced-blanking v2 timings, the one CVT form whose width is free, so that the HDMI input
// and output carry exactly one raw frame of `height` lines (588, or 1176 for dual depth).
inline int set_raw_frame_timings(const device& node, std::uint32_t height) {
    v4l2_dv_timings timings{.type = V4L2_DV_BT_656_1120};
    timings.bt = {.width = frame_width, .height = height, .interlaced = V4L2_DV_PROGRESSIVE,
                  .polarities = V4L2_DV_HSYNC_POS_POL, .pixelclock = 29'999'000,
                  .hfrontporch = 8, .hsync = 32, .hbackporch = 40, .vfrontporch = 5, .vsync = 8,
                  .vbackporch = 5, .standards = V4L2_DV_BT_STD_CVT,
                  .flags = V4L2_DV_FL_REDUCED_BLANKING};
    return node.call(VIDIOC_S_DV_TIMINGS, &timings);
}

// Puts the capture node on its HDMI input at the raw frame's size, with the pattern generator's
// text overlay off (OSD mode 2).
inline int select_hdmi_input(std::uint32_t height = frame_height) {
    device capture(capture_node);
    int input = 3;
    if (int result = capture.call(VIDIOC_S_INPUT, &input); result != 0)
        return result;
    if (int result = set_raw_frame_timings(capture, height); result != 0)
        return result;
    return set_control(capture, "OSD Text Mode", 2);
}

// Sets an 8-bit grey format with the given line stride; -EINVAL when the driver adjusts it.
inline int set_grey_format(const device& node, std::uint32_t type, std::uint32_t height,
                           std::uint32_t stride) {
    v4l2_format format{.type = type};
    format.fmt.pix = {.width = frame_width, .height = height, .pixelformat = V4L2_PIX_FMT_GREY,
                      .field = V4L2_FIELD_NONE, .bytesperline = stride};
    if (int result = node.call(VIDIOC_S_FMT, &format); result != 0)
        return result;
    return format.fmt.pix.height == height && format.fmt.pix.bytesperline == stride ? 0 : -EINVAL;
}

// What this process holds: open descriptors, and mappings of one device node.
inline int open_descriptor_count() {
    int count = -1;  // the directory's own descriptor
    DIR* fds = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(fds))
        count += entry->d_name[0] != '.';
    ::closedir(fds);
    return count;
}

inline int mapping_count(const std::string& node) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.ends_with(" " + node);
    return count;
}

// vivid is no Jetson pipeline: this one only gives the base class's media-controller operations
// and, for the sensor mode, a node whose controls stand in for the sensor's.
struct probe_pipeline : camera_pipeline {
    explicit probe_pipeline(const std::string& sensor = "")
        : camera_pipeline(media_node), sensor(sensor) {}
    int get_stream_device_nodes(std::string&, std::string&) override { return -ENODEV; }
    int get_sensor_device_node(std::string& node) override {
        node = sensor;
        return 0;
    }
    int configure(const pipeline_configuration&) override { return -ENODEV; }
    const auto& entity_table() const { return entities; }
    std::string sensor;
};

}  // namespace vorlake::tessaro::kernel_test

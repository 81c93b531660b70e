// The tests' own view of the vivid instance the VM loads, taken with plain system calls rather
// than the library's device code, so that the code under test is checked against the kernel and
// not against itself.
#pragma once

#include <gtest/gtest.h>

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

// vivid registers its nodes in a fixed order: video capture (input 0 webcam, 3 HDMI), video
// output (output 1 HDMI), metadata capture.
inline const std::string capture_node = "/dev/video0";
inline const std::string output_node = "/dev/video1";
inline const std::string metadata_node = "/dev/video2";
inline const std::string media_node = "/dev/media0";
inline constexpr std::uint32_t frame_width = 672;
inline constexpr std::uint32_t frame_height = 588;
inline constexpr unsigned frame_timeout_ms = 2000;

// A descriptor that closes itself. The test program sets no signal handler: no EINTR to retry.
struct device {
    int fd;
    explicit device(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NONBLOCK)) {}
    ~device() { ::close(fd); }
    device(const device&) = delete;
    // 0, or -errno.
    int call(unsigned long request, void* argument) const {
        return ::ioctl(fd, request, argument) < 0 ? -errno : 0;
    }
};

// Finds the control by its name; a name the node lacks leaves an id the driver refuses.
inline int set_control(const device& node, const char* name, std::int32_t value) {
    v4l2_queryctrl query{.id = V4L2_CTRL_FLAG_NEXT_CTRL};
    while (node.call(VIDIOC_QUERYCTRL, &query) == 0 &&
           std::strcmp(reinterpret_cast<const char*>(query.name), name) != 0)
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    v4l2_control control{query.id, value};
    return node.call(VIDIOC_S_CTRL, &control);
}

// Both HDMI ends carry one raw frame of `height` lines (588, or 1176 for dual depth) with CVT
// reduced-blanking v2 timings, the one CVT form whose width is free. The capture side loops the
// output back once the formats match too, and its pattern generator's text overlay is off.
inline void select_hdmi(std::uint32_t height = frame_height) {
    v4l2_dv_timings timings{.type = V4L2_DV_BT_656_1120};
    timings.bt = {.width = frame_width, .height = height, .interlaced = V4L2_DV_PROGRESSIVE,
                  .polarities = V4L2_DV_HSYNC_POS_POL, .pixelclock = 29'999'000, .hfrontporch = 8,
                  .hsync = 32, .hbackporch = 40, .vfrontporch = 5, .vsync = 8, .vbackporch = 5,
                  .standards = V4L2_DV_BT_STD_CVT, .flags = V4L2_DV_FL_REDUCED_BLANKING};
    const device capture(capture_node), output(output_node);
    int hdmi_input = 3, hdmi_output = 1;
    ASSERT_EQ(capture.call(VIDIOC_S_INPUT, &hdmi_input), 0);
    ASSERT_EQ(output.call(VIDIOC_S_OUTPUT, &hdmi_output), 0);
    ASSERT_EQ(capture.call(VIDIOC_S_DV_TIMINGS, &timings), 0);
    ASSERT_EQ(output.call(VIDIOC_S_DV_TIMINGS, &timings), 0);
    ASSERT_EQ(set_control(capture, "OSD Text Mode", 2), 0);
    ASSERT_EQ(set_control(capture, "Loop Video", 1), 0);
}

// An 8-bit grey format with exactly the given height and line stride.
inline void set_grey_format(const std::string& node, std::uint32_t height, std::uint32_t stride) {
    v4l2_format format{.type = node == output_node ? V4L2_BUF_TYPE_VIDEO_OUTPUT
                                                   : V4L2_BUF_TYPE_VIDEO_CAPTURE};
    format.fmt.pix = {.width = frame_width, .height = height, .pixelformat = V4L2_PIX_FMT_GREY,
                      .field = V4L2_FIELD_NONE, .bytesperline = stride};
    ASSERT_EQ(device(node).call(VIDIOC_S_FMT, &format), 0);
    ASSERT_EQ(format.fmt.pix.sizeimage, height * stride);
}

// What this process holds: the descriptor the next open gets, and mappings of one device node.
inline int next_descriptor() {
    const int fd = ::dup(0);
    ::close(fd);
    return fd;
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
    int get_sensor_device_node(std::string& node) override { node = sensor; return 0; }
    int configure(const pipeline_configuration&) override { return -ENODEV; }
    const auto& entity_table() const { return entities; }
    std::string sensor;
};

}  // namespace vorlake::tessaro::kernel_test

// vivid's nodes as the kernel tests reach them with plain system calls, and its HDMI loop, which
// carries raw frames shown on its output node to its capture node.
#pragma once

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <vorlake/tessaro/unique_fd.hpp>

namespace vorlake::tessaro::vivid {

// vivid registers its nodes in a fixed order: video capture (input 0 webcam, 3 HDMI), video
// output (output 1 HDMI), metadata capture.
inline const std::string capture_node = "/dev/video0", output_node = "/dev/video1", metadata_node = "/dev/video2",
                         media_node = "/dev/media0";
inline constexpr std::uint32_t frame_width = 672, frame_height = 588;

// A device node opened as the library opens its own. The test program sets no signal handler: no
// EINTR to retry.
struct device {
    unique_fd fd;
    explicit device(const std::string& path) : fd(open_device(path, O_RDWR | O_NONBLOCK)) {}
    // 0, or -errno.
    int call(unsigned long request, void* argument) const { return ::ioctl(fd.get(), request, argument) < 0 ? -errno : 0; }
};

// Finds the control by its name; a name the node lacks leaves an id the driver refuses.
inline int set_control(const device& node, const char* name, std::int32_t value) {
    v4l2_queryctrl query{.id = V4L2_CTRL_FLAG_NEXT_CTRL};
    while (node.call(VIDIOC_QUERYCTRL, &query) == 0 && std::strcmp(reinterpret_cast<const char*>(query.name), name))
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    v4l2_control control{query.id, value};
    return node.call(VIDIOC_S_CTRL, &control);
}

// An 8-bit grey format with the given height and line stride; a stride the driver changed breaks
// the loop below.
inline int set_grey_format(const std::string& node, std::uint32_t height, std::uint32_t stride) {
    v4l2_format format{.type = node == output_node ? V4L2_BUF_TYPE_VIDEO_OUTPUT : V4L2_BUF_TYPE_VIDEO_CAPTURE};
    format.fmt.pix = {.width = frame_width, .height = height, .pixelformat = V4L2_PIX_FMT_GREY,
                      .field = V4L2_FIELD_NONE, .bytesperline = stride};
    return device(node).call(VIDIOC_S_FMT, &format);
}

// Both HDMI ends carry one raw frame of `height` lines with CVT reduced-blanking v2 timings, the
// one CVT form whose width is free. The capture side loops the output back once the formats match
// too (the caller sets the capture format next), and its pattern generator's text overlay is off.
// 0, or the first failing step's -errno.
inline int prepare_hdmi_loop(const device& capture, const device& output, std::uint32_t height) {
    v4l2_dv_timings timings{.type = V4L2_DV_BT_656_1120};
    timings.bt = {.width = frame_width, .height = height, .interlaced = V4L2_DV_PROGRESSIVE,
                  .polarities = V4L2_DV_HSYNC_POS_POL, .pixelclock = 29'999'000, .hfrontporch = 8,
                  .hsync = 32, .hbackporch = 40, .vfrontporch = 5, .vsync = 8, .vbackporch = 5,
                  .standards = V4L2_DV_BT_STD_CVT, .flags = V4L2_DV_FL_REDUCED_BLANKING};
    int hdmi_input = 3, hdmi_output = 1, result = 0;
    (result = capture.call(VIDIOC_S_INPUT, &hdmi_input)) || (result = output.call(VIDIOC_S_OUTPUT, &hdmi_output)) ||
        (result = capture.call(VIDIOC_S_DV_TIMINGS, &timings)) || (result = output.call(VIDIOC_S_DV_TIMINGS, &timings)) ||
        (result = set_control(capture, "OSD Text Mode", 2)) || (result = set_control(capture, "Loop Video", 1));
    return result;
}

// vivid keeps looping the last output buffer queued, so one buffer, lent from `shown`, shows the
// frame for as long as the output node stays open. 0, or the first failing step's -errno.
inline int show_frame(const device& output, const std::vector<std::uint8_t>& shown, std::uint32_t height, std::uint32_t stride) {
    std::uint32_t type = V4L2_BUF_TYPE_VIDEO_OUTPUT, size = static_cast<std::uint32_t>(shown.size());
    v4l2_requestbuffers request{.count = 1, .type = type, .memory = V4L2_MEMORY_USERPTR};
    v4l2_buffer buffer{.type = type, .bytesused = size, .field = V4L2_FIELD_NONE, .memory = V4L2_MEMORY_USERPTR,
                       .m = {.userptr = reinterpret_cast<unsigned long>(shown.data())}, .length = size};
    int result = 0;
    (result = set_grey_format(output_node, height, stride)) || (result = output.call(VIDIOC_REQBUFS, &request)) ||
        (result = output.call(VIDIOC_QBUF, &buffer)) || (result = output.call(VIDIOC_STREAMON, &type));
    return result;
}

}  // namespace vorlake::tessaro::vivid

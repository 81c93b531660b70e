// The test's own view of vivid, taken with plain system calls rather than the library's device
// code, so that the code under test is checked against the kernel and not against itself.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <string>

namespace vorlake::tessaro::kernel_test {

// The instance the VM loads: a video capture node (inputs 0 webcam, 1 TV, 2 S-Video, 3 HDMI),
// a video output node (outputs 0 S-Video, 1 HDMI), a metadata capture node and its media
// device.
struct vivid_nodes {
    std::string capture;
    std::string output;
    std::string metadata;
    std::string media = "/dev/media0";
};

inline constexpr std::uint32_t webcam_input = 0;
inline constexpr std::uint32_t hdmi_input = 3;
inline constexpr std::uint32_t hdmi_output = 1;
inline constexpr std::uint32_t frame_width = 672;
inline constexpr std::uint32_t frame_height = 588;
inline constexpr std::uint32_t dual_frame_height = 1176;
inline constexpr std::uint32_t frame_bytes = frame_width * frame_height;

// Asks every /dev/video* node what it is; empty paths for what vivid does not provide.
vivid_nodes find_vivid_nodes();

// A descriptor that closes itself.
class device {
public:
    explicit device(const std::string& path);
    ~device();
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    int fd() const { return descriptor; }
    // 0, or -errno.
    int call(unsigned long request, void* argument) const;

private:
    int descriptor;
};

// The control whose name is exactly `name`, found by enumerating the node's controls; -ENOENT
// when there is none.
int find_control(const device& node, const std::string& name, v4l2_queryctrl& found);
int set_control(const device& node, const std::string& name, std::int32_t value);

// Progressive CVT reduced-blanking (version 2) timings with the frame's active size: the one CVT
// form whose width is free, so that the HDMI input and output can carry exactly one raw frame.
v4l2_dv_timings raw_frame_timings(std::uint32_t height = frame_height);

// Puts the capture node on its HDMI input at the raw frame's size (588 lines, 1176 for a
// dual-depth frame), with the video test pattern generator's text overlay off.
int select_hdmi_input(const vivid_nodes& nodes, std::uint32_t height = frame_height);

// What this process holds: open descriptors, and mappings of one device node.
int open_descriptor_count();
int mapping_count(const std::string& device_path);

}  // namespace vorlake::tessaro::kernel_test

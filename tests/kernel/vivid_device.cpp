#include "vivid_device.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace vorlake::tessaro::kernel_test {

namespace {

std::vector<std::string> video_nodes() {
    std::vector<std::string> nodes;
    if (DIR* dev = ::opendir("/dev")) {
        while (const dirent* entry = ::readdir(dev)) {
            if (std::strncmp(entry->d_name, "video", 5) == 0)
                nodes.push_back(std::string("/dev/") + entry->d_name);
        }
        ::closedir(dev);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

}  // namespace

vivid_nodes find_vivid_nodes() {
    vivid_nodes nodes;
    for (const std::string& path : video_nodes()) {
        device node(path);
        v4l2_capability capability{};
        if (node.call(VIDIOC_QUERYCAP, &capability) != 0)
            continue;
        if (std::strcmp(reinterpret_cast<const char*>(capability.driver), "vivid") != 0)
            continue;
        if (capability.device_caps & V4L2_CAP_VIDEO_CAPTURE)
            nodes.capture = path;
        else if (capability.device_caps & V4L2_CAP_VIDEO_OUTPUT)
            nodes.output = path;
        else if (capability.device_caps & V4L2_CAP_META_CAPTURE)
            nodes.metadata = path;
    }
    return nodes;
}

device::device(const std::string& path) : descriptor(::open(path.c_str(), O_RDWR | O_NONBLOCK)) {}

device::~device() {
    if (descriptor >= 0)
        ::close(descriptor);
}

int device::call(unsigned long request, void* argument) const {
    int result;
    do {
        result = ::ioctl(descriptor, request, argument);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -errno : 0;
}

int find_control(const device& node, const std::string& name, v4l2_queryctrl& found) {
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (node.call(VIDIOC_QUERYCTRL, &query) == 0) {
        if (name == reinterpret_cast<const char*>(query.name)) {
            found = query;
            return 0;
        }
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return -ENOENT;
}

int set_control(const device& node, const std::string& name, std::int32_t value) {
    v4l2_queryctrl query{};
    if (int result = find_control(node, name, query); result != 0)
        return result;
    v4l2_control control{query.id, value};
    return node.call(VIDIOC_S_CTRL, &control);
}

v4l2_dv_timings raw_frame_timings(std::uint32_t height) {
    // CVT RB v2: 80 pixels of horizontal blanking, vsync 8 lines, back porch 6 lines and a
    // front porch that fills the 460 us minimum blanking (5 lines at this line rate, whatever
    // the frame height).
    v4l2_dv_timings timings{};
    timings.type = V4L2_DV_BT_656_1120;
    v4l2_bt_timings& bt = timings.bt;
    bt.width = frame_width;
    bt.height = height;
    bt.interlaced = V4L2_DV_PROGRESSIVE;
    bt.polarities = V4L2_DV_HSYNC_POS_POL;
    bt.pixelclock = 29'999'000;
    bt.hfrontporch = 8;
    bt.hsync = 32;
    bt.hbackporch = 40;
    bt.vfrontporch = 5;
    bt.vsync = 8;
    bt.vbackporch = 5;
    bt.standards = V4L2_DV_BT_STD_CVT;
    bt.flags = V4L2_DV_FL_REDUCED_BLANKING;
    return timings;
}

int select_hdmi_input(const vivid_nodes& nodes, std::uint32_t height) {
    device capture(nodes.capture);
    int input = hdmi_input;
    if (int result = capture.call(VIDIOC_S_INPUT, &input); result != 0)
        return result;
    v4l2_dv_timings timings = raw_frame_timings(height);
    if (int result = capture.call(VIDIOC_S_DV_TIMINGS, &timings); result != 0)
        return result;
    // Mode 2 leaves the test pattern free of the generator's clock and status text.
    return set_control(capture, "OSD Text Mode", 2);
}

int open_descriptor_count() {
    int count = 0;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        ::closedir(fds);
    }
    return count - 1;  // the directory's own descriptor
}

int mapping_count(const std::string& device_path) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        if (line.size() >= device_path.size() &&
            line.compare(line.size() - device_path.size(), device_path.size(), device_path) == 0)
            ++count;
    }
    return count;
}

}  // namespace vorlake::tessaro::kernel_test

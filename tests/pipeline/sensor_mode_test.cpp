#include "pipeline/sensor_mode_control.hpp"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <string>
#include <utility>

#include "pipeline/jetson_camera_pipeline.hpp"
#include "support/captured_output.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::kernel_call;
using result = std::pair<int, std::string>;

// Builds media device N and selects the mode through its pipeline: the result and what it wrote.
result select(test_support::simulated_kernel& kernel, std::uint32_t mode, const test_support::jetson_device_options& options = {}) {
    if (!kernel.nodes.contains("/dev/media" + std::to_string(options.number)))
        kernel.add_jetson_device(options);
    int code = 0;
    const std::string out = test_support::output_of([&] {
        jetson_camera_pipeline pipeline("/dev/media" + std::to_string(options.number), "vorlake-csi2");
        code = select_sensor_mode(pipeline, mode);
    }).out;
    return {code, out.substr(out.find("safe mode\n") + 10)};
}

std::string set_line(const std::string& mode, int index, const std::string& node) {
    return "Sensor mode set to 0x" + mode + " (menu index " + std::to_string(index) + ") via V4L2 control on " + node + "\n";
}

// Each mode sets its menu index on the sensor's node, or without one on the vi-output's. The
// driver's refusal comes back raw; not even an interruption makes the request again.
TEST(sensor_mode, every_mode_sets_its_menu_index) {
    test_support::simulated_system sys;
    const char* modes[] = {"311c", "321c", "301c", "211c", "221c", "201c"};
    for (int index = 0; index < 6; ++index) {
        ASSERT_EQ(select(sys.kernel, std::stoul(modes[index], nullptr, 16)), result(0, set_line(modes[index], index, "/dev/v4l-subdev0")));
        EXPECT_EQ(sys.kernel.nodes.at("/dev/v4l-subdev0").controls[1].written.back(), index);
    }
    EXPECT_EQ(select(sys.kernel, 0x301d), result(-EINVAL, "Unknown sensor mode: 0x301d\n"));
    sys.kernel.fail_next(kernel_call::ioctl, EINTR, 1, VIDIOC_S_CTRL);
    EXPECT_EQ(select(sys.kernel, 0x321c).first, -1);
    EXPECT_EQ(select(sys.kernel, 0x211c, {.number = 1, .sensor_has_node = false}), result(0, set_line("211c", 3, "/dev/video1")));
    EXPECT_EQ(sys.kernel.nodes.at("/dev/video1").controls[0].written, std::vector<std::int32_t>{3});
    EXPECT_EQ(sys.kernel.descriptors.size(), 0u);
}

}  // namespace
}  // namespace vorlake::tessaro

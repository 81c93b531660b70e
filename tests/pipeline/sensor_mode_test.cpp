#include "pipeline/sensor_mode_control.hpp"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <memory>
#include <string>

#include "pipeline/jetson_camera_pipeline.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using test_support::jetson_device;
using test_support::jetson_device_options;
using test_support::kernel_call;
using test_support::simulated_kernel;
using test_support::simulated_system;

class sensor_mode_test : public ::testing::Test {
protected:
    void build(const jetson_device_options& options = {}) {
        device = sys.kernel.add_jetson_device(options);
        CaptureStdout();
        pipeline = std::make_unique<jetson_camera_pipeline>(device.media_path, "vorlake-csi2");
        GetCapturedStdout();
    }

    // The result of selecting the mode, and what it wrote.
    std::pair<int, std::string> select(std::uint32_t mode) {
        CaptureStdout();
        const int result = select_sensor_mode(*pipeline, mode);
        return {result, GetCapturedStdout()};
    }

    std::vector<std::int32_t>& written(const std::string& node) {
        for (auto& control : sys.kernel.node(node).controls) {
            if (control.id == simulated_kernel::sensor_mode_control)
                return control.written;
        }
        throw std::logic_error("no mode control on " + node);
    }

    simulated_system sys;
    jetson_device device;
    std::unique_ptr<jetson_camera_pipeline> pipeline;
};

TEST_F(sensor_mode_test, every_mode_sets_its_menu_index_on_the_sensor) {
    build();
    const std::pair<std::uint32_t, int> modes[] = {
        {0x311C, 0}, {0x321C, 1}, {0x301C, 2}, {0x211C, 3}, {0x221C, 4}, {0x201C, 5},
    };
    for (const auto& [mode, index] : modes) {
        SCOPED_TRACE(mode);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", mode);
        EXPECT_EQ(select(mode), std::make_pair(0, "Sensor mode set to 0x" + std::string(hex) +
                                                      " (menu index " + std::to_string(index) +
                                                      ") via V4L2 control on /dev/v4l-subdev0\n"));
        EXPECT_EQ(written("/dev/v4l-subdev0").back(), index);
    }
    EXPECT_EQ(select(0x301C).second,
              "Sensor mode set to 0x301c (menu index 2) via V4L2 control on /dev/v4l-subdev0\n");
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);  // the media device only
}

TEST_F(sensor_mode_test, an_unknown_mode_is_refused_before_any_device_call) {
    build();
    const std::size_t opened = sys.kernel.calls(kernel_call::open);
    EXPECT_EQ(select(0x301d), std::make_pair(-EINVAL, std::string("Unknown sensor mode: 0x301d\n")));
    EXPECT_EQ(select(4660), std::make_pair(-EINVAL, std::string("Unknown sensor mode: 0x1234\n")));
    EXPECT_EQ(select(0x1C), std::make_pair(-EINVAL, std::string("Unknown sensor mode: 0x1c\n")));
    EXPECT_EQ(sys.kernel.calls(kernel_call::open), opened);
}

TEST_F(sensor_mode_test, without_a_sensor_node_the_vi_output_node_takes_the_control) {
    jetson_device_options options;
    options.sensor_has_node = false;
    build(options);
    EXPECT_EQ(select(0x211C).second,
              "Sensor mode set to 0x211c (menu index 3) via V4L2 control on /dev/video0\n");
    EXPECT_EQ(written("/dev/video0").back(), 3);
}

TEST_F(sensor_mode_test, no_node_at_all) {
    jetson_device_options options;
    options.devname_in_uevent = false;
    build(options);
    EXPECT_EQ(select(0x311C),
              std::make_pair(-ENODEV, std::string("Cannot find device node for V4L2 control\n")));
}

TEST_F(sensor_mode_test, an_unopenable_node) {
    build();
    sys.kernel.node("/dev/v4l-subdev0").open_error = EBUSY;
    EXPECT_EQ(select(0x311C),
              std::make_pair(-EACCES, std::string("Cannot open device for sensor mode: /dev/v4l-subdev0\n")));
}

TEST_F(sensor_mode_test, a_rejected_control_returns_the_raw_ioctl_result) {
    build();
    sys.kernel.fail_next(kernel_call::ioctl, ERANGE, 1, VIDIOC_S_CTRL);
    EXPECT_EQ(select(0x321C),
              std::make_pair(-1, std::string("Error selecting sensor mode via V4L2 control on "
                                             "/dev/v4l-subdev0: -1\n")));
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
    // The request is not repeated on an interruption either.
    sys.kernel.fail_next(kernel_call::ioctl, EINTR, 1, VIDIOC_S_CTRL);
    EXPECT_EQ(select(0x321C).first, -1);
}

}  // namespace
}  // namespace vorlake::tessaro

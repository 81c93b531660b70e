#include "pipeline/sensor_mode_control.hpp"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "pipeline/jetson_camera_pipeline.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;
using test_support::kernel_call;

class sensor_mode_test : public ::testing::Test {
protected:
    void build(const test_support::jetson_device_options& options = {}) {
        sys.kernel.add_jetson_device(options);
        CaptureStdout();
        pipeline = std::make_unique<jetson_camera_pipeline>("/dev/media" + std::to_string(options.number), "vorlake-csi2");
        GetCapturedStdout();
    }

    // The result of selecting the mode, and what it wrote.
    std::pair<int, std::string> select(std::uint32_t mode) {
        CaptureStdout();
        const int result = select_sensor_mode(*pipeline, mode);
        return {result, GetCapturedStdout()};
    }

    // What was written to the mode control of a node.
    std::vector<std::int32_t>& written(const std::string& node) {
        for (auto& control : sys.kernel.nodes.at(node).controls) {
            if (control.id == test_support::simulated_kernel::sensor_mode_control)
                return control.written;
        }
        throw std::logic_error("no mode control on " + node);
    }

    test_support::simulated_system sys;
    std::unique_ptr<jetson_camera_pipeline> pipeline;
};

TEST_F(sensor_mode_test, every_mode_sets_its_menu_index_on_the_sensor) {
    build();
    const std::pair<std::uint32_t, std::string> modes[] = {
        {0x311C, "311c"}, {0x321C, "321c"}, {0x301C, "301c"},
        {0x211C, "211c"}, {0x221C, "221c"}, {0x201C, "201c"},
    };
    for (int index = 0; index < 6; ++index) {
        const auto& [mode, hex] = modes[index];
        EXPECT_EQ(select(mode), std::make_pair(0, "Sensor mode set to 0x" + hex + " (menu index " +
                                                      std::to_string(index) +
                                                      ") via V4L2 control on /dev/v4l-subdev0\n"));
        EXPECT_EQ(written("/dev/v4l-subdev0").back(), index);
    }
    EXPECT_EQ(sys.kernel.descriptors.size(), 1u);  // the media device only
    EXPECT_TRUE(written("/dev/video0").empty());
}

TEST_F(sensor_mode_test, an_unknown_mode_is_refused_before_any_device_call) {
    build();
    const std::size_t opened = sys.kernel.calls[kernel_call::open];
    EXPECT_EQ(select(0x301d), std::make_pair(-EINVAL, std::string("Unknown sensor mode: 0x301d\n")));
    EXPECT_EQ(select(0x1C), std::make_pair(-EINVAL, std::string("Unknown sensor mode: 0x1c\n")));
    EXPECT_EQ(sys.kernel.calls[kernel_call::open], opened);
}

TEST_F(sensor_mode_test, without_a_sensor_node_the_vi_output_node_takes_the_control) {
    build({.sensor_has_node = false});
    EXPECT_EQ(select(0x211C).second,
              "Sensor mode set to 0x211c (menu index 3) via V4L2 control on /dev/video0\n");
    EXPECT_EQ(written("/dev/video0").back(), 3);
}

TEST_F(sensor_mode_test, failures_to_reach_the_control) {
    build({.devname_in_uevent = false});
    EXPECT_EQ(select(0x311C), std::make_pair(-ENODEV, std::string("Cannot find device node for V4L2 control\n")));

    build({.number = 1});
    sys.kernel.nodes.at("/dev/v4l-subdev2").open_error = EBUSY;
    EXPECT_EQ(select(0x311C),
              std::make_pair(-EACCES, std::string("Cannot open device for sensor mode: /dev/v4l-subdev2\n")));
}

TEST_F(sensor_mode_test, a_rejected_control_returns_the_raw_ioctl_result_once) {
    build();
    // Not even an interruption makes the request again.
    for (const int error : {ERANGE, EINTR}) {
        sys.kernel.fail_next(kernel_call::ioctl, error, 1, VIDIOC_S_CTRL);
        EXPECT_EQ(select(0x321C), std::make_pair(-1, std::string("Error selecting sensor mode via V4L2 "
                                                                 "control on /dev/v4l-subdev0: -1\n")));
        EXPECT_EQ(sys.kernel.descriptors.size(), 1u);
    }
}

}  // namespace
}  // namespace vorlake::tessaro

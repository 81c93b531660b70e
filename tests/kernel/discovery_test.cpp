// Discovery on the real /sys/bus/media/devices/: vivid's media device is a media device, but no
// Jetson capture pipeline.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <vorlake/tessaro/camera_manager.hpp>

#include "camera/media_device_discovery.hpp"

namespace vorlake::tessaro {
namespace {

TEST(vivid_discovery, vivid_is_listed_but_is_no_jetson_pipeline) {
    const std::vector<std::string> devices = list_media_devices();
    EXPECT_NE(std::find(devices.begin(), devices.end(), "media0"), devices.end());
    EXPECT_EQ(std::find(devices.begin(), devices.end(), "."), devices.end());
    EXPECT_EQ(std::find(devices.begin(), devices.end(), ".."), devices.end());

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(make_camera_pipeline("/dev/media0", "vorlake-csi2"), nullptr);
    EXPECT_EQ(make_camera_pipeline("/dev/media77", "vorlake-csi2"), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(vivid_discovery, the_manager_finds_no_camera_and_says_nothing) {
    camera_manager& manager = camera_manager::instance();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(manager.init(), 0);
    EXPECT_TRUE(manager.get_camera_list().empty());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace vorlake::tessaro

// A discovered camera driven end to end against the simulated Jetson media device: discovery,
// pipeline configuration, sensor mode, capture through mapped driver buffers, decoding.
#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>

#include <string>

#include "support/raw_frame_encoder.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Opens and starts the camera in a mode; checks the sensor mode and the video format it set.
void open(simulated_kernel& kernel, camera& cam, std::uint32_t mode, const std::string& mode_line, std::uint32_t height) {
    CaptureStdout();
    CaptureStderr();
    ASSERT_EQ(cam.open(mode), 0);
    // The vorlake driver links itself: the pipeline runs in safe mode.
    EXPECT_EQ(GetCapturedStderr(), "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and VIDIOC_SUBDEV_S_FMT\n");
    EXPECT_NE(GetCapturedStdout().find("Sensor mode set to " + mode_line + " via V4L2 control on /dev/v4l-subdev0\n"),
              std::string::npos);
    const v4l2_pix_format& format = kernel.nodes.at("/dev/video0").video_formats.back().fmt.pix;
    EXPECT_EQ(std::pair(format.height, format.bytesperline), std::pair(height, 704u));
    EXPECT_EQ(kernel.mappings.size(), 4u);  // the image stream opened with the camera
    ASSERT_EQ(cam.configure_camera_output({true, true, true, true, true, true, true, true}), 0);
    ASSERT_EQ(cam.configure_camera_echo(3), 0);
    ASSERT_EQ(cam.start(), 0);
}

TEST(real_camera_path, from_discovery_to_decoded_frames_in_both_modes) {
    camera_manager& manager = camera_manager::instance();
    simulated_system sys;
    sys.kernel.add_jetson_device({});
    CaptureStdout();
    manager.init();
    GetCapturedStdout();
    std::shared_ptr<camera> cam = manager.get_camera("media0/IMX704");
    ASSERT_NE(cam, nullptr);
    for (const bool dual : {false, true}) {
        open(sys.kernel, *cam, dual ? 0x301C : 0x311C, dual ? "0x301c (menu index 2)" : "0x311c (menu index 0)",
             dual ? 1176 : 588);
        CaptureStdout();
        EXPECT_EQ(cam->get_frame(0).error, -ETIME);  // nothing in time, and streaming goes on
        EXPECT_TRUE(GetCapturedStdout().starts_with("Cannot get a frame: "));
        // More frames than driver buffers, encoded with 704-byte lines; each decodes right.
        for (unsigned seed = 0; seed < 6; ++seed) {
            const frame_values values = random_frame_values(seed, dual, 3);
            sys.kernel.push_frame("/dev/video0", encode_raw_frame(values, dual, true));
            CaptureStdout();
            const frame_buffer& frame = cam->get_frame(100);
            EXPECT_EQ(GetCapturedStdout(), "");
            ASSERT_EQ(frame.error, 0);
            EXPECT_EQ(frame.raw_image, encode_raw_frame(values, dual, false));  // the padding stripped
            for (std::size_t p = 0; p < values.pixels.size(); ++p) {
                ASSERT_EQ(frame.noise_level[p], values.pixels[p].noise_level) << p;
                ASSERT_EQ(frame.histogram[p], values.pixels[p].histogram) << p;
            }
        }
        EXPECT_EQ(cam->stop(), 0);
        EXPECT_EQ(cam->close(), 0);
        EXPECT_EQ(sys.kernel.descriptors.size(), 1u);  // the pipeline's media device
        EXPECT_EQ(sys.kernel.mappings.size(), 0u);
    }
    // A camera dropped while streaming leaves nothing open either.
    open(sys.kernel, *cam, 0x311C, "0x311c (menu index 0)", 588);
    cam.reset();
    sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
    CaptureStdout();
    manager.init();
    GetCapturedStdout();
    EXPECT_EQ(sys.kernel.descriptors.size(), 0u);
    EXPECT_EQ(sys.kernel.mappings.size(), 0u);
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

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

class real_camera_path_test : public ::testing::Test {
protected:
    real_camera_path_test() {
        sys.kernel.add_jetson_device({});
        CaptureStdout();
        manager.init();
        GetCapturedStdout();
        camera = manager.get_camera("media0/IMX704");
    }

    void TearDown() override {
        camera.reset();
        sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
        CaptureStdout();
        manager.init();
        GetCapturedStdout();
        EXPECT_EQ(sys.kernel.descriptors.size(), 0u);
        EXPECT_EQ(sys.kernel.mappings.size(), 0u);
    }

    // Opens the camera in a mode and checks the sensor mode and the video format it set.
    void open(std::uint32_t mode, const std::string& mode_line, std::uint32_t height) {
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(camera->open(mode), 0);
        // The vorlake driver links itself: the pipeline runs in safe mode.
        EXPECT_EQ(GetCapturedStderr(), "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and "
                                       "VIDIOC_SUBDEV_S_FMT\n");
        EXPECT_NE(GetCapturedStdout().find("Sensor mode set to " + mode_line +
                                           " via V4L2 control on /dev/v4l-subdev0\n"),
                  std::string::npos);
        const v4l2_pix_format& format = sys.kernel.nodes.at("/dev/video0").video_formats.back().fmt.pix;
        EXPECT_EQ(format.height, height);
        EXPECT_EQ(format.bytesperline, 704u);
        EXPECT_EQ(sys.kernel.mappings.size(), 4u);  // the image stream opened with the camera
        ASSERT_EQ(camera->configure_camera_output({true, true, true, true, true, true, true, true}), 0);
        ASSERT_EQ(camera->configure_camera_echo(3), 0);
        ASSERT_EQ(camera->start(), 0);
    }

    // Streams frames of the mode, encoded with 704-byte lines, and checks each decode.
    void stream(bool dual, unsigned first_seed, unsigned frames) {
        for (unsigned seed = first_seed; seed < first_seed + frames; ++seed) {
            const frame_values values = random_frame_values(seed, dual, 3);
            sys.kernel.push_frame("/dev/video0", encode_raw_frame(values, dual, true));
            CaptureStdout();
            const frame_buffer& frame = camera->get_frame(100);
            EXPECT_EQ(GetCapturedStdout(), "");
            ASSERT_EQ(frame.error, 0);
            EXPECT_EQ(frame.raw_image.size(), raw_frame_size(dual, false));
            for (std::size_t p = 0; p < values.pixels.size(); ++p) {
                const pixel_values& pixel = values.pixels[p];
                ASSERT_EQ(frame.noise_level[p], pixel.noise_level) << p;
                ASSERT_EQ(frame.histogram[p], pixel.histogram) << p;
                ASSERT_EQ(frame.pdc[p], pixel.pdc) << p;
                // The dual-depth merge leaves one result per pixel; single depth keeps every echo.
                for (std::size_t e = 0; e < 3 && !dual; ++e) {
                    ASSERT_EQ(frame.radial_depth[e][p], pixel.echoes[e].radial_depth) << p;
                    ASSERT_EQ(frame.point_cloud[e][p], pixel.echoes[e].point) << p;
                }
            }
        }
    }

    void stop_and_close() {
        CaptureStdout();
        EXPECT_EQ(camera->stop(), 0);
        EXPECT_EQ(camera->close(), 0);
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_FALSE(sys.kernel.queue("/dev/video0").streaming);
        EXPECT_EQ(sys.kernel.descriptors.size(), 1u);  // the pipeline's media device
        EXPECT_EQ(sys.kernel.mappings.size(), 0u);
    }

    simulated_system sys;
    camera_manager& manager = camera_manager::instance();
    std::shared_ptr<::vorlake::tessaro::camera> camera;
};

TEST_F(real_camera_path_test, single_then_dual_mode_from_discovery_to_decoded_frames) {
    ASSERT_NE(camera, nullptr);
    open(0x311C, "0x311c (menu index 0)", 588);
    stream(false, 0, 7);  // more frames than driver buffers
    stop_and_close();

    open(0x301C, "0x301c (menu index 2)", 1176);
    stream(true, 10, 5);
    EXPECT_EQ(sys.kernel.queue("/dev/video0").frames_delivered, 12u);
    stop_and_close();
}

TEST_F(real_camera_path_test, no_frame_in_time_is_reported_and_streaming_goes_on) {
    open(0x311C, "0x311c (menu index 0)", 588);
    CaptureStdout();
    EXPECT_EQ(camera->get_frame(0).error, -ETIME);
    EXPECT_TRUE(GetCapturedStdout().starts_with("Cannot get a frame: "));
    stream(false, 99, 1);
    stop_and_close();
}

TEST_F(real_camera_path_test, a_camera_dropped_while_streaming_leaves_nothing_open) {
    open(0x311C, "0x311c (menu index 0)", 588);
    // TearDown drops the last references without stop or close and checks the device.
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

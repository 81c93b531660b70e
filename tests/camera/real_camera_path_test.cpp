// A discovered camera driven end to end against the simulated Jetson media device: discovery,
// pipeline configuration, sensor mode, capture through mapped driver buffers, decoding.
#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <string>

#include "support/raw_frame_encoder.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

constexpr std::uint32_t single_mode = 0x311C;
constexpr std::uint32_t dual_mode = 0x301C;
constexpr std::size_t padded_line = 704;

camera_output_configuration every_output() {
    return {true, true, true, true, true, true, true, true};
}

class real_camera_path_test : public ::testing::Test {
protected:
    real_camera_path_test() {
        device = sys.kernel.add_jetson_device({});
        CaptureStdout();
        manager.init();
        GetCapturedStdout();
        camera = manager.get_camera("media0/IMX704");
    }

    void TearDown() override {
        camera.reset();
        sys.kernel.add_directory(simulated_kernel::media_devices_directory, {});
        CaptureStdout();
        manager.init();
        GetCapturedStdout();
        EXPECT_EQ(sys.kernel.open_descriptors(), 0u);
        EXPECT_EQ(sys.kernel.mappings(), 0u);
    }

    // Opens the camera in a mode; returns what it wrote on the standard output.
    std::string open(std::uint32_t mode) {
        CaptureStdout();
        CaptureStderr();
        const int result = camera->open(mode);
        const std::string err = GetCapturedStderr();
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(result, 0) << out << err;
        // The vorlake driver links itself: the pipeline runs in safe mode.
        EXPECT_EQ(err, "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and "
                       "VIDIOC_SUBDEV_S_FMT\n");
        return out;
    }

    // Streams `frames` frames of the mode through the simulated device; checks each decode.
    void stream(bool dual, unsigned frames) {
        ASSERT_EQ(camera->configure_camera_output(every_output()), 0);
        ASSERT_EQ(camera->configure_camera_echo(3), 0);
        ASSERT_EQ(camera->start(), 0);
        EXPECT_TRUE(sys.kernel.queue(device.image_node).streaming);
        const std::size_t delivered = sys.kernel.queue(device.image_node).frames_delivered;

        for (unsigned seed = 0; seed < frames; ++seed) {
            SCOPED_TRACE(seed);
            const frame_values values = random_frame_values(seed, dual, 3);
            const std::vector<std::uint8_t> wire = encode_raw_frame(values, dual, true);
            ASSERT_EQ(wire.size(), raw_frame_size(dual, false) / 672 * padded_line);
            sys.kernel.push_frame(device.image_node, wire);

            CaptureStdout();
            const frame_buffer& frame = camera->get_frame(100);
            EXPECT_EQ(GetCapturedStdout(), "");
            ASSERT_EQ(frame.error, 0);
            EXPECT_EQ(frame.raw_image.size(), raw_frame_size(dual, false));
            // The merge reduces the per-echo outputs to one result per pixel; the per-pixel
            // outputs keep both sub-frames.
            ASSERT_EQ(frame.radial_depth[0].size(), single_depth_pixels);
            ASSERT_EQ(frame.noise_level.size(), pixel_count(dual));
            if (dual)
                expect_per_pixel_decoded(frame, values);
            else
                expect_decoded(frame, values);
        }
        EXPECT_EQ(sys.kernel.queue(device.image_node).frames_delivered, delivered + frames);
    }

    static void expect_per_pixel_decoded(const frame_buffer& frame, const frame_values& values) {
        for (std::size_t p = 0; p < values.pixels.size(); ++p) {
            SCOPED_TRACE(p);
            ASSERT_EQ(frame.noise_level[p], values.pixels[p].noise_level);
            ASSERT_EQ(frame.histogram[p], values.pixels[p].histogram);
            ASSERT_EQ(frame.pdc[p], values.pixels[p].pdc);
        }
    }

    static void expect_decoded(const frame_buffer& frame, const frame_values& values) {
        for (std::size_t p = 0; p < single_depth_pixels; ++p) {
            SCOPED_TRACE(p);
            const pixel_values& pixel = values.pixels[p];
            ASSERT_EQ(frame.noise_level[p], pixel.noise_level);
            ASSERT_EQ(frame.histogram[p], pixel.histogram);
            ASSERT_EQ(frame.pdc[p], pixel.pdc);
            for (std::size_t e = 0; e < 3; ++e) {
                ASSERT_EQ(frame.radial_depth[e][p], pixel.echoes[e].radial_depth);
                ASSERT_EQ(frame.point_cloud[e][p], pixel.echoes[e].point);
                ASSERT_EQ(frame.cartesian_depth[e][p], pixel.echoes[e].point.z);
                ASSERT_EQ(frame.peak_height[e][p], pixel.echoes[e].peak_height);
                ASSERT_EQ(static_cast<std::uint8_t>(frame.peak_status[e][p]),
                          pixel.echoes[e].peak_status);
            }
        }
    }

    void stop_and_close() {
        CaptureStdout();
        EXPECT_EQ(camera->stop(), 0);
        EXPECT_EQ(camera->close(), 0);
        EXPECT_EQ(GetCapturedStdout(), "");
        // Only the pipeline's media device stays open; every buffer is unmapped.
        EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
        EXPECT_EQ(sys.kernel.mappings(), 0u);
    }

    simulated_system sys;
    jetson_device device;
    camera_manager& manager = camera_manager::instance();
    std::shared_ptr<::vorlake::tessaro::camera> camera;
};

TEST_F(real_camera_path_test, single_mode_from_discovery_to_decoded_frames) {
    ASSERT_NE(camera, nullptr);
    const std::string out = open(single_mode);
    EXPECT_NE(out.find("Sensor mode set to 0x311c (menu index 0) via V4L2 control on "
                       "/dev/v4l-subdev0\n"),
              std::string::npos);

    simulated_node& video = sys.kernel.node(device.image_node);
    ASSERT_EQ(video.video_formats.size(), 1u);
    EXPECT_EQ(video.video_formats[0].fmt.pix.height, 588u);
    EXPECT_EQ(video.video_formats[0].fmt.pix.bytesperline, padded_line);
    EXPECT_EQ(sys.kernel.mappings(), 4u);  // the image stream opened with the camera

    stream(false, 7);  // more frames than driver buffers
    stop_and_close();
}

TEST_F(real_camera_path_test, dual_mode_after_a_single_mode_session) {
    open(single_mode);
    stream(false, 2);
    stop_and_close();

    const std::string out = open(dual_mode);
    EXPECT_NE(out.find("Sensor mode set to 0x301c (menu index 2)"), std::string::npos);
    EXPECT_EQ(sys.kernel.node(device.image_node).video_formats.back().fmt.pix.height, 1176u);
    EXPECT_EQ(sys.kernel.queue(device.image_node).buffer_length, 1176 * padded_line);
    stream(true, 5);
    stop_and_close();
}

TEST_F(real_camera_path_test, no_frame_in_time_is_reported_and_streaming_goes_on) {
    open(single_mode);
    stream(false, 1);
    CaptureStdout();
    const frame_buffer& late = camera->get_frame(0);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(late.error, -ETIME);
    EXPECT_TRUE(out.starts_with("Cannot get a frame: ")) << out;

    const frame_values values = random_frame_values(99, false, 3);
    sys.kernel.push_frame(device.image_node, encode_raw_frame(values, false, true));
    CaptureStdout();
    const frame_buffer& next = camera->get_frame(100);
    GetCapturedStdout();
    ASSERT_EQ(next.error, 0);
    expect_decoded(next, values);
    stop_and_close();
}

TEST_F(real_camera_path_test, a_camera_dropped_while_streaming_leaves_nothing_open) {
    open(single_mode);
    ASSERT_EQ(camera->start(), 0);
    EXPECT_EQ(sys.kernel.mappings(), 4u);
    // TearDown drops the last references without stop or close and checks the device.
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

// A discovered camera driven end to end against the simulated Jetson media device: discovery,
// pipeline configuration, sensor mode, capture through mapped driver buffers, frame timing,
// decoding.
#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/captured_output.hpp"
#include "support/raw_frame_encoder.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

// Opens and starts the camera in a mode; checks the sensor mode and the video format it set.
void open(simulated_kernel& kernel, camera& cam, std::uint32_t mode, const std::string& mode_line, std::uint32_t height) {
    int opened = -1;
    const captured_output output = output_of([&] { opened = cam.open(mode); });
    ASSERT_EQ(opened, 0);
    // The vorlake driver links itself: the pipeline runs in safe mode.
    EXPECT_EQ(output.err, "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and VIDIOC_SUBDEV_S_FMT\n");
    EXPECT_NE(output.out.find("Sensor mode set to " + mode_line + " via V4L2 control on /dev/v4l-subdev0\n"), std::string::npos);
    const v4l2_pix_format& format = kernel.nodes.at("/dev/video0").video_formats.back().fmt.pix;
    EXPECT_EQ(std::pair(format.height, format.bytesperline), std::pair(height, 704u));
    EXPECT_EQ(kernel.mappings.size(), 4u);  // the image stream opened with the camera
    ASSERT_EQ(cam.configure_camera_output({true, true, true, true, true, true, true, true}), 0);
    ASSERT_EQ(cam.configure_camera_echo(3), 0);
    ASSERT_EQ(cam.start(), 0);
}

// Each buffer's sequence and monotonic timestamp reach the frame; a timestamp from another clock
// is reported unknown, and a gap in the sequence counts as dropped frames.
TEST(real_camera_path, from_discovery_to_decoded_frames_in_both_modes) {
    camera_manager& manager = camera_manager::instance();
    simulated_system sys;
    sys.kernel.add_jetson_device({});
    output_of([&] { manager.init(); });
    std::shared_ptr<camera> cam = manager.get_camera("media0/IMX704");
    ASSERT_NE(cam, nullptr);
    simulated_queue& queue = sys.kernel.queue("/dev/video0");
    struct step { std::uint32_t sequence, flags, dropped; std::uint64_t time; };
    const step steps[] = {
        {0, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 0, 100'000'250'000}, {1, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 0, 101'000'250'000},
        {4, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 2, 104'000'250'000}, {5, V4L2_BUF_FLAG_TIMESTAMP_COPY, 0, 0},
        {6, V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN, 0, 0}, {7, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 0, 107'000'250'000},
    };
    for (const bool dual : {false, true}) {
        open(sys.kernel, *cam, dual ? 0x301C : 0x311C, dual ? "0x301c (menu index 2)" : "0x311c (menu index 0)",
             dual ? 1176 : 588);
        EXPECT_EQ(printing("Cannot get a frame: stream[image]: errcode=-62", [&] { return cam->get_frame(0).error; }),
                  -ETIME);  // nothing in time, and streaming goes on
        // More frames than driver buffers, encoded with 704-byte lines; each decodes right.
        for (unsigned seed = 0; seed < 6; ++seed) {
            const frame_values values = random_frame_values(seed, dual, 3);
            queue.sequence = steps[seed].sequence;
            queue.timestamp_flags = steps[seed].flags;
            sys.kernel.push_frame("/dev/video0", encode_raw_frame(values, dual, true));
            const frame_buffer& frame = printing("", [&]() -> const frame_buffer& { return cam->get_frame(100); });
            ASSERT_EQ(frame.error, 0);
            EXPECT_EQ(std::tuple(frame.has_sequence, frame.sequence, frame.dropped_frames, frame.has_capture_time,
                                 frame.capture_time_ns),
                      std::tuple(true, steps[seed].sequence, steps[seed].dropped, steps[seed].time != 0, steps[seed].time));
            EXPECT_EQ(frame.raw_image, encode_raw_frame(values, dual, false));  // the padding stripped
            for (std::size_t p = 0; p < values.pixels.size(); ++p) {
                ASSERT_EQ(frame.noise_level[p], values.pixels[p].noise_level) << p;
                ASSERT_EQ(frame.histogram[p], values.pixels[p].histogram) << p;
            }
        }
        EXPECT_EQ(cam->get_dropped_frames(), 2u);
        EXPECT_EQ(cam->stop(), 0);
        EXPECT_EQ(cam->close(), 0);
        EXPECT_EQ(sys.kernel.descriptors.size(), 1u);  // the pipeline's media device
        EXPECT_EQ(sys.kernel.mappings.size(), 0u);
    }
    // A camera dropped while streaming leaves nothing open either.
    open(sys.kernel, *cam, 0x311C, "0x311c (menu index 0)", 588);
    cam.reset();
    sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
    output_of([&] { manager.init(); });
    EXPECT_EQ(sys.kernel.descriptors.size() + sys.kernel.mappings.size(), 0u);
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

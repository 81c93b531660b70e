// Raw frames through the real kernel and back: vivid loops its HDMI output into its HDMI input
// byte for byte when both carry the same timings and format, so encoded sensor frames shown on
// the output node come out of the capture node that a camera reads. With a 704-byte stride on
// both ends the capture buffers carry the padded frame a Jetson video node delivers after its
// preferred stride was set; dual-depth frames have twice the lines.
#include <gtest/gtest.h>

#include <vorlake/tessaro/camera.hpp>

#include "capture/v4l2_stream.hpp"
#include "kernel/vivid.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;
namespace ts = test_support;

struct loop_case {
    const char* name;
    std::uint32_t mode;
    bool dual;
    bool padded;
};

class vivid_loopback : public ::testing::TestWithParam<loop_case> {
protected:
    // vivid keeps looping the last output buffer queued, so one buffer, lent from our memory,
    // shows a frame until the next call.
    void show(const std::vector<std::uint8_t>& frame) {
        std::uint32_t type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        output.call(VIDIOC_STREAMOFF, &type);
        shown = frame;
        const auto size = static_cast<std::uint32_t>(shown.size());
        v4l2_requestbuffers request{.count = 1, .type = type, .memory = V4L2_MEMORY_USERPTR};
        v4l2_buffer buffer{.type = type, .bytesused = size, .field = V4L2_FIELD_NONE,
                           .memory = V4L2_MEMORY_USERPTR,
                           .m = {.userptr = reinterpret_cast<unsigned long>(shown.data())},
                           .length = size};
        ASSERT_EQ(output.call(VIDIOC_REQBUFS, &request), 0);
        ASSERT_EQ(output.call(VIDIOC_QBUF, &buffer), 0);
        ASSERT_EQ(output.call(VIDIOC_STREAMON, &type), 0);
    }

    std::vector<std::uint8_t> shown;
    device output{output_node};
};

// The loop starts with the next frame the capture side produces after the output buffer arrived;
// a few generated frames may come first. The camera compacts a padded frame, so its raw image is
// always the packed frame.
void expect_looped(camera& cam, const ts::frame_values& sent, bool dual) {
    const std::vector<std::uint8_t> packed = ts::encode_raw_frame(sent, dual, false);
    for (int attempt = 0; attempt < 30; ++attempt) {
        const frame_buffer& frame = cam.get_frame(frame_timeout_ms);
        ASSERT_NE(frame.error, -ETIME) << "the capture node stopped delivering frames";
        if (frame.error != 0 || frame.raw_image != packed)
            continue;
        // A dual-depth frame is merged down to one result per pixel: its decoding is checked
        // elsewhere, here it must arrive whole and decode without error.
        for (std::size_t pixel = 0; pixel < ts::single_depth_pixels && !dual; ++pixel) {
            const ts::pixel_values& in = sent.pixels[pixel];
            ASSERT_TRUE(frame.noise_level.at(pixel) == in.noise_level &&
                        frame.histogram.at(pixel) == in.histogram && frame.pdc.at(pixel) == in.pdc)
                << pixel;
            for (std::size_t echo = 0; echo < 3; ++echo)
                ASSERT_EQ(frame.radial_depth.at(echo).at(pixel), in.echoes[echo].radial_depth);
        }
        return;
    }
    ADD_FAILURE() << "the frame never came back unchanged";
}

TEST_P(vivid_loopback, a_camera_decodes_raw_frames_looped_through_the_kernel) {
    const loop_case& test = GetParam();
    const std::uint32_t stride = test.padded ? 704 : frame_width,
                        height = test.dual ? 2 * frame_height : frame_height;
    // Both ends carry the same timings and format; the loop only copies when they match.
    ASSERT_NO_FATAL_FAILURE(select_hdmi(height));
    ASSERT_NO_FATAL_FAILURE(set_grey_format(capture_node, height, stride));
    ASSERT_NO_FATAL_FAILURE(set_grey_format(output_node, height, stride));

    auto stream = std::make_unique<v4l2_stream>(V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node, "vivid");
    auto cam = create_camera_offline("vivid loop");
    cam->add_stream(stream_type::stream_image, std::move(stream));
    ASSERT_EQ(cam->open(test.mode), 0);
    ASSERT_EQ(cam->configure_camera_output({.enable_radial_depth = true, .enable_noise_level = true,
                                            .enable_histogram = true, .enable_pdc = true}), 0);
    ASSERT_EQ(cam->configure_camera_echo(3), 0);
    // The second frame comes after a stop and a start, which must queue the buffers again.
    for (unsigned seed : {7u, 8u}) {
        const ts::frame_values sent = ts::random_frame_values(seed, test.dual, 3);
        ASSERT_NO_FATAL_FAILURE(show(ts::encode_raw_frame(sent, test.dual, test.padded)));
        ASSERT_EQ(cam->start(), 0);
        ASSERT_NO_FATAL_FAILURE(expect_looped(*cam, sent, test.dual));
        ASSERT_EQ(cam->stop(), 0);
    }
    EXPECT_EQ(cam->close(), 0);
}

INSTANTIATE_TEST_SUITE_P(frames, vivid_loopback,
                         ::testing::Values(loop_case{"single_packed", 0x211C, false, false},
                                           loop_case{"single_padded", 0x211C, false, true},
                                           loop_case{"dual_packed", 0x201C, true, false},
                                           loop_case{"dual_padded", 0x301C, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorlake::tessaro

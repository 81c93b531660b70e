// Python threads on a camera streaming from vivid through the real kernel's V4L2 core, through
// pelorin: waits that let other threads run, and two threads streaming one camera.
#include <gtest/gtest.h>

#include <vorlake/tessaro/camera.hpp>

#include "camera_threads.hpp"
#include "capture/v4l2_stream.hpp"
#include "kernel/vivid_nodes.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro {
namespace {

using namespace vivid;
namespace ts = test_support;

// A camera that reads vivid's capture node, opened in the single-depth mode and streaming; the
// test parameter says whether it lets go of the interpreter lock while it waits.
class vivid_threads : public ::testing::TestWithParam<bool> {
protected:
    void start_camera() {
        cam->add_stream(stream_type::stream_image,
                        std::make_unique<v4l2_stream>(V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node, "vivid"));
        ASSERT_EQ(cam->open(0x211C) + cam->start(), 0);
    }

    std::shared_ptr<camera> cam = create_camera_offline("vivid threads");
};

// The webcam input delivers no frame while vivid drops every buffer.
TEST_P(vivid_threads, another_thread_runs_only_while_a_releasing_camera_waits_for_a_frame) {
    const device capture(capture_node);
    int webcam = 0;
    ASSERT_EQ(capture.call(VIDIOC_S_INPUT, &webcam) + set_control(capture, "Percentage of Dropped Buffers", 100), 0);
    start_camera();
    EXPECT_EQ(ts::camera_threads_failure("wait_beside", cam, GetParam(), "600"), "");
    EXPECT_EQ(cam->close() + set_control(capture, "Percentage of Dropped Buffers", 0), 0);
}

// Raw frames looped through vivid's HDMI ends, a frame some 15 ms.
TEST_P(vivid_threads, two_threads_stream_one_camera_while_one_restarts_it) {
    const device capture(capture_node), output(output_node);
    const std::vector<std::uint8_t> shown = ts::encode_raw_frame(ts::random_frame_values(3, false, 1), false, true);
    ASSERT_EQ(prepare_hdmi_loop(capture, output, frame_height) + set_grey_format(capture_node, frame_height, 704), 0);
    ASSERT_EQ(show_frame(output, shown, frame_height, 704), 0);
    start_camera();
    EXPECT_EQ(ts::camera_threads_failure("share", cam, GetParam(), "30, 0x211C"), "");
    EXPECT_EQ(cam->close(), 0);
}

INSTANTIATE_TEST_SUITE_P(lock, vivid_threads, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "released" : "held"; });

}  // namespace
}  // namespace vorlake::tessaro

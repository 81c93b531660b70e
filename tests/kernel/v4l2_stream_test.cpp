// The capture stream on vivid's video and metadata capture nodes: the real videobuf2 queue
// decides how many buffers there are, what a frame holds and when a buffer comes back.
#include <gtest/gtest.h>

#include <chrono>

#include "capture/v4l2_stream.hpp"
#include "kernel/vivid.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The buffer type; the node follows from it.
class vivid_stream : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(vivid_stream, opens_streams_restarts_and_closes) {
    const std::uint32_t type = GetParam();
    const bool metadata = type == V4L2_BUF_TYPE_META_CAPTURE;
    const std::string& node = metadata ? metadata_node : capture_node;
    // The webcam input feeds both nodes, a frame every 200 ms or so.
    int webcam = 0;
    ASSERT_EQ(device(capture_node).call(VIDIOC_S_INPUT, &webcam), 0);
    v4l2_format format{.type = type};
    ASSERT_EQ(device(node).call(VIDIOC_G_FMT, &format), 0);
    const std::uint32_t frame_size =
        metadata ? format.fmt.meta.buffersize : format.fmt.pix.sizeimage;
    const int descriptors = next_descriptor();
    v4l2_stream stream(type, node, "vivid");
    std::vector<std::uint8_t> frame;

    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.granted_buffers(), 4u);
    EXPECT_EQ(mapping_count(node), 4);
    // A queue that is not streaming is an error to poll and to the dequeue: no waiting it out.
    EXPECT_EQ(stream.read_frame(frame, 500), -EINVAL);

    // Stop ends the stream and hands every buffer back, so the second start must queue them all
    // again; more frames than buffers send each one round the queue.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(stream.start(), 0);
        int timeouts = 0;
        for (int i = 0; i < 6; ++i) {
            ASSERT_EQ(stream.read_frame(frame, frame_timeout_ms), 0) << round << "/" << i;
            EXPECT_EQ(frame.size(), frame_size);
            // The next frame is a frame period away: a zero timeout polls once, without waiting.
            const auto before = steady::now();
            timeouts += stream.read_frame(frame, 0) == -ETIME;
            EXPECT_LT(steady::now() - before, 100ms);
        }
        EXPECT_GE(timeouts, 1);
        stream.stop();
        EXPECT_EQ(stream.read_frame(frame, 0), -EINVAL);
    }

    stream.close();
    EXPECT_EQ(next_descriptor(), descriptors);
    EXPECT_EQ(mapping_count(node), 0);
    EXPECT_EQ(stream.start(), -EACCES);
}

INSTANTIATE_TEST_SUITE_P(
    nodes, vivid_stream,
    ::testing::Values(V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_BUF_TYPE_META_CAPTURE),
    [](const auto& info) { return info.index == 0 ? "video" : "metadata"; });

// vivid refuses the next queueing on request: every frame whose buffer it would not take back is
// delivered with the error, and the buffer goes back at the next read, so the queue never dries up.
TEST(vivid_stream_refused_requeue, never_starves_the_stream) {
    int webcam = 0;
    ASSERT_EQ(device(capture_node).call(VIDIOC_S_INPUT, &webcam), 0);
    const device controls(capture_node);
    v4l2_stream stream(V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node, "vivid");
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    for (int round = 0; round < 6; ++round) {  // more refusals than buffers
        ASSERT_EQ(set_control(controls, "Inject VIDIOC_QBUF Error", 1), 0);
        frame.clear();
        EXPECT_EQ(stream.read_frame(frame, frame_timeout_ms), -EINVAL) << round;
        EXPECT_FALSE(frame.empty());
        ASSERT_EQ(stream.read_frame(frame, frame_timeout_ms), 0) << round;
    }
    stream.close();
}

}  // namespace
}  // namespace vorlake::tessaro

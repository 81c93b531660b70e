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

struct stream_case {
    const char* name;
    std::uint32_t type;
    std::string node;
};

class vivid_stream : public ::testing::TestWithParam<stream_case> {
protected:
    // The webcam input feeds both nodes, a frame every 200 ms.
    void SetUp() override {
        int webcam = 0;
        ASSERT_EQ(device(capture_node).call(VIDIOC_S_INPUT, &webcam), 0);
    }

    std::uint32_t format_size() const {
        v4l2_format format{.type = GetParam().type};
        EXPECT_EQ(device(GetParam().node).call(VIDIOC_G_FMT, &format), 0);
        return GetParam().type == V4L2_BUF_TYPE_META_CAPTURE ? format.fmt.meta.buffersize
                                                             : format.fmt.pix.sizeimage;
    }

    // Read through a second descriptor: the queue as the driver sees it.
    void expect_every_buffer_back_with_us() const {
        device observer(GetParam().node);
        for (std::uint32_t index = 0; index < 4; ++index) {
            v4l2_buffer buffer{.index = index, .type = GetParam().type,
                               .memory = V4L2_MEMORY_MMAP};
            ASSERT_EQ(observer.call(VIDIOC_QUERYBUF, &buffer), 0);
            EXPECT_FALSE(buffer.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE)) << index;
        }
    }
};

TEST_P(vivid_stream, opens_streams_restarts_and_closes) {
    const stream_case& test = GetParam();
    const std::uint32_t frame_size = format_size();
    const int descriptors = open_descriptor_count();
    v4l2_stream stream(test.type, test.node, test.name);
    std::vector<std::uint8_t> frame;

    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.granted_buffers(), 4u);
    EXPECT_EQ(open_descriptor_count(), descriptors + 1);
    EXPECT_EQ(mapping_count(test.node), 4);
    // A queue that is not streaming is an error to select and to the dequeue: no waiting.
    const auto before_start = steady::now();
    EXPECT_EQ(stream.read_frame(frame, 500), -EINVAL);
    EXPECT_LT(steady::now() - before_start, 250ms);

    // Stop hands every buffer back, so the second start must queue them all again; more frames
    // than buffers send each one round the queue.
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(stream.start(), 0);
        int timeouts = 0;
        for (int i = 0; i < 6; ++i) {
            ASSERT_EQ(stream.read_frame(frame, frame_timeout_ms), 0) << round << "/" << i;
            EXPECT_EQ(frame.size(), frame_size);
            // The next frame is a frame period away: a zero timeout polls once, without waiting.
            const auto before = steady::now();
            timeouts += stream.read_frame(frame, 0) == -ETIME;
            EXPECT_LT(steady::now() - before, 50ms);
        }
        EXPECT_GE(timeouts, 1);
        stream.stop();
        expect_every_buffer_back_with_us();
    }

    stream.close();
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_EQ(mapping_count(test.node), 0);
    EXPECT_EQ(stream.start(), -EACCES);
    EXPECT_EQ(stream.read_frame(frame, 0), -EACCES);
}

INSTANTIATE_TEST_SUITE_P(
    nodes, vivid_stream,
    ::testing::Values(stream_case{"Image data", V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node},
                      stream_case{"Embedded data", V4L2_BUF_TYPE_META_CAPTURE, metadata_node}),
    [](const auto& info) { return info.index == 0 ? "video" : "metadata"; });

TEST(vivid_stream_missing_node, open_gives_enoent_and_names_the_node) {
    v4l2_stream stream(V4L2_BUF_TYPE_VIDEO_CAPTURE, "/dev/video77", "Image data");
    const int descriptors = open_descriptor_count();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(stream.open(), -ENOENT);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Image data: - cannot open /dev/video77: 2, No such file or directory\n");
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

}  // namespace
}  // namespace vorlake::tessaro

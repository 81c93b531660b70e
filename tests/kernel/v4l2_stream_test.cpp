// The capture stream on vivid's capture node: the real videobuf2 queue decides how many buffers
// there are, what a frame holds and when a buffer comes back.
#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <vorlake/tessaro/camera.hpp>

#include "capture/v4l2_stream.hpp"
#include "kernel/probe_pipeline.hpp"
#include "kernel/vivid_device.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;

constexpr std::uint32_t video_capture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr unsigned frame_timeout_ms = 2000;

class vivid_stream : public ::testing::Test {
protected:
    void SetUp() override {
        nodes = find_vivid_nodes();
        ASSERT_FALSE(nodes.capture.empty()) << "vivid has no capture node";
        ASSERT_EQ(select_hdmi_input(nodes), 0);
        probe_pipeline pipeline(nodes.media);
        ASSERT_EQ(pipeline.set_video_format(nodes.capture, frame_width, frame_height,
                                            V4L2_PIX_FMT_GREY),
                  0);
        stream = std::make_unique<v4l2_stream>(video_capture, nodes.capture, "Image data");
    }

    void TearDown() override {
        if (stream)
            stream->close();
    }

    // The flags of every driver buffer, read through a second descriptor: querying a buffer is
    // allowed to anyone, so this sees the queue as the driver does.
    std::vector<std::uint32_t> buffer_flags(std::uint32_t count) const {
        device observer(nodes.capture);
        std::vector<std::uint32_t> flags;
        for (std::uint32_t index = 0; index < count; ++index) {
            v4l2_buffer buffer{};
            buffer.index = index;
            buffer.type = video_capture;
            buffer.memory = V4L2_MEMORY_MMAP;
            EXPECT_EQ(observer.call(VIDIOC_QUERYBUF, &buffer), 0) << "buffer " << index;
            flags.push_back(buffer.flags);
        }
        return flags;
    }

    vivid_nodes nodes;
    std::unique_ptr<v4l2_stream> stream;
};

TEST_F(vivid_stream, open_maps_four_buffers_and_close_releases_everything) {
    const int descriptors = open_descriptor_count();
    ASSERT_EQ(mapping_count(nodes.capture), 0);

    ASSERT_EQ(stream->open(), 0);
    EXPECT_EQ(stream->granted_buffers(), 4u);
    EXPECT_EQ(open_descriptor_count(), descriptors + 1);
    EXPECT_EQ(mapping_count(nodes.capture), 4);
    for (std::uint32_t flags : buffer_flags(4))
        EXPECT_TRUE(flags & V4L2_BUF_FLAG_QUEUED) << std::hex << flags;

    stream->close();
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_EQ(mapping_count(nodes.capture), 0);
    // The driver freed its buffers with the last descriptor: the format may change again.
    probe_pipeline pipeline(nodes.media);
    EXPECT_EQ(pipeline.set_video_format(nodes.capture, frame_width, frame_height,
                                        V4L2_PIX_FMT_GREY),
              0);
}

TEST_F(vivid_stream, frames_have_the_size_the_format_gives) {
    device observer(nodes.capture);
    v4l2_format format{};
    format.type = video_capture;
    ASSERT_EQ(observer.call(VIDIOC_G_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.pixelformat, V4L2_PIX_FMT_GREY);
    EXPECT_EQ(format.fmt.pix.bytesperline, frame_width);
    EXPECT_EQ(format.fmt.pix.sizeimage, frame_bytes);

    ASSERT_EQ(stream->open(), 0);
    ASSERT_EQ(stream->start(), 0);
    std::vector<std::uint8_t> frame;
    // More frames than buffers: every buffer goes round the queue at least once.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(stream->read_frame(frame, frame_timeout_ms), 0) << "frame " << i;
        ASSERT_EQ(frame.size(), frame_bytes) << "frame " << i;
    }
    stream->stop();
}

TEST_F(vivid_stream, zero_timeout_polls_once) {
    ASSERT_EQ(stream->open(), 0);
    ASSERT_EQ(stream->start(), 0);
    std::vector<std::uint8_t> frame;
    // Right after a frame the next one is a frame period (15 ms) away, so a poll finds nothing
    // and must not wait for it. A VM that was descheduled for that long may see the next frame
    // already; a few tries tell the two apart.
    int timeouts = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ASSERT_EQ(stream->read_frame(frame, frame_timeout_ms), 0);
        const auto before = std::chrono::steady_clock::now();
        const int result = stream->read_frame(frame, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
        ASSERT_TRUE(result == -ETIME || result == 0) << result;
        timeouts += result == -ETIME;
    }
    EXPECT_GE(timeouts, 1);
    stream->stop();
}

TEST_F(vivid_stream, reading_an_open_stream_that_was_not_started_reports_the_driver_error) {
    ASSERT_EQ(stream->open(), 0);
    std::vector<std::uint8_t> frame;
    // videobuf2 reports a queue that is not streaming as an error to select, and refuses the
    // dequeue with EINVAL: the read fails at once instead of waiting out its timeout.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(stream->read_frame(frame, 500), -EINVAL);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(250));
}

TEST_F(vivid_stream, stop_hands_every_buffer_back_and_start_queues_them_again) {
    ASSERT_EQ(stream->open(), 0);
    ASSERT_EQ(stream->start(), 0);
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(stream->read_frame(frame, frame_timeout_ms), 0);

    stream->stop();
    for (std::uint32_t flags : buffer_flags(4))
        EXPECT_FALSE(flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE)) << std::hex << flags;

    ASSERT_EQ(stream->start(), 0);
    for (std::uint32_t flags : buffer_flags(4))
        EXPECT_TRUE(flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE)) << std::hex << flags;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(stream->read_frame(frame, frame_timeout_ms), 0) << "frame " << i;
        EXPECT_EQ(frame.size(), frame_bytes);
    }
    stream->stop();
}

TEST_F(vivid_stream, a_closed_stream_refuses_to_start_or_read) {
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(stream->start(), -EACCES);
    EXPECT_EQ(stream->read_frame(frame, 0), -EACCES);
    ASSERT_EQ(stream->open(), 0);
    stream->close();
    EXPECT_EQ(stream->start(), -EACCES);
}

TEST(vivid_stream_missing_node, open_gives_enoent_and_names_the_node) {
    v4l2_stream stream(video_capture, "/dev/video77", "Image data");
    const int descriptors = open_descriptor_count();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(stream.open(), -ENOENT);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Image data: - cannot open /dev/video77: 2, No such file or directory\n");
    EXPECT_EQ(open_descriptor_count(), descriptors);
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(stream.read_frame(frame, 0), -EACCES);
}

// The embedded-data stream's buffer type: vivid's metadata node (fed while the capture node is
// on its webcam input) streams through the same code.
TEST(vivid_metadata_stream, streams_metadata_buffers) {
    const vivid_nodes nodes = find_vivid_nodes();
    ASSERT_FALSE(nodes.metadata.empty()) << "vivid has no metadata capture node";
    {
        device capture(nodes.capture);
        int input = webcam_input;
        ASSERT_EQ(capture.call(VIDIOC_S_INPUT, &input), 0);
    }
    device observer(nodes.metadata);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_META_CAPTURE;
    ASSERT_EQ(observer.call(VIDIOC_G_FMT, &format), 0);
    ASSERT_GT(format.fmt.meta.buffersize, 0u);

    v4l2_stream stream(V4L2_BUF_TYPE_META_CAPTURE, nodes.metadata, "Embedded data");
    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.granted_buffers(), 4u);
    ASSERT_EQ(stream.start(), 0);
    std::vector<std::uint8_t> frame;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(stream.read_frame(frame, frame_timeout_ms), 0) << "frame " << i;
        EXPECT_EQ(frame.size(), format.fmt.meta.buffersize);
    }
    stream.stop();
    stream.close();
    EXPECT_EQ(mapping_count(nodes.metadata), 0);
}

// The whole frame path through the real kernel: a camera whose image stream is vivid's capture
// node decodes the test pattern, a size-valid single-depth frame, without error.
TEST_F(vivid_stream, camera_gets_frames_end_to_end) {
    auto camera = create_camera_offline("vivid");
    camera->add_stream(stream_type::stream_image, std::move(stream));
    ASSERT_EQ(camera->open(0x211C), 0);
    ASSERT_EQ(camera->start(), 0);
    for (int i = 0; i < 5; ++i) {
        const frame_buffer& frame = camera->get_frame(frame_timeout_ms);
        ASSERT_EQ(frame.error, 0) << "frame " << i;
        EXPECT_EQ(frame.raw_image.size(), frame_bytes);
    }
    // A second round on the same open stream: stop handed the buffers back, start queues them.
    ASSERT_EQ(camera->stop(), 0);
    ASSERT_EQ(camera->start(), 0);
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(camera->get_frame(frame_timeout_ms).error, 0) << "frame " << i << " after restart";
    EXPECT_EQ(camera->stop(), 0);
    EXPECT_EQ(camera->close(), 0);
    EXPECT_EQ(mapping_count(nodes.capture), 0);
}

}  // namespace
}  // namespace vorlake::tessaro

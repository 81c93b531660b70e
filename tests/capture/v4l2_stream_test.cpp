#include "capture/v4l2_stream.hpp"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::kernel_call;
using test_support::simulated_system;

constexpr char node[] = "/dev/video0";
constexpr std::size_t buffer_length = 4096;

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

class v4l2_stream_test : public ::testing::Test {
protected:
    v4l2_stream_test() { sys.kernel.add_capture_device(node).queue->buffer_length = buffer_length; }

    test_support::simulated_queue& queue() { return sys.kernel.queue(node); }

    void expect_nothing_left() {
        EXPECT_EQ(sys.kernel.open_descriptors(), 0u);
        EXPECT_EQ(sys.kernel.mappings(), 0u);
    }

    simulated_system sys;
    v4l2_stream stream{V4L2_BUF_TYPE_VIDEO_CAPTURE, node, "Image data"};
    std::vector<std::uint8_t> frame;
};

TEST_F(v4l2_stream_test, streams_frames_and_releases_everything_on_close) {
    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.granted_buffers(), 4u);
    EXPECT_EQ(sys.kernel.mappings(), 4u);
    EXPECT_EQ(queue().queued.size(), 4u);  // open hands every buffer to the driver
    ASSERT_EQ(stream.start(), 0);

    for (std::uint8_t seed = 0; seed < 6; ++seed) {  // more frames than buffers
        sys.kernel.push_frame(node, pattern(1000 + seed, seed));
        ASSERT_EQ(stream.read_frame(frame, 100), 0);
        EXPECT_EQ(frame, pattern(1000 + seed, seed));
    }
    stream.stop();
    stream.close();
    expect_nothing_left();
}

TEST_F(v4l2_stream_test, steady_frames_reuse_the_callers_vector) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    frame.reserve(2000);
    const std::uint8_t* storage = frame.data();
    sys.kernel.push_frame(node, pattern(1500, 1));
    ASSERT_EQ(stream.read_frame(frame, 100), 0);
    EXPECT_EQ(frame.size(), 1500u);
    EXPECT_EQ(frame.data(), storage);
}

TEST_F(v4l2_stream_test, a_closed_stream_refuses_to_start_or_read) {
    EXPECT_EQ(stream.start(), -EACCES);
    EXPECT_EQ(stream.read_frame(frame, 10), -EACCES);
    stream.stop();  // harmless
    stream.close();
    EXPECT_EQ(sys.kernel.ioctl_log().size(), 0u);
}

TEST_F(v4l2_stream_test, a_second_open_only_says_so) {
    ASSERT_EQ(stream.open(), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(stream.open(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Image data: already opened \n");
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
    EXPECT_EQ(sys.kernel.ioctls(VIDIOC_REQBUFS), 1u);
}

TEST_F(v4l2_stream_test, a_missing_node_reports_the_system_error) {
    v4l2_stream missing{V4L2_BUF_TYPE_VIDEO_CAPTURE, "/dev/video9", "Image data"};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(missing.open(), -ENOENT);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::string("Image data: - cannot open /dev/video9: 2, ") + std::strerror(ENOENT) +
                  "\n");
    EXPECT_EQ(missing.read_frame(frame, 0), -EACCES);
}

TEST_F(v4l2_stream_test, a_stream_without_a_node_has_no_source) {
    EXPECT_TRUE(stream.has_source());
    EXPECT_FALSE((v4l2_stream{V4L2_BUF_TYPE_META_CAPTURE, "", "Embedded data"}.has_source()));
}

TEST_F(v4l2_stream_test, a_grant_outside_one_to_four_leaves_the_stream_closed) {
    for (const std::uint32_t grant : {0u, 5u}) {
        SCOPED_TRACE(grant);
        queue().grant = grant;
        EXPECT_EQ(stream.open(), -ENOMEM);
        EXPECT_EQ(stream.start(), -EACCES);
        expect_nothing_left();
    }
    queue().grant = 2;
    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.granted_buffers(), 2u);
    EXPECT_EQ(sys.kernel.mappings(), 2u);
}

TEST_F(v4l2_stream_test, a_failing_mapping_unmaps_the_others_and_closes) {
    sys.kernel.fail_next(kernel_call::mmap, ENOMEM, 1, 0, {}, 2);  // the third buffer
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(stream.open(), -ENOMEM);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::string("Failed to mmap buffers for Image data: ") + std::strerror(ENOMEM) + "\n");
    expect_nothing_left();
    // Nothing of the failed attempt is in the way of the next one.
    EXPECT_EQ(stream.open(), 0);
}

TEST_F(v4l2_stream_test, failing_set_up_requests_close_the_device) {
    for (const unsigned long request : {VIDIOC_REQBUFS, VIDIOC_QUERYBUF, VIDIOC_QBUF}) {
        SCOPED_TRACE(request);
        sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, request);
        EXPECT_EQ(stream.open(), -EIO);
        expect_nothing_left();
    }
}

TEST_F(v4l2_stream_test, interrupted_calls_never_surface) {
    struct interruption {
        kernel_call call;
        unsigned long request;
    };
    const interruption interruptions[] = {
        {kernel_call::open, 0},         {kernel_call::ioctl, VIDIOC_REQBUFS},
        {kernel_call::ioctl, VIDIOC_QUERYBUF}, {kernel_call::ioctl, VIDIOC_QBUF},
        {kernel_call::ioctl, VIDIOC_STREAMON}, {kernel_call::select, 0},
        {kernel_call::ioctl, VIDIOC_DQBUF},    {kernel_call::ioctl, VIDIOC_STREAMOFF},
    };
    for (const interruption& each : interruptions) {
        SCOPED_TRACE(static_cast<int>(each.call));
        SCOPED_TRACE(each.request);
        sys.kernel.fail_next(each.call, EINTR, 3, each.request);
        ASSERT_EQ(stream.open(), 0);
        ASSERT_EQ(stream.start(), 0);
        sys.kernel.push_frame(node, pattern(100, 7));
        ASSERT_EQ(stream.read_frame(frame, 1000), 0);
        EXPECT_EQ(frame, pattern(100, 7));
        stream.stop();
        EXPECT_FALSE(queue().streaming);
        stream.close();
        expect_nothing_left();
    }
}

TEST_F(v4l2_stream_test, an_interrupted_wait_goes_on_with_the_time_left) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    sys.kernel.push_frame(node, pattern(10, 0));
    sys.kernel.fail_next(kernel_call::select, EINTR);
    ASSERT_EQ(stream.read_frame(frame, 2000), 0);
    ASSERT_EQ(sys.kernel.select_timeouts.size(), 2u);
    const auto micros = [](const timeval& t) { return t.tv_sec * 1'000'000 + t.tv_usec; };
    EXPECT_LE(micros(sys.kernel.select_timeouts[0]), 2'000'000);
    EXPECT_GT(micros(sys.kernel.select_timeouts[0]), 1'000'000);
    EXPECT_LE(micros(sys.kernel.select_timeouts[1]), micros(sys.kernel.select_timeouts[0]));
}

TEST_F(v4l2_stream_test, a_zero_timeout_polls_once) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    EXPECT_EQ(stream.read_frame(frame, 0), -ETIME);
    EXPECT_EQ(sys.kernel.calls(kernel_call::select), 1u);
    ASSERT_EQ(sys.kernel.select_timeouts.size(), 1u);
    EXPECT_EQ(sys.kernel.select_timeouts[0].tv_sec, 0);
    EXPECT_EQ(sys.kernel.select_timeouts[0].tv_usec, 0);

    // An interruption or a would-block dequeue with no time left ends the wait as well.
    sys.kernel.fail_next(kernel_call::select, EINTR);
    EXPECT_EQ(stream.read_frame(frame, 0), -ETIME);
    sys.kernel.push_frame(node, pattern(10, 0));
    sys.kernel.fail_next(kernel_call::ioctl, EAGAIN, 1, VIDIOC_DQBUF);
    EXPECT_EQ(stream.read_frame(frame, 0), -ETIME);
    EXPECT_TRUE(frame.empty());
}

TEST_F(v4l2_stream_test, a_would_block_dequeue_waits_again) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    sys.kernel.push_frame(node, pattern(10, 3));
    sys.kernel.fail_next(kernel_call::ioctl, EAGAIN, 2, VIDIOC_DQBUF);
    ASSERT_EQ(stream.read_frame(frame, 1000), 0);
    EXPECT_EQ(frame, pattern(10, 3));
    EXPECT_EQ(sys.kernel.calls(kernel_call::select), 3u);
}

TEST_F(v4l2_stream_test, other_failures_end_the_read_with_their_code) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    frame = {1, 2, 3};
    sys.kernel.fail_next(kernel_call::select, ENOMEM);
    EXPECT_EQ(stream.read_frame(frame, 100), -ENOMEM);
    sys.kernel.push_frame(node, pattern(10, 0));
    sys.kernel.fail_next(kernel_call::ioctl, EPIPE, 1, VIDIOC_DQBUF);
    EXPECT_EQ(stream.read_frame(frame, 100), -EPIPE);
    EXPECT_EQ(frame, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(v4l2_stream_test, unusable_buffers_are_dropped_with_an_io_error) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    frame = {9};

    // Too many bytes: the buffer goes back to the driver and streaming carries on.
    sys.kernel.push_frame(node, pattern(100, 0));
    queue().next_bytesused = buffer_length + 1;
    EXPECT_EQ(stream.read_frame(frame, 100), -EIO);
    EXPECT_EQ(frame, std::vector<std::uint8_t>{9});
    EXPECT_EQ(queue().queued.size(), 4u);

    // An index the stream never mapped is not re-queued.
    sys.kernel.push_frame(node, pattern(100, 0));
    queue().next_index = 4;
    const std::size_t queued_before = sys.kernel.ioctls(VIDIOC_QBUF);
    EXPECT_EQ(stream.read_frame(frame, 100), -EIO);
    EXPECT_EQ(sys.kernel.ioctls(VIDIOC_QBUF), queued_before);
    EXPECT_EQ(queue().queued.size(), 3u);

    sys.kernel.push_frame(node, pattern(100, 5));
    ASSERT_EQ(stream.read_frame(frame, 100), 0);
    EXPECT_EQ(frame, pattern(100, 5));
}

TEST_F(v4l2_stream_test, a_failed_requeue_still_delivers_the_frame) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    sys.kernel.push_frame(node, pattern(50, 1));
    sys.kernel.fail_next(kernel_call::ioctl, ENODEV, 1, VIDIOC_QBUF);
    EXPECT_EQ(stream.read_frame(frame, 100), -ENODEV);
    EXPECT_EQ(frame, pattern(50, 1));
}

TEST_F(v4l2_stream_test, stop_and_start_queue_every_buffer_again) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    sys.kernel.push_frame(node, pattern(10, 0));
    ASSERT_EQ(stream.read_frame(frame, 100), 0);

    stream.stop();
    EXPECT_FALSE(queue().streaming);
    EXPECT_TRUE(queue().queued.empty());
    const std::size_t queued_before = sys.kernel.ioctls(VIDIOC_QBUF);
    ASSERT_EQ(stream.start(), 0);
    EXPECT_EQ(sys.kernel.ioctls(VIDIOC_QBUF), queued_before + 4);
    EXPECT_EQ(queue().queued.size(), 4u);
    EXPECT_EQ(sys.kernel.ioctl_log().back(), VIDIOC_STREAMON);

    for (std::uint8_t seed = 0; seed < 5; ++seed) {
        sys.kernel.push_frame(node, pattern(20, seed));
        ASSERT_EQ(stream.read_frame(frame, 100), 0);
        EXPECT_EQ(frame, pattern(20, seed));
    }
}

TEST_F(v4l2_stream_test, a_failed_stream_off_keeps_the_buffers_queued) {
    ASSERT_EQ(stream.open(), 0);
    ASSERT_EQ(stream.start(), 0);
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, VIDIOC_STREAMOFF);
    stream.stop();
    const std::size_t queued_before = sys.kernel.ioctls(VIDIOC_QBUF);
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, VIDIOC_STREAMON);
    EXPECT_EQ(stream.start(), -EIO);
    EXPECT_EQ(sys.kernel.ioctls(VIDIOC_QBUF), queued_before);
}

TEST_F(v4l2_stream_test, a_descriptor_beyond_select_reach_is_refused) {
    sys.kernel.set_next_fd(1024);
    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.read_frame(frame, 0), -EINVAL);
    EXPECT_EQ(sys.kernel.calls(kernel_call::select), 0u);
}

TEST_F(v4l2_stream_test, dropping_an_open_stream_releases_the_device) {
    {
        v4l2_stream dropped{V4L2_BUF_TYPE_VIDEO_CAPTURE, node, "Image data"};
        ASSERT_EQ(dropped.open(), 0);
        ASSERT_EQ(dropped.start(), 0);
    }
    expect_nothing_left();
}

}  // namespace
}  // namespace vorlake::tessaro

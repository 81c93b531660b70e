#include "capture/v4l2_stream.hpp"

#include <climits>
#include <optional>

#include "support/captured_output.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::kernel_call;
using bytes = std::vector<std::uint8_t>;

constexpr char node[] = "/dev/video0";

// Frames told apart by their length and content.
bytes pattern(std::uint8_t seed) { return bytes(100u + seed, seed); }

class v4l2_stream_test : public ::testing::Test {
protected:
    v4l2_stream_test() {
        sys.kernel.nodes[node].queue.emplace().buffer_length = 4096;
        sys.kernel.next_fd = FD_SETSIZE;  // a busy process's descriptors stream all the same
    }
    void start() { ASSERT_EQ(stream.open() + stream.start(), 0); }
    // Reads the frame of seed, supplied now unless the driver has it already.
    void expect_frame(std::uint8_t seed, bool supply = true) {
        if (supply)
            sys.kernel.push_frame(node, pattern(seed));
        ASSERT_EQ(stream.read_frame(frame, 100), 0);
        EXPECT_EQ(frame, pattern(seed));
    }
    void expect_nothing_left() { EXPECT_EQ(sys.kernel.descriptors.size() + sys.kernel.mappings.size(), 0u); }

    test_support::simulated_system sys;
    v4l2_stream stream{V4L2_BUF_TYPE_VIDEO_CAPTURE, node, "Image data"};
    bytes frame;
};

TEST_F(v4l2_stream_test, a_failed_set_up_leaves_nothing_behind) {
    struct fault_case { kernel_call call; unsigned long request; int skip, error; std::optional<std::uint32_t> grant; };
    const fault_case cases[] = {
        {kernel_call::ioctl, VIDIOC_REQBUFS, 0, EIO, {}}, {kernel_call::ioctl, VIDIOC_QUERYBUF, 1, EIO, {}},
        {kernel_call::ioctl, VIDIOC_QBUF, 3, EIO, {}},    {kernel_call::mmap, 0, 2, ENOMEM, {}},
        {kernel_call::open, 0, 0, 0, 0u}, {kernel_call::open, 0, 0, 0, 5u},  // no buffer granted, or too many
    };
    for (const fault_case& each : cases) {
        SCOPED_TRACE(&each - cases);
        if (each.error != 0)
            sys.kernel.fail_next(each.call, each.error, 1, each.request, each.skip);
        sys.kernel.queue(node).grant = each.grant;
        test_support::output_of([&] { EXPECT_EQ(stream.open(), each.grant ? -ENOMEM : -each.error); });
        EXPECT_EQ(stream.start(), -EACCES);
        expect_nothing_left();
    }
}

// Every wait gets what is left of the whole timeout, one that poll cannot take in steps; a frame
// not read in time is not lost.
TEST_F(v4l2_stream_test, waiting_for_a_frame) {
    struct wait_case { kernel_call call; unsigned long request; int error, times; unsigned timeout_ms; int result; std::size_t waits; };
    // The last case has no frame at all.
    const wait_case cases[] = {
        {kernel_call::poll, 0, EINTR, 1, 2000, 0, 2}, {kernel_call::ioctl, VIDIOC_DQBUF, EAGAIN, 2, 1000, 0, 3},
        {kernel_call::ioctl, VIDIOC_DQBUF, EAGAIN, 1, 0, -ETIME, 1}, {kernel_call::poll, 0, ENOMEM, 1, 100, -ENOMEM, 1},
        {kernel_call::ioctl, VIDIOC_DQBUF, EPIPE, 1, 100, -EPIPE, 1}, {kernel_call::poll, 0, 0, 1, UINT_MAX, 0, 2},
        {kernel_call::poll, 0, 0, 0, 0, -ETIME, 1},
    };
    start();
    for (const wait_case& each : cases) {
        SCOPED_TRACE(&each - cases);
        frame = {1, 2, 3};
        sys.kernel.poll_timeouts.clear();
        if (each.times > 0) {
            sys.kernel.fail_next(each.call, each.error, each.times, each.request);
            sys.kernel.push_frame(node, pattern(5));
        }
        EXPECT_EQ(stream.read_frame(frame, each.timeout_ms), each.result);
        EXPECT_EQ(frame, each.result == 0 ? pattern(5) : bytes({1, 2, 3}));
        const std::vector<int>& waits = sys.kernel.poll_timeouts;
        ASSERT_EQ(waits.size(), each.waits);
        const long first = waits.front(), limit = std::min<long>(each.timeout_ms, INT_MAX);
        EXPECT_TRUE(first * 2 >= limit && first <= limit && waits.back() <= first) << first;
        if (each.result != 0 && each.times > 0)
            expect_frame(5, false);
    }
}

// Once every buffer is lost, a restart wins them back; one that fails is reported and made again
// at the next read, never leaving the stream off for good.
TEST_F(v4l2_stream_test, a_failed_restart_is_made_again_at_the_next_read) {
    start();
    for (const auto& [request, skip] : {std::pair(VIDIOC_STREAMON, 0), std::pair(VIDIOC_QBUF, 2)}) {
        SCOPED_TRACE(skip);
        for (std::uint8_t round = 0; round < 4; ++round) {
            sys.kernel.push_frame(node, pattern(round));
            sys.kernel.queue(node).next_index = 4;
            ASSERT_EQ(stream.read_frame(frame, 100), -EIO);
        }
        sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, request, skip);
        EXPECT_EQ(test_support::output_of([&] { EXPECT_EQ(stream.read_frame(frame, 100), -EIO); }).err,
                  "Image data: cannot restart streaming: error #-5\n");
        for (std::uint8_t seed = 0; seed < 5; ++seed)
            expect_frame(seed);
    }
}

// However often a buffer goes astray, the driver gets it back and the next frame arrives.
TEST_F(v4l2_stream_test, buffers_that_go_astray_never_starve_the_stream) {
    struct astray_case { void (*fault)(test_support::simulated_kernel&); int result; };
    const astray_case cases[] = {
        {[](test_support::simulated_kernel& k) { k.queue(node).next_flags = V4L2_BUF_FLAG_ERROR; }, -EIO},
        {[](test_support::simulated_kernel& k) { k.queue(node).next_bytesused = 4097; }, -EIO},  // one past the buffer
        {[](test_support::simulated_kernel& k) { k.queue(node).next_index = 4; }, -EIO},
        {[](test_support::simulated_kernel& k) { k.fail_next(kernel_call::ioctl, ENODEV, 1, VIDIOC_QBUF); }, -ENODEV},
    };
    start();
    for (const astray_case& each : cases) {
        SCOPED_TRACE(&each - cases);
        for (std::uint8_t round = 0; round < 5; ++round) {  // one more than there are buffers
            frame = {9};
            sys.kernel.push_frame(node, pattern(round));
            each.fault(sys.kernel);
            EXPECT_EQ(stream.read_frame(frame, 100), each.result);
            EXPECT_EQ(frame, each.result == -EIO ? bytes({9}) : pattern(round));  // a refused re-queue keeps its frame
            expect_frame(round + 1);
        }
    }
}

TEST_F(v4l2_stream_test, open_start_and_stop_survive_interruptions_and_queue_every_buffer_again) {
    {
        v4l2_stream dropped{V4L2_BUF_TYPE_VIDEO_CAPTURE, node, "Image data"};
        ASSERT_EQ(dropped.open() + dropped.start(), 0);
    }
    expect_nothing_left();  // a stream dropped while streaming releases the device
    // Interrupted calls are made again, never reported.
    for (const unsigned long request : {VIDIOC_REQBUFS, VIDIOC_QUERYBUF, VIDIOC_QBUF, VIDIOC_STREAMON, VIDIOC_STREAMOFF})
        sys.kernel.fail_next(kernel_call::ioctl, EINTR, 2, request);
    sys.kernel.fail_next(kernel_call::open, EINTR, 2);
    ASSERT_EQ(stream.open(), 0);
    // Opening again allocates nothing (the dropped stream's request, two interrupted ones and
    // this one's); open hands every buffer to the driver.
    test_support::output_of([&] { EXPECT_EQ(stream.open(), 0); });
    EXPECT_EQ(std::pair(sys.kernel.queue(node).queued.size(), sys.kernel.ioctls[VIDIOC_REQBUFS]), std::pair(4ul, 4ul));
    ASSERT_EQ(stream.start(), 0);
    for (std::uint8_t seed = 0; seed < 6; ++seed)
        expect_frame(seed);
    stream.stop();
    // A start that fails part-way through the queue leaves nothing queued for the next one.
    sys.kernel.fail_next(kernel_call::ioctl, ENOMEM, 1, VIDIOC_QBUF, 1);
    EXPECT_EQ(stream.start(), -ENOMEM);
    ASSERT_EQ(stream.start(), 0);
    for (std::uint8_t seed = 0; seed < 5; ++seed)
        expect_frame(seed);
    // After a failed stream-off the driver still holds the buffers: nothing is queued twice.
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, VIDIOC_STREAMOFF);
    stream.stop();
    const std::size_t queued = sys.kernel.ioctls[VIDIOC_QBUF];
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, VIDIOC_STREAMON);
    EXPECT_EQ(stream.start(), -EIO);
    EXPECT_EQ(sys.kernel.ioctls[VIDIOC_QBUF], queued);
    stream.close();
    expect_nothing_left();
}

}  // namespace
}  // namespace vorlake::tessaro

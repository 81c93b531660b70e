// vivid stamps its capture buffers from CLOCK_MONOTONIC and numbers them; a camera reading them
// hands both on with every frame and counts the numbers it missed as lost frames.
#include <gtest/gtest.h>

#include <time.h>

#include <optional>

#include <vorlake/tessaro/camera.hpp>

#include "capture/v4l2_stream.hpp"
#include "kernel/vivid.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;

std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(now.tv_nsec);
}

TEST(vivid_frame_timing, frames_carry_the_buffers_monotonic_time_and_sequence) {
    // The HDMI input's pattern, in the raw frame's size: every frame decodes.
    ASSERT_NO_FATAL_FAILURE(select_hdmi());
    ASSERT_NO_FATAL_FAILURE(set_grey_format(capture_node, frame_height, frame_width));
    auto cam = create_camera_offline("vivid timing");
    cam->add_stream(stream_type::stream_image,
                    std::make_unique<v4l2_stream>(V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node, "vivid"));
    ASSERT_EQ(cam->open(0x211C), 0);
    std::uint64_t earliest = monotonic_ns(), dropped = 0;
    ASSERT_EQ(cam->start(), 0);
    std::optional<std::uint32_t> previous;
    for (int i = 0; i < 8; ++i) {
        const frame_buffer& frame = cam->get_frame(frame_timeout_ms);
        ASSERT_EQ(frame.error, 0);
        ASSERT_TRUE(frame.has_capture_time && frame.has_sequence && !frame.has_sensor_time);
        EXPECT_GE(frame.capture_time_ns, earliest) << i;
        EXPECT_LE(frame.capture_time_ns, monotonic_ns()) << i;
        earliest = frame.capture_time_ns + 1;
        if (previous) {
            ASSERT_GT(frame.sequence, *previous);
            EXPECT_EQ(frame.dropped_frames, frame.sequence - *previous - 1);
        }
        dropped += frame.dropped_frames;
        previous = frame.sequence;
    }
    EXPECT_EQ(cam->get_dropped_frames(), dropped);
    EXPECT_EQ(cam->close(), 0);
}

}  // namespace
}  // namespace vorlake::tessaro

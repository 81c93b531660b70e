// vivid stamps its capture buffers from CLOCK_MONOTONIC and numbers them; a camera reading them
// hands both on with every frame and counts the numbers it missed as lost frames.
#include <gtest/gtest.h>

#include <time.h>

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
    // The HDMI input's pattern in the raw frame's size: every frame decodes.
    ASSERT_NO_FATAL_FAILURE(select_hdmi());
    ASSERT_NO_FATAL_FAILURE(set_grey_format(capture_node, frame_height, frame_width));
    auto cam = create_camera_offline("vivid timing");
    cam->add_stream(stream_type::stream_image,
                    std::make_unique<v4l2_stream>(V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node, "vivid"));
    ASSERT_EQ(cam->open(0x211C), 0);
    std::uint64_t earliest = monotonic_ns(), lost = 0;
    ASSERT_EQ(cam->start(), 0);
    for (std::uint32_t i = 0, next_sequence = 0; i < 8; ++i) {
        const frame_buffer& frame = cam->get_frame(frame_timeout_ms);
        ASSERT_TRUE(frame.error == 0 && frame.has_capture_time && frame.has_sequence);
        EXPECT_TRUE(frame.capture_time_ns >= earliest && frame.capture_time_ns <= monotonic_ns()) << i;
        ASSERT_GE(frame.sequence, next_sequence);
        EXPECT_EQ(frame.dropped_frames, i == 0 ? 0 : frame.sequence - next_sequence);
        earliest = frame.capture_time_ns + 1;
        next_sequence = frame.sequence + 1;
        lost += frame.dropped_frames;
    }
    EXPECT_EQ(cam->get_dropped_frames(), lost);
    EXPECT_EQ(cam->close(), 0);
}

}  // namespace
}  // namespace vorlake::tessaro

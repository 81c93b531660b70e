// Frame timing through the camera: what the streams report, the sensor's counters from the
// embedded data, and the frames lost between two delivered frames.
#include <optional>
#include <tuple>

#include "camera_test_fixture.hpp"
#include "capture/v4l2_stream.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

const frame_bytes& image_frame() {
    static const frame_bytes bytes = encode_raw_frame(random_frame_values(3, false, 1), false, false);
    return bytes;
}

// Lost frames count from the sensor's frame index where this frame and the one before both have
// embedded data, else from the stream's sequence; start begins a new count.
TEST(frame_timing, drops_count_from_the_frame_index_else_from_the_sequence) {
    struct step { std::optional<std::uint32_t> sequence; std::optional<std::uint16_t> counter; std::uint32_t dropped; };
    const step steps[] = {
        {7, 13, 0},              // the first frame of a start loses nothing
        {8, 61, 3},              // frame index 1 to 5, whatever the sequence says
        {11, std::nullopt, 2},   // no embedded data: sequence 8 to 11
        {12, 85, 0},             // the previous frame had no index to compare with
        {std::nullopt, 97, 0},   // index 7 to 8
        {std::nullopt, 121, 1},  // the sequence is not needed
    };
    camera_rig rig(true, true);
    rig.stream(single_mode);
    for (int session = 0; session < 2; ++session) {
        std::uint64_t total = 0;
        for (const step& s : steps) {
            rig.image->script.push_back([&rig, s](frame_bytes& out) {
                rig.image->timing = {s.sequence.has_value(), 5'000'000'000u + s.sequence.value_or(0), s.sequence.has_value(),
                                     s.sequence.value_or(0)};
                out = image_frame();
                return 0;
            });
            if (s.counter)
                rig.ebd->frame(encode_embedded_data({*s.counter, 0x01000000, 3}, false));
            const frame_buffer& frame =
                rig.get_frame(s.counter ? "" : "Cannot get a frame: stream[ebd]: errcode=-62");
            total += s.dropped;
            EXPECT_EQ(std::tuple(frame.error, frame.dropped_frames, rig.cam->get_dropped_frames()),
                      std::tuple(0, s.dropped, total)) << session << "/" << s.counter.value_or(0);
            EXPECT_EQ(std::tuple(frame.has_sequence, frame.sequence, frame.has_capture_time, frame.capture_time_ns),
                      std::tuple(s.sequence.has_value(), s.sequence.value_or(0), s.sequence.has_value(),
                                 s.sequence ? 5'000'000'000u + *s.sequence : 0u));
            EXPECT_EQ(std::tuple(frame.has_sensor_time, frame.frame_index, frame.sensor_timestamp),
                      std::tuple(s.counter.has_value(), s.counter ? (*s.counter - 1u) / 12 : 0u,
                                 s.counter ? std::uint64_t{0x01000000} * 10 : 0));
        }
        ASSERT_EQ(rig.cam->stop(), 0);
        EXPECT_EQ(rig.cam->get_dropped_frames(), 6u);  // readable until the next start
        ASSERT_EQ(rig.cam->start(), 0);
        EXPECT_EQ(rig.cam->get_dropped_frames(), 0u);
    }
}

// A capture stream on the simulated kernel hands the driver's sequence and monotonic timestamp
// of each buffer to the frame; a timestamp from another clock is reported unknown.
TEST(frame_timing, v4l2_buffers_carry_sequence_and_capture_time) {
    simulated_system sys;
    simulated_queue& queue = sys.kernel.nodes["/dev/video0"].queue.emplace();
    camera_rig rig(false);
    rig.cam->add_stream(stream_type::stream_image,
                        std::make_unique<v4l2_stream>(V4L2_BUF_TYPE_VIDEO_CAPTURE, "/dev/video0", "Image data"));
    rig.stream(single_mode);
    struct step { std::uint32_t sequence, flags, dropped; bool has_time; };
    const step steps[] = {
        {0, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 0, true},
        {1, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 0, true},
        {4, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 2, true},  // a gap of 3
        {5, V4L2_BUF_FLAG_TIMESTAMP_COPY, 0, false},
        {6, V4L2_BUF_FLAG_TIMESTAMP_UNKNOWN, 0, false},
    };
    for (const step& s : steps) {
        queue.sequence = s.sequence;
        queue.timestamp_flags = s.flags;
        sys.kernel.push_frame("/dev/video0", image_frame());
        const frame_buffer& frame = rig.get_frame("", 100);
        EXPECT_EQ(std::tuple(frame.error, frame.has_sequence, frame.sequence, frame.dropped_frames),
                  std::tuple(0, true, s.sequence, s.dropped));
        EXPECT_EQ(std::pair(frame.has_capture_time, frame.capture_time_ns),
                  std::pair(s.has_time, s.has_time ? (100 + s.sequence) * std::uint64_t{1'000'000'000} + 250'000 : std::uint64_t{0}));
    }
    EXPECT_EQ(rig.cam->get_dropped_frames(), 2u);
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

// Frame timing through the camera: what streams report, sensor counters, frames lost. The capture
// stream's own timing is checked at the stream (v4l2_stream_test.cpp).
#include <optional>
#include <tuple>

#include "camera_test_fixture.hpp"

namespace vorlake::tessaro::test_support {
namespace {

const frame_bytes& image_frame() {
    static const frame_bytes bytes = encode_raw_frame(random_frame_values(3, false, 1), false, false);
    return bytes;
}

// Both sensor counters keep rising across their wraps (12 blocks a frame; time × 3 × 10 / 3).
// Losses count from the frame index where this frame and the one before have one, else from the
// sequence; start begins a new count.
TEST(frame_timing, counters_unwrap_and_drops_count_from_the_index_else_the_sequence) {
    struct step { std::optional<std::uint32_t> sequence; std::optional<std::uint16_t> counter;
                  std::uint32_t time, dropped; std::uint64_t index, timestamp; };
    const step steps[] = {
        {7, 65497, 0xFFFFFFF0, 0, 5458, 42949672800},  // the first frame of a start loses nothing
        {8, 65533, 0xFFFFFFF8, 2, 5461, 42949672880},  // the index gap counts, not the sequence's
        {11, {}, 0, 2, 0, 0},                          // no embedded data: the sequence gap
        {10, {}, 0, 0, 0, 0},                          // a step back: a restarted stream, no loss
        {11, 9, 8, 0, 5462, 42949673040},              // both counters wrapped; no index before
        {{}, 21, 16, 0, 5463, 42949673120},
        {{}, 45, 24, 1, 5465, 42949673200},
    };
    camera_rig rig(true, true);
    rig.stream(single_mode);
    for (int session = 0; session < 2; ++session) {
        std::uint64_t total = 0;
        for (const step& s : steps) {
            const std::uint32_t sequence = s.sequence.value_or(0);
            rig.image->timing = {s.sequence.has_value(), sequence * 1000u, s.sequence.has_value(), sequence};
            rig.image->frame(image_frame());
            if (s.counter)
                rig.ebd->frame(encode_embedded_data({*s.counter, s.time, 3}, false));
            const frame_buffer& frame = rig.get_frame(s.counter ? "" : "Cannot get a frame: stream[ebd]: errcode=-62");
            total += s.dropped;
            EXPECT_EQ(std::tuple(frame.error, frame.has_sequence, frame.sequence, frame.capture_time_ns, frame.has_sensor_time,
                                 frame.frame_index, frame.sensor_timestamp, frame.dropped_frames, rig.cam->get_dropped_frames()),
                      std::tuple(0, s.sequence.has_value(), sequence, sequence * std::uint64_t{1000}, s.counter.has_value(),
                                 s.index, s.timestamp, s.dropped, total)) << session << "/" << s.index;
        }
        ASSERT_EQ(rig.cam->stop(), 0);
        EXPECT_EQ(rig.cam->get_dropped_frames(), 5u);  // readable until the next start
        ASSERT_EQ(rig.cam->start(), 0);
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

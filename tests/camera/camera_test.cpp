// The camera over scripted streams: its states and what each operation does in them, the
// streams following the camera, what a frame carries when reads fail, when the camera stops or a
// stream is replaced during a read, and its timing: sensor counters, frames lost. The capture
// stream's own timing is checked at the stream.
#include <array>
#include <cmath>
#include <optional>

#include "support/test_stream.hpp"

namespace vorlake::tessaro::test_support {
namespace {

constexpr int eacces = -EACCES;
using enum camera_status;

// What an operation returns from each state; a refused call prints its reason and changes nothing.
struct operation {
    std::function<int(camera&)> run;
    int result[3];        // from available, idle and streaming
    camera_status after;  // what a successful call leaves
};

// The camera opens in a dual-depth mode: near/far limits must be finite, non-negative and in
// order, the merge window non-negative; at most three echoes are decoded.
const operation state_machine[] = {
    {[](camera& c) { return c.open(dual_mode); }, {0, eacces, eacces}, idle},
    {[](camera& c) { return c.close(); }, {eacces, 0, 0}, available},
    {[](camera& c) { return c.configure_camera_dual_depth({}); }, {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.configure_camera_dual_depth({500, 500, 0}); }, {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.configure_camera_dual_depth({600, 500, 50}); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_dual_depth({-1, 500, 50}); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_dual_depth({200, 2000, -1}); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_dual_depth({200, INFINITY, 50}); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_dual_depth({NAN, 2000, 50}); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_echo(3); }, {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.configure_camera_echo(0); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_echo(4); }, {eacces, -EINVAL, eacces}, idle},
    {[](camera& c) { return c.configure_camera_output({}); }, {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.start(); }, {eacces, 0, eacces}, streaming},
    {[](camera& c) { return c.stop(); }, {eacces, eacces, 0}, idle},
};

TEST(camera_lifecycle, every_operation_in_every_state) {
    for (const operation& op : state_machine) {
        for (const camera_status from : {available, idle, streaming}) {
            SCOPED_TRACE(std::to_string(&op - state_machine) + " from state " + std::to_string(static_cast<int>(from)));
            camera_rig rig;
            ASSERT_EQ(from == available ? 0 : rig.cam->open(dual_mode), 0);
            ASSERT_EQ(from == streaming ? rig.cam->start() : 0, 0);
            const int result = op.result[static_cast<int>(from)];
            EXPECT_EQ(output_of([&] { EXPECT_EQ(op.run(*rig.cam), result); }).out.empty(), result == 0);
            EXPECT_EQ(rig.cam->get_camera_info().status, result ? from : op.after);
        }
    }
}

// start opens what open did not (here the image stream, added since), starts the image stream and
// then the embedded-data one, and leaves none running when one fails.
TEST(camera_lifecycle, a_failed_start_leaves_the_camera_idle_with_no_stream_running) {
    struct case_ { bool ebd_fails; int open_result, start_result; call_list image_calls, ebd_calls; };
    const case_ cases[] = {
        {false, -19, 0, {"open"}, {}}, {false, 0, -16, {"open", "start"}, {}},
        {true, -19, 0, {"open", "start", "stop"}, {"open"}}, {true, 0, -16, {"open", "start", "stop"}, {"open", "start"}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(&c - cases);
        camera_rig rig(true);
        ASSERT_EQ(rig.cam->open(single_mode), 0);
        rig.cam->add_stream(stream_type::stream_image, make_test_stream(rig.image));
        test_stream_state& failing = c.ebd_fails ? *rig.ebd : *rig.image;
        std::tie(failing.open_result, failing.start_result) = std::tie(c.open_result, c.start_result);
        output_of([&] { EXPECT_EQ(rig.cam->start(), c.open_result + c.start_result); });
        EXPECT_EQ(rig.cam->get_camera_info().status, idle);
        EXPECT_EQ(std::pair(rig.image->calls, rig.ebd->calls), std::pair(c.image_calls, c.ebd_calls));
    }
}
// The streams follow the camera: start opens and starts them, stop stops them, and close, dropping
// the camera or replacing a stream stops and closes them. A stream added while streaming waits
// for the next start; without an image stream, get_frame and start report it.
TEST(camera_lifecycle, the_streams_follow_the_camera_to_its_end) {
    camera_rig rig(true);
    const std::shared_ptr<test_stream_state> first_image = rig.image, first_ebd = rig.ebd;
    std::shared_ptr<test_stream_state> stray;
    rig.cam->add_stream(static_cast<stream_type>(7), make_test_stream(stray));
    rig.stream();
    EXPECT_EQ(printing("", [&] { return rig.cam->close(); }), 0);
    rig.stream();
    rig.cam->add_stream(stream_type::stream_ebd, make_test_stream(rig.ebd));
    rig.cam->add_stream(stream_type::stream_image, nullptr);
    EXPECT_EQ(rig.get_frame("Cannot get a frame: missing streams").error, eacces);
    ASSERT_EQ(rig.cam->stop(), 0);
    EXPECT_EQ(printing("Cannot start camera: missing streams", [&] { return rig.cam->start(); }), eacces);
    rig.cam->add_stream(stream_type::stream_image, make_test_stream(rig.image));
    ASSERT_EQ(rig.cam->start(), 0);
    rig.cam.reset();
    EXPECT_EQ(first_image->calls, (call_list{"open", "start", "stop", "close", "open", "start", "stop", "close"}));
    EXPECT_EQ(first_ebd->calls, first_image->calls);
    EXPECT_EQ(rig.image->calls, (call_list{"open", "start", "stop", "close"}));
    EXPECT_EQ(rig.ebd->calls, rig.image->calls);
    for (const auto& stream : {stray, first_image, first_ebd, rig.image, rig.ebd})
        EXPECT_TRUE(stream->destroyed);
}

// The record is built by start from the settings stored then. Cartesian depth is taken from the
// points, so it needs them.
TEST(camera_configuration, settings_take_effect_at_the_next_start) {
    const auto sizes_of = [](const frame_buffer& f) {
        return std::array<std::size_t, 8>{f.max_depth_index, f.point_cloud[0].size(), f.cartesian_depth[0].size(), f.radial_depth[0].size(),
                          f.peak_height[0].size(), f.noise_level.size(), f.histogram.size(), f.pdc.size()};
    };
    camera_rig rig;
    ASSERT_EQ(rig.cam->open(single_mode), 0);
    output_of([&] { EXPECT_EQ(rig.cam->configure_camera_dual_depth({}), eacces); });  // not a dual mode
    camera_output_configuration config;
    config.enable_cartesian_depth = config.enable_histogram = true;
    ASSERT_EQ(rig.cam->configure_camera_output(config) + rig.cam->configure_camera_echo(3) + rig.cam->start(), 0);
    EXPECT_EQ(sizes_of(*rig.cam->shared_frame()), (std::array<std::size_t, 8>{3, 576, 576, 0, 0, 0, 576, 0}));
    EXPECT_EQ(sizes_of(frame_buffer(config, 3, 576)), sizes_of(*rig.cam->shared_frame()));  // built from the settings alone
}

// One pixel of the one echo stands for a frame's decoding, which the decoder's tests check.
auto sample(const frame_buffer& f) { return std::tuple(f.radial_depth[0][17], f.point_cloud[0][17], f.histogram[17]); }
auto sample(const frame_values& v) {
    return std::tuple(v.pixels[17].echoes[0].radial_depth, v.pixels[17].echoes[0].point, v.pixels[17].histogram);
}

// Embedded data whose time counter reads 0x01020304 and the temperature 22 degrees.
frame_bytes embedded_data(std::uint16_t frame_counter) {
    return encode_embedded_data({frame_counter, 0x01020304, 3, 150, 2, 1, 1, 0, 5, 0}, false);
}

// A failure is flagged in the record, which keeps the previous frame's outputs, and streaming goes
// on. A failed embedded-data frame spoils only what it carries.
TEST(camera_frame, failures_are_reported_in_the_record_and_streaming_goes_on) {
    using step = test_stream_state::step;
    const auto bytes = [](frame_bytes raw) -> step { return [=](frame_bytes& b) { b = raw; return 0; }; };
    const frame_values good = random_frame_values(5, false, 1), other = random_frame_values(6, false, 1);
    const step good_image = bytes(encode_raw_frame(good, false, false));
    const step other_image = bytes(encode_raw_frame(other, false, false));
    const step ebd_49 = bytes(embedded_data(49)), ebd_61 = bytes(embedded_data(61));
    struct case_ { step image, ebd; int error; const char* line; };  // ebd: for an image that decodes
    const case_ cases[] = {
        {bytes(frame_bytes(395136 + 672)), nullptr, -EINVAL, "Cannot get a frame: failed processing raw data"},
        {[](frame_bytes&) { return -5; }, nullptr, -5, "Cannot get a frame: stream[image]: errcode=-5"},
        {other_image, [](frame_bytes&) { return -5; }, 0, "Cannot get a frame: stream[ebd]: errcode=-5"},
        {other_image, bytes(frame_bytes(672)), 0, "Cannot get a frame: failed decoding embedded data: errcode=-22"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        camera_rig rig(true);
        rig.stream();
        rig.image->script = {good_image, c.image, good_image};
        rig.ebd->script = {ebd_49, c.ebd ? c.ebd : ebd_61, ebd_61};  // no embedded data is read for a failed image
        ASSERT_EQ(rig.get_frame().frame_id, 4u);
        frame_buffer& failed = rig.get_frame(c.line);
        EXPECT_EQ(std::pair(&failed, failed.error), std::pair(rig.cam->shared_frame().get(), c.error));
        EXPECT_EQ(sample(failed), sample(c.ebd ? other : good));
        // What embedded data carries, the sensor report included, goes back to 0 when it fails.
        EXPECT_EQ(std::tuple(failed.frame_id, failed.timestamp, rig.cam->get_sensor_info().temperature),
                  std::tuple(c.ebd ? 0u : 4u, c.ebd ? 0u : 0x01020304u * 10, c.ebd ? 0.0f : 22.0f));
        frame_buffer& next = rig.get_frame();
        EXPECT_EQ(std::tuple(next.error, next.frame_id, sample(next)), std::tuple(0, 5u, sample(good)));
    }
}

// A record held through shared_frame outlives stop, start and the camera, also when the source
// stops or restarts the camera during a read: that read then decodes into no record. Outside
// streaming, every call gets a fresh empty record. An embedded-data stream without a source is
// left alone.
TEST(camera_frame, a_held_record_survives_stop_and_start) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restart" : "stop");
        camera_rig rig(true);
        rig.ebd->source = false;
        rig.stream();
        const frame_values values = random_frame_values(8, false, 1), later = random_frame_values(9, false, 1);
        rig.image->frame(encode_raw_frame(values, false, false));
        const std::shared_ptr<frame_buffer> held = rig.cam->shared_frame();
        EXPECT_EQ(rig.get_frame().error, 0);
        rig.image->script.push_back([&, restart](frame_bytes& buffer) {
            rig.cam->stop();
            EXPECT_EQ(restart ? rig.cam->start() : 0, 0);
            buffer = encode_raw_frame(later, false, false);
            return 0;
        });
        frame_buffer& frame = rig.get_frame("Cannot get a frame: camera not streaming");
        EXPECT_EQ(std::pair(&frame, frame.error), std::pair(rig.cam->shared_frame().get(), -EACCES));
        EXPECT_TRUE(restart || &rig.get_frame("Cannot get a frame: camera not streaming") != &frame);
        ASSERT_EQ(restart ? 0 : rig.cam->start(), 0);
        rig.image->frame(encode_raw_frame(later, false, false));
        EXPECT_EQ(sample(rig.get_frame()), sample(later));
        EXPECT_TRUE(rig.ebd->calls.empty());
        rig.cam.reset();
        EXPECT_EQ(held->error, 0);
        EXPECT_EQ(sample(*held), sample(values));
    }
}

// A stream that replaces itself from inside its read lives until that read has returned, whose
// result stands; the stream that replaced it serves the next read.
TEST(camera_frame, a_stream_replaced_during_its_read_finishes_that_read) {
    const frame_values values = random_frame_values(3, false, 1);
    for (const stream_type type : {stream_type::stream_image, stream_type::stream_ebd}) {
        const bool image = type == stream_type::stream_image;
        SCOPED_TRACE(image ? "image" : "ebd");
        camera_rig rig(true);
        rig.stream();
        std::shared_ptr<test_stream_state> old = image ? rig.image : rig.ebd, next;
        rig.image->frame(encode_raw_frame(values, false, false));
        rig.ebd->frame(embedded_data(49));
        old->script.push_front([&, read = old->script.front()](frame_bytes& buffer) {
            rig.cam->add_stream(type, make_test_stream(next));
            EXPECT_FALSE(old->destroyed);
            return read(buffer);
        });
        const frame_buffer& frame = rig.get_frame();
        EXPECT_EQ(std::tuple(frame.error, frame.frame_id, old->destroyed), std::tuple(0, 4u, true));
        rig.get_frame("Cannot get a frame: stream[image]: errcode=-62");
        EXPECT_EQ(next->calls, (image ? call_list{"read"} : call_list{}));
    }
}

// Both sensor counters keep rising across their wraps (12 blocks a frame; time × 3 × 10 / 3), and
// start again where they step back.
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
        {{}, 21, 16, 0, 5463, 42949673120}, {{}, 45, 24, 1, 5465, 42949673200},
        {{}, 9, 8, 0, 0, 80}, {{}, 33, 16, 1, 2, 160},  // a step back: a restart, not a wrap
    };
    const frame_values values = random_frame_values(3, false, 1);
    camera_rig rig(true);
    rig.stream();
    for (int session = 0; session < 2; ++session) {
        std::uint64_t total = 0;
        for (const step& s : steps) {
            const std::uint32_t sequence = s.sequence.value_or(0);
            rig.image->timing = {s.sequence.has_value(), sequence * 1000u, s.sequence.has_value(), sequence};
            rig.image->frame(encode_raw_frame(values, false, false));
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
        EXPECT_EQ(rig.cam->get_dropped_frames(), 6u);  // readable until the next start
        ASSERT_EQ(rig.cam->start(), 0);
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

#include <functional>

#include "camera_test_fixture.hpp"

namespace vorlake::tessaro::test_support {
namespace {

// Every output of a single-depth frame (or of a merged dual-depth one) against its values.
void expect_decoded(const frame_buffer& frame, const frame_values& values, std::size_t echoes) {
    ASSERT_EQ(frame.max_depth_index, echoes);
    ASSERT_GE(frame.noise_level.size(), single_depth_pixels);
    for (std::size_t p = 0; p < single_depth_pixels; ++p) {
        SCOPED_TRACE("pixel " + std::to_string(p));
        const pixel_values& pixel = values.pixels[p];
        ASSERT_EQ(frame.noise_level[p], pixel.noise_level);
        ASSERT_EQ(frame.histogram[p], pixel.histogram);
        ASSERT_EQ(frame.pdc[p], pixel.pdc);
        for (std::size_t e = 0; e < echoes; ++e) {
            const echo_values& echo = pixel.echoes[e];
            ASSERT_EQ(frame.radial_depth[e][p], echo.radial_depth);
            ASSERT_EQ(frame.point_cloud[e][p], echo.point);
            ASSERT_EQ(frame.cartesian_depth[e][p], echo.point.z);
            ASSERT_EQ(frame.peak_height[e][p], echo.peak_height);
            ASSERT_EQ(static_cast<std::uint8_t>(frame.peak_status[e][p]), echo.peak_status);
        }
    }
}

// The values to encode for a mode, and what get_frame must make of them. A dual-depth frame gets
// one echo per pixel: inside the near/far band from the first sub-frame for even pixels, beyond
// it from the second for odd ones, so that the merge result is known pixel by pixel.
std::pair<frame_values, frame_values> test_frame(unsigned seed, bool dual) {
    frame_values merged = random_frame_values(seed, false, dual ? 1 : 3);
    if (!dual)
        return {merged, merged};
    frame_values input = merged;
    input.pixels.resize(dual_depth_pixels);
    for (std::size_t p = 0; p < single_depth_pixels; ++p) {
        merged.pixels[p].echoes[0].radial_depth = static_cast<float>(p % 2 == 0 ? 500 + p : 3000 + p);
        input.pixels[p].echoes[0] = p % 2 == 0 ? merged.pixels[p].echoes[0] : echo_values{};
        input.pixels[single_depth_pixels + p].echoes[0] = p % 2 == 1 ? merged.pixels[p].echoes[0] : echo_values{};
    }
    return {input, merged};
}

embedded_values embedded(std::uint16_t frame_counter) {
    return {frame_counter, 0x01020304, 3, 150, 2, 1, 1, 0, 5, 0};
}

// Frames of either mode, packed and then padded to the capture stride, decode into the one record
// that start built, without reallocating it; their embedded data fills frame_id, timestamp and
// the sensor report.
TEST(camera_frame, frames_decode_into_the_record_of_start) {
    for (const bool dual : {false, true}) {
        SCOPED_TRACE(dual ? "dual" : "single");
        const std::size_t echoes = dual ? 1 : 3;
        camera_rig rig(true, true);
        const std::shared_ptr<sensor_info> sensor = rig.cam->shared_sensor_info();
        rig.stream(dual ? dual_mode : single_mode, echoes);
        const std::shared_ptr<frame_buffer> record = rig.cam->shared_frame();
        const std::uint8_t* raw = record->raw_image.data();
        const float* radial = record->radial_depth[0].data();
        for (const bool padded : {false, true}) {
            const auto [input, expected] = test_frame(padded ? 2 : 1, dual);
            rig.image->frame(encode_raw_frame(input, dual, padded));
            rig.ebd->frame(encode_embedded_data(embedded(padded ? 98 : 49), dual));
            frame_buffer& frame = rig.get_frame("", 250);
            EXPECT_EQ(&frame, record.get());
            EXPECT_EQ(frame.error, 0);
            EXPECT_EQ(frame.raw_image.size(), raw_frame_size(dual, false));
            EXPECT_EQ(frame.noise_level.size(), pixel_count(dual));
            expect_decoded(frame, expected, echoes);
            EXPECT_EQ(frame.raw_image.data(), raw);
            EXPECT_EQ(frame.radial_depth[0].data(), radial);
            EXPECT_EQ(frame.frame_id, (padded ? 98u : 49u) / (dual ? 24 : 12));  // the counter runs per block
            EXPECT_EQ(frame.timestamp, 0x01020304u * 10u);
        }
        EXPECT_EQ(rig.image->timeouts, (std::vector<unsigned int>{250, 250}));
        EXPECT_EQ(rig.ebd->timeouts, (std::vector<unsigned int>{250, 250}));
        EXPECT_EQ(&rig.cam->get_sensor_info(), sensor.get());
        const laser_status_flags& laser = sensor->laser_status;
        EXPECT_EQ(std::tuple(sensor->temperature, sensor->depth_num, sensor->peak_order_selection), std::tuple(22.0f, 2u, 1u));
        EXPECT_EQ(std::tuple(laser.light_emitted, laser.read_back, laser.lvds_connection, laser.bank_check),
                  std::tuple(true, true, false, true));
        // open resets the report in place, for whoever holds it.
        ASSERT_EQ(rig.cam->close(), 0);
        rig.open(single_mode);
        EXPECT_EQ(sensor->temperature, 0.0f);
    }
}

TEST(camera_frame, outside_streaming_every_call_gets_a_fresh_empty_record) {
    camera_rig rig;
    rig.stream(single_mode);
    ASSERT_EQ(rig.cam->stop(), 0);
    frame_buffer& first = rig.get_frame("Cannot get a frame: camera not streaming");
    const std::shared_ptr<frame_buffer> held = rig.cam->shared_frame();
    EXPECT_EQ(&first, held.get());
    EXPECT_EQ(first.error, -EACCES);
    EXPECT_TRUE(first.point_cloud.empty() && first.raw_image.empty());
    EXPECT_NE(&rig.get_frame("Cannot get a frame: camera not streaming"), held.get());
    EXPECT_EQ(rig.image->count("read"), 0u);
}

// A failure is flagged in the record, which keeps the previous frame's outputs, and streaming goes
// on. A failed embedded-data frame spoils only what it carries. An exception from the stream
// passes through and leaves the record as it was.
TEST(camera_frame, failures_are_reported_in_the_record_and_streaming_goes_on) {
    using script = std::function<void(test_stream_state&)>;
    const frame_values good = random_frame_values(5, false, 1);
    const frame_values other = random_frame_values(6, false, 1);
    const script other_image = [&](test_stream_state& s) { s.frame(encode_raw_frame(other, false, false)); };
    struct case_ {
        script image;
        script ebd;  // for a frame whose image decodes
        int error;
        const char* line;
    };
    const case_ cases[] = {
        {[](test_stream_state& s) { s.frame(std::vector<std::uint8_t>(395136 + 672)); }, nullptr, -EINVAL,
         "Cannot get a frame: failed processing raw data"},
        {[](test_stream_state& s) { s.frame(std::vector<std::uint8_t>(790272)); }, nullptr, -EINVAL,
         "Cannot get a frame: failed processing raw data"},
        {[](test_stream_state& s) { s.timeout(); }, nullptr, -ETIME, "Cannot get a frame: stream[image]: errcode=-62"},
        {[](test_stream_state& s) { s.result(-5); }, nullptr, -5, "Cannot get a frame: stream[image]: errcode=-5"},
        {other_image, [](test_stream_state& s) { s.timeout(); }, 0, "Cannot get a frame: stream[ebd]: errcode=-62"},
        {other_image, [](test_stream_state& s) { s.result(-5); }, 0, "Cannot get a frame: stream[ebd]: errcode=-5"},
        {other_image, [](test_stream_state& s) { s.frame(std::vector<std::uint8_t>(672)); }, 0,
         "Cannot get a frame: failed decoding embedded data: errcode=-22"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        camera_rig rig(true, true);
        rig.stream(single_mode);
        rig.image->frame(encode_raw_frame(good, false, false));
        c.image(*rig.image);
        rig.image->exception().frame(encode_raw_frame(good, false, false));
        rig.ebd->frame(encode_embedded_data(embedded(49), false));
        if (c.ebd)
            c.ebd(*rig.ebd);
        rig.ebd->frame(encode_embedded_data(embedded(61), false));

        ASSERT_EQ(rig.get_frame().frame_id, 4u);
        frame_buffer& failed = rig.get_frame(c.line);
        EXPECT_EQ(&failed, rig.cam->shared_frame().get());
        EXPECT_EQ(failed.error, c.error);
        EXPECT_EQ(failed.radial_depth[0][17], (c.ebd ? other : good).pixels[17].echoes[0].radial_depth);
        if (c.ebd) {  // the sensor report keeps the values last decoded
            EXPECT_EQ(std::tuple(failed.frame_id, failed.timestamp, rig.cam->get_sensor_info().temperature), std::tuple(0u, 0u, 22.0f));
        }
        printing("", [&] {
            EXPECT_THROW(rig.cam->get_frame(10), std::runtime_error);
            return 0;
        });
        EXPECT_EQ(failed.error, c.error);
        EXPECT_EQ(rig.cam->get_camera_info().status, camera_status::streaming);
        frame_buffer& next = rig.get_frame();
        EXPECT_EQ(std::pair(next.error, next.frame_id), std::pair(0, 5u));
        expect_decoded(next, good, 1);
    }
}

// A record held through shared_frame outlives stop, start and the camera, also when the source
// stops or restarts the camera during a read: that read then decodes into no record.
TEST(camera_frame, a_held_record_survives_stop_and_start) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restart" : "stop");
        camera_rig rig;
        rig.stream(single_mode);
        const frame_values values = random_frame_values(8, false, 1);
        const frame_values later = random_frame_values(9, false, 1);
        rig.image->frame(encode_raw_frame(values, false, false)).frame(encode_raw_frame(later, false, false));
        const std::shared_ptr<frame_buffer> held = rig.cam->shared_frame();
        EXPECT_EQ(rig.get_frame().error, 0);
        rig.image->on_read = [&rig, restart] {
            rig.image->on_read = nullptr;
            rig.cam->stop();
            if (restart)
                rig.cam->start();
        };
        frame_buffer& frame = rig.get_frame("Cannot get a frame: camera not streaming");
        EXPECT_EQ(&frame, rig.cam->shared_frame().get());
        EXPECT_NE(&frame, held.get());
        EXPECT_EQ(frame.error, -EACCES);
        ASSERT_EQ(restart ? 0 : rig.cam->start(), 0);
        rig.image->frame(encode_raw_frame(later, false, false));
        expect_decoded(rig.get_frame(), later, 1);
        rig.cam.reset();
        EXPECT_EQ(held->error, 0);
        expect_decoded(*held, values, 1);
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

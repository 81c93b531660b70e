#include "camera_test_fixture.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro::test_support {
namespace {

embedded_values sample_embedded(std::uint16_t counter) {
    embedded_values values;
    values.frame_counter = counter;
    values.time_counter = 0x01020304;
    values.time_multiplier = 3;
    values.temperature = 150;
    values.depth_num = 2;
    values.peak_order_selection = 1;
    values.laser_light_emitted = 1;
    values.laser_read_back = 0;
    values.laser_lvds_connection = 5;
    values.laser_bank_check = 0;
    return values;
}

// A camera with both streams, streaming in mode, with one image frame queued per call.
struct ebd_rig : camera_rig {
    bool dual;
    explicit ebd_rig(std::uint32_t mode) : camera_rig(true, true), dual(mode == dual_mode) {}

    void queue_image(unsigned seed) {
        image->frame(encode_raw_frame(random_frame_values(seed, dual, 1), dual, false));
    }
};

TEST(camera_embedded_data, fills_frame_id_timestamp_and_the_sensor_info) {
    struct case_ {
        std::uint32_t mode;
        std::uint32_t frame_id;  // counter 49 over the mode's block count
    };
    for (const case_& c : {case_{single_mode, 4}, case_{dual_mode, 2}}) {
        SCOPED_TRACE(c.mode);
        ebd_rig rig(c.mode);
        const std::shared_ptr<sensor_info> held = rig.cam->shared_sensor_info();
        rig.stream(c.mode);
        EXPECT_GE(rig.cam->shared_frame()->raw_ebd.capacity(), rig.dual ? 16128u : 8064u);
        rig.queue_image(1);
        rig.ebd->frame(encode_embedded_data(sample_embedded(49), rig.dual));

        frame_buffer* frame = nullptr;
        EXPECT_EQ(stdout_of([&] { frame = &rig.cam->get_frame(40); }), "");
        EXPECT_EQ(frame->error, 0);
        EXPECT_EQ(frame->frame_id, c.frame_id);
        EXPECT_EQ(frame->timestamp, 0x01020304u * 3u * 10u / 3u);
        EXPECT_EQ(frame->raw_ebd.size(), rig.dual ? 16128u : 8064u);
        EXPECT_EQ(rig.ebd->timeouts, std::vector<unsigned int>{40});

        const sensor_info& info = rig.cam->get_sensor_info();
        EXPECT_EQ(&info, held.get());
        EXPECT_EQ(info.temperature, 22.0f);
        EXPECT_EQ(info.depth_num, 2u);
        EXPECT_EQ(info.peak_order_selection, 1u);
        EXPECT_TRUE(info.laser_status.light_emitted);
        EXPECT_TRUE(info.laser_status.read_back);
        EXPECT_FALSE(info.laser_status.lvds_connection);
        EXPECT_TRUE(info.laser_status.bank_check);

        // open resets the record in place: a holder sees the reset.
        ASSERT_EQ(rig.cam->close(), 0);
        rig.open(c.mode);
        EXPECT_EQ(rig.cam->shared_sensor_info(), held);
        EXPECT_EQ(held->temperature, 0.0f);
        EXPECT_FALSE(held->laser_status.light_emitted);
    }
}

TEST(camera_embedded_data, a_failure_keeps_the_image_and_clears_what_was_not_decoded) {
    struct case_ {
        const char* name;
        std::function<void(test_stream_state&)> script;
        const char* line;
    };
    const case_ cases[] = {
        {"timeout", [](test_stream_state& s) { s.timeout(); }, "Cannot get a frame: stream[ebd]: errcode=-62\n"},
        {"negative code", [](test_stream_state& s) { s.result(-5); }, "Cannot get a frame: stream[ebd]: errcode=-5\n"},
        {"short frame", [](test_stream_state& s) { s.frame(std::vector<std::uint8_t>(672)); },
         "Cannot get a frame: failed decoding embedded data: errcode=-22\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        ebd_rig rig(single_mode);
        rig.stream(single_mode);
        rig.queue_image(1);
        rig.ebd->frame(encode_embedded_data(sample_embedded(49), false));
        ASSERT_EQ(rig.cam->get_frame(10).frame_id, 4u);

        const frame_values values = random_frame_values(2, false, 1);
        rig.image->frame(encode_raw_frame(values, false, false));
        c.script(*rig.ebd);
        frame_buffer* frame = nullptr;
        EXPECT_EQ(stdout_of([&] { frame = &rig.cam->get_frame(10); }), c.line);
        EXPECT_EQ(frame->error, 0);
        EXPECT_EQ(frame->frame_id, 0u);
        EXPECT_EQ(frame->timestamp, 0u);
        // The image of this call is decoded all the same.
        EXPECT_EQ(frame->point_cloud[0][33], values.pixels[33].echoes[0].point);
        // The sensor report keeps the last values that were decoded.
        EXPECT_EQ(rig.cam->get_sensor_info().temperature, 22.0f);

        rig.queue_image(3);
        rig.ebd->frame(encode_embedded_data(sample_embedded(61), false));
        EXPECT_EQ(rig.cam->get_frame(10).frame_id, 5u);
    }
}

TEST(camera_embedded_data, is_not_read_for_a_frame_that_failed) {
    ebd_rig rig(single_mode);
    rig.stream(single_mode);
    rig.image->timeout().frame(std::vector<std::uint8_t>(100));
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.cam->get_frame(10).error, -62);
    EXPECT_EQ(rig.cam->get_frame(10).error, -EINVAL);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rig.ebd->count("read"), 0u);
}

TEST(camera_embedded_data, a_stream_without_source_is_left_alone) {
    ebd_rig rig(single_mode);
    rig.ebd->source = false;
    rig.stream(single_mode);
    rig.queue_image(1);
    frame_buffer* frame = nullptr;
    EXPECT_EQ(stdout_of([&] { frame = &rig.cam->get_frame(10); }), "");
    EXPECT_EQ(frame->error, 0);
    EXPECT_EQ(frame->frame_id, 0u);
    EXPECT_TRUE(frame->raw_ebd.empty());
    ASSERT_EQ(rig.cam->close(), 0);
    EXPECT_TRUE(rig.ebd->calls.empty());
}

TEST(camera_embedded_data, a_stream_added_while_streaming_waits_for_the_next_start) {
    ebd_rig rig(single_mode);
    rig.stream(single_mode);
    std::shared_ptr<test_stream_state> late;
    rig.cam->add_stream(stream_type::stream_ebd, make_test_stream(late));
    EXPECT_EQ(rig.ebd->calls, (std::vector<std::string>{"open", "start", "stop", "close"}));
    rig.queue_image(1);
    frame_buffer* frame = nullptr;
    EXPECT_EQ(stdout_of([&] { frame = &rig.cam->get_frame(10); }), "");
    EXPECT_EQ(frame->error, 0);
    EXPECT_TRUE(late->calls.empty());
    ASSERT_EQ(rig.cam->stop(), 0);
    ASSERT_EQ(rig.cam->start(), 0);
    EXPECT_EQ(late->calls, (std::vector<std::string>{"open", "start"}));
}

TEST(camera_embedded_data, follows_the_image_stream_through_start_stop_and_close) {
    ebd_rig rig(single_mode);
    rig.open(single_mode);
    EXPECT_TRUE(rig.ebd->calls.empty());
    ASSERT_EQ(rig.cam->start(), 0);
    ASSERT_EQ(rig.cam->stop(), 0);
    ASSERT_EQ(rig.cam->start(), 0);
    ASSERT_EQ(rig.cam->close(), 0);
    EXPECT_EQ(rig.ebd->calls, (std::vector<std::string>{"open", "start", "stop", "start", "stop", "close"}));
    EXPECT_EQ(rig.image->calls, (std::vector<std::string>{"open", "start", "stop", "start", "stop", "close"}));
}

TEST(camera_embedded_data, a_failed_start_leaves_the_camera_idle_with_no_stream_running) {
    struct case_ {
        int open_result;
        int start_result;
        int result;
        const char* line;
        std::vector<std::string> ebd_calls;
        std::vector<std::string> after_recovery;
    };
    const case_ cases[] = {
        {-19, 0, -19, "Cannot open stream 'ebd': error #-19\n", {"open"}, {"open", "open", "start"}},
        {0, -16, -16, "Cannot start stream 'ebd': error #-16\n", {"open", "start"}, {"open", "start", "start"}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        ebd_rig rig(single_mode);
        rig.open(single_mode);
        rig.ebd->open_result = c.open_result;
        rig.ebd->start_result = c.start_result;
        int result = 0;
        EXPECT_EQ(stdout_of([&] { result = rig.cam->start(); }), c.line);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(rig.cam->get_camera_info().status, camera_status::idle);
        EXPECT_EQ(rig.image->calls, (std::vector<std::string>{"open", "start", "stop"}));
        EXPECT_EQ(rig.ebd->calls, c.ebd_calls);

        // Once the source recovers, start brings up both.
        rig.ebd->open_result = 0;
        rig.ebd->start_result = 0;
        EXPECT_EQ(rig.cam->start(), 0);
        EXPECT_EQ(rig.ebd->calls, c.after_recovery);
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

#include "camera_test_fixture.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro::test_support {
namespace {

camera_output_configuration every_output() {
    return {true, true, true, true, true, true, true, true};
}

// Opens in mode with every output and echoes echoes, and starts.
void stream_all(camera_rig& rig, std::uint32_t mode, std::uint32_t echoes) {
    rig.open(mode);
    ASSERT_EQ(rig.cam->configure_camera_output(every_output()), 0);
    ASSERT_EQ(rig.cam->configure_camera_echo(echoes), 0);
    ASSERT_EQ(rig.cam->start(), 0);
}

std::uint8_t code_of(peak_status status) { return static_cast<std::uint8_t>(status); }

// Every output of a single-depth frame against the values it was encoded from.
void expect_decoded(const frame_buffer& frame, const frame_values& values, std::size_t echoes) {
    ASSERT_EQ(frame.max_depth_index, echoes);
    ASSERT_EQ(frame.noise_level.size(), single_depth_pixels);
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
            ASSERT_EQ(code_of(frame.peak_status[e][p]), echo.peak_status);
        }
    }
}

TEST(camera_frame, outside_streaming_every_call_gets_a_fresh_empty_record) {
    camera_rig rig;
    for (int state = 0; state < 3; ++state) {
        SCOPED_TRACE(state);
        if (state == 1)
            rig.open(single_mode);
        if (state == 2) {
            ASSERT_EQ(rig.cam->start(), 0);
            ASSERT_EQ(rig.cam->stop(), 0);
        }
        frame_buffer* first = nullptr;
        EXPECT_EQ(stdout_of([&] { first = &rig.cam->get_frame(100); }),
                  "Cannot get a frame: camera not streaming\n");
        auto held = rig.cam->shared_frame();
        ASSERT_EQ(held.get(), first);
        EXPECT_EQ(first->error, -EACCES);
        EXPECT_EQ(first->max_depth_index, 0);
        EXPECT_TRUE(first->point_cloud.empty());
        EXPECT_TRUE(first->raw_image.empty());

        frame_buffer* second = nullptr;
        stdout_of([&] { second = &rig.cam->get_frame(100); });
        EXPECT_NE(second, held.get());
        EXPECT_EQ(second->error, -EACCES);
    }
    EXPECT_EQ(rig.image->count("read"), 0u);
}

TEST(camera_frame, single_mode_decodes_every_output) {
    for (const bool padded : {false, true}) {
        SCOPED_TRACE(padded ? "padded" : "packed");
        camera_rig rig;
        stream_all(rig, single_mode, 3);
        const frame_values values = random_frame_values(11, false, 3);
        rig.image->frame(encode_raw_frame(values, false, padded));

        frame_buffer* frame = nullptr;
        EXPECT_EQ(stdout_of([&] { frame = &rig.cam->get_frame(250); }), "");
        EXPECT_EQ(frame->error, 0);
        EXPECT_EQ(frame->raw_image.size(), raw_frame_size(false, false));
        expect_decoded(*frame, values, 3);
        EXPECT_EQ(rig.image->timeouts, std::vector<unsigned int>{250});
    }
}

TEST(camera_frame, two_calls_fill_the_same_record_without_reallocating) {
    camera_rig rig;
    stream_all(rig, single_mode, 2);
    const frame_values first = random_frame_values(1, false, 2);
    const frame_values second = random_frame_values(2, false, 2);
    rig.image->frame(encode_raw_frame(first, false, false)).frame(encode_raw_frame(second, false, true));

    auto record = rig.cam->shared_frame();
    EXPECT_GE(record->raw_image.capacity(), raw_frame_size(false, true));
    const std::uint8_t* raw = record->raw_image.data();
    const float* radial = record->radial_depth[1].data();

    frame_buffer& a = rig.cam->get_frame(10);
    expect_decoded(a, first, 2);
    frame_buffer& b = rig.cam->get_frame(10);
    EXPECT_EQ(&a, &b);
    EXPECT_EQ(&b, record.get());
    expect_decoded(b, second, 2);
    EXPECT_EQ(record->raw_image.data(), raw);
    EXPECT_EQ(record->radial_depth[1].data(), radial);
}

// A dual frame whose even pixels are answered by the first sub-frame only and whose odd pixels
// by the second only, so that the merge result is known pixel by pixel.
frame_values dual_frame(float shift) {
    frame_values values;
    values.pixels.resize(dual_depth_pixels);
    for (std::size_t i = 0; i < single_depth_pixels; ++i) {
        pixel_values& first = values.pixels[i];
        pixel_values& second = values.pixels[single_depth_pixels + i];
        first.noise_level = static_cast<float>(i);
        second.noise_level = static_cast<float>(i) + 0.5f;
        pixel_values& answering = i % 2 == 0 ? first : second;
        const float depth = (i % 2 == 0 ? 500.0f : 3000.0f) + static_cast<float>(i) + shift;
        answering.echoes[0].radial_depth = depth;
        answering.echoes[0].point = {1.25f, -2.5f, depth};
        answering.echoes[0].peak_height = 7.75f;
        answering.echoes[0].peak_status = static_cast<std::uint8_t>(i % 2 == 0 ? 1 : 2);
    }
    return values;
}

TEST(camera_frame, dual_mode_merges_the_sub_frames) {
    camera_rig rig;
    stream_all(rig, dual_mode, 1);
    auto record = rig.cam->shared_frame();
    EXPECT_GE(record->raw_image.capacity(), raw_frame_size(true, true));
    const float* radial = record->radial_depth[0].data();

    for (const float shift : {0.0f, 10.0f}) {
        SCOPED_TRACE(shift);
        rig.image->frame(encode_raw_frame(dual_frame(shift), true, shift != 0.0f));
        frame_buffer& frame = rig.cam->get_frame(10);
        ASSERT_EQ(frame.error, 0);
        ASSERT_EQ(frame.radial_depth[0].size(), single_depth_pixels);
        ASSERT_EQ(frame.point_cloud[0].size(), single_depth_pixels);
        ASSERT_EQ(frame.peak_status[0].size(), single_depth_pixels);
        // Outputs that are not per echo keep both sub-frames.
        ASSERT_EQ(frame.noise_level.size(), dual_depth_pixels);
        EXPECT_EQ(frame.noise_level[single_depth_pixels + 3], 3.5f);
        for (std::size_t i = 0; i < single_depth_pixels; ++i) {
            const float depth = (i % 2 == 0 ? 500.0f : 3000.0f) + static_cast<float>(i) + shift;
            ASSERT_EQ(frame.radial_depth[0][i], depth) << i;
            ASSERT_EQ(frame.cartesian_depth[0][i], depth) << i;
            ASSERT_EQ(frame.point_cloud[0][i], (point3f{1.25f, -2.5f, depth})) << i;
            ASSERT_EQ(frame.peak_height[0][i], 7.75f) << i;
            ASSERT_EQ(code_of(frame.peak_status[0][i]), i % 2 == 0 ? 1 : 2) << i;
        }
        // Growing to both sub-frames and shrinking back stays within the storage of start.
        EXPECT_EQ(frame.radial_depth[0].data(), radial);
    }
}

TEST(camera_frame, failures_are_reported_in_the_record_and_streaming_goes_on) {
    struct case_ {
        const char* name;
        std::function<void(test_stream_state&)> script;
        int error;
        const char* line;
    };
    const case_ cases[] = {
        {"wrong size", [](test_stream_state& s) { s.frame(std::vector<std::uint8_t>(395136 + 672)); },
         -EINVAL, "Cannot get a frame: failed processing raw data\n"},
        {"dual-size frame", [](test_stream_state& s) { s.frame(std::vector<std::uint8_t>(790272)); },
         -EINVAL, "Cannot get a frame: failed processing raw data\n"},
        {"timeout", [](test_stream_state& s) { s.timeout(); }, -62,
         "Cannot get a frame: stream[image]: errcode=-62\n"},
        {"negative code", [](test_stream_state& s) { s.result(-5); }, -5,
         "Cannot get a frame: stream[image]: errcode=-5\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        camera_rig rig;
        stream_all(rig, single_mode, 1);
        const frame_values good = random_frame_values(5, false, 1);
        rig.image->frame(encode_raw_frame(good, false, false));
        c.script(*rig.image);
        rig.image->frame(encode_raw_frame(good, false, false));

        ASSERT_EQ(rig.cam->get_frame(10).error, 0);
        frame_buffer* failed = nullptr;
        EXPECT_EQ(stdout_of([&] { failed = &rig.cam->get_frame(10); }), c.line);
        EXPECT_EQ(failed->error, c.error);
        EXPECT_EQ(failed, rig.cam->shared_frame().get());
        // The previous frame's outputs are still there, flagged only by the error.
        EXPECT_EQ(failed->radial_depth[0][17], good.pixels[17].echoes[0].radial_depth);
        EXPECT_EQ(rig.cam->get_camera_info().status, camera_status::streaming);

        frame_buffer& next = rig.cam->get_frame(10);
        EXPECT_EQ(next.error, 0);
        expect_decoded(next, good, 1);
    }
}

TEST(camera_frame, an_exception_from_the_stream_passes_through_and_leaves_error_alone) {
    camera_rig rig;
    stream_all(rig, single_mode, 1);
    const frame_values good = random_frame_values(6, false, 1);
    rig.image->timeout().exception("source broke").frame(encode_raw_frame(good, false, false));
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.cam->get_frame(10).error, -62);
    testing::internal::GetCapturedStdout();

    testing::internal::CaptureStdout();
    EXPECT_THROW(rig.cam->get_frame(10), std::runtime_error);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(rig.cam->shared_frame()->error, -62);
    EXPECT_EQ(rig.cam->get_camera_info().status, camera_status::streaming);
    EXPECT_EQ(rig.cam->get_frame(10).error, 0);
}

TEST(camera_frame, a_held_record_survives_stop_and_start) {
    camera_rig rig;
    stream_all(rig, single_mode, 1);
    const frame_values values = random_frame_values(8, false, 1);
    rig.image->frame(encode_raw_frame(values, false, false)).frame(encode_raw_frame(values, false, false));
    rig.cam->get_frame(10);
    const std::shared_ptr<frame_buffer> held = rig.cam->shared_frame();

    ASSERT_EQ(rig.cam->stop(), 0);
    EXPECT_EQ(rig.cam->shared_frame(), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.cam->get_frame(10).error, -EACCES);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rig.cam->start(), 0);
    EXPECT_NE(rig.cam->shared_frame(), held);
    rig.cam->get_frame(10);

    EXPECT_EQ(held->error, 0);
    expect_decoded(*held, values, 1);
    rig.cam.reset();
    expect_decoded(*held, values, 1);
}

TEST(camera_frame, a_removed_image_stream_is_reported_as_missing) {
    camera_rig rig;
    rig.stream(single_mode);
    rig.cam->add_stream(stream_type::stream_image, nullptr);
    frame_buffer* frame = nullptr;
    EXPECT_EQ(stdout_of([&] { frame = &rig.cam->get_frame(10); }), "Cannot get a frame: missing streams\n");
    EXPECT_EQ(frame->error, -EACCES);
    EXPECT_EQ(rig.cam->stop(), 0);
    EXPECT_EQ(rig.image->calls, (std::vector<std::string>{"open", "start", "stop", "close"}));
}

// A frame source may drive the camera that reads from it; the read must not write into a
// record the camera no longer holds, nor replace the record of a new start.
TEST(camera_frame, a_source_that_stops_or_restarts_the_camera_during_a_read) {
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "restart" : "stop");
        camera_rig rig;
        stream_all(rig, single_mode, 1);
        rig.image->frame(encode_raw_frame(random_frame_values(3, false, 1), false, false));
        camera& cam = *rig.cam;
        rig.image->on_read = [&] {
            rig.image->on_read = nullptr;
            cam.stop();
            if (restart)
                cam.start();
        };
        frame_buffer* frame = nullptr;
        EXPECT_EQ(stdout_of([&] { frame = &cam.get_frame(10); }), "Cannot get a frame: camera not streaming\n");
        EXPECT_EQ(frame, cam.shared_frame().get());
        EXPECT_EQ(frame->error, -EACCES);
        EXPECT_EQ(cam.get_camera_info().status, restart ? camera_status::streaming : camera_status::idle);
        if (restart) {
            // The new start's record is still the one its processor fills.
            EXPECT_EQ(frame->point_cloud[0].size(), single_depth_pixels);
            rig.image->frame(encode_raw_frame(random_frame_values(4, false, 1), false, false));
            EXPECT_EQ(cam.get_frame(10).error, 0);
        }
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

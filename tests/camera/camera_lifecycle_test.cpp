#include <cmath>
#include <functional>
#include <limits>

#include "camera_test_fixture.hpp"

namespace vorlake::tessaro::test_support {
namespace {

constexpr int eacces = -EACCES;
constexpr int einval = -EINVAL;

struct operation {
    const char* name;
    std::function<int(camera&)> run;
};

const std::vector<operation>& operations() {
    static const std::vector<operation> all{
        {"open", [](camera& c) { return c.open(dual_mode); }},
        {"close", [](camera& c) { return c.close(); }},
        {"dual_depth", [](camera& c) { return c.configure_camera_dual_depth(dual_depth_params{}); }},
        {"echo", [](camera& c) { return c.configure_camera_echo(2); }},
        {"output", [](camera& c) { return c.configure_camera_output(camera_output_configuration{}); }},
        {"start", [](camera& c) { return c.start(); }},
        {"stop", [](camera& c) { return c.stop(); }},
    };
    return all;
}

struct transition {
    camera_status from;
    const char* operation;
    int result;
    camera_status to;
    const char* line;  // what the operation prints, without its end-of-line; empty for nothing
};

// Every operation in every state.
const transition state_machine[] = {
    {camera_status::available, "open", 0, camera_status::idle, ""},
    {camera_status::available, "close", eacces, camera_status::available, "Cannot close camera: camera not acquired"},
    {camera_status::available, "dual_depth", eacces, camera_status::available, "Cannot configure dual depth: camera not opened or not idle"},
    {camera_status::available, "echo", eacces, camera_status::available, "Cannot change number of echo: camera not opened or not idle"},
    {camera_status::available, "output", eacces, camera_status::available, "Cannot change synchronization mode: camera not opened or not idle"},
    {camera_status::available, "start", eacces, camera_status::available, "Cannot start streaming: camera not opened or not idle"},
    {camera_status::available, "stop", eacces, camera_status::available, "Cannot stop streaming: camera not streaming"},
    {camera_status::idle, "open", eacces, camera_status::idle, "Cannot open camera: camera not available"},
    {camera_status::idle, "close", 0, camera_status::available, ""},
    {camera_status::idle, "dual_depth", 0, camera_status::idle, ""},
    {camera_status::idle, "echo", 0, camera_status::idle, ""},
    {camera_status::idle, "output", 0, camera_status::idle, ""},
    {camera_status::idle, "start", 0, camera_status::streaming, ""},
    {camera_status::idle, "stop", eacces, camera_status::idle, "Cannot stop streaming: camera not streaming"},
    {camera_status::streaming, "open", eacces, camera_status::streaming, "Cannot open camera: camera not available"},
    {camera_status::streaming, "close", 0, camera_status::available, ""},
    {camera_status::streaming, "dual_depth", eacces, camera_status::streaming, "Cannot configure dual depth: camera not opened or not idle"},
    {camera_status::streaming, "echo", eacces, camera_status::streaming, "Cannot change number of echo: camera not opened or not idle"},
    {camera_status::streaming, "output", eacces, camera_status::streaming, "Cannot change synchronization mode: camera not opened or not idle"},
    {camera_status::streaming, "start", eacces, camera_status::streaming, "Cannot start streaming: camera not opened or not idle"},
    {camera_status::streaming, "stop", 0, camera_status::idle, ""},
};

TEST(camera_lifecycle, every_operation_in_every_state) {
    for (const transition& t : state_machine) {
        SCOPED_TRACE(std::string(t.operation) + " from state " + std::to_string(static_cast<int>(t.from)));
        camera_rig rig;
        if (t.from != camera_status::available)
            rig.open(dual_mode);
        if (t.from == camera_status::streaming) {
            ASSERT_EQ(rig.cam->start(), 0);
        }
        ASSERT_EQ(rig.cam->get_camera_info().status, t.from);

        const operation* op = nullptr;
        for (const operation& candidate : operations())
            if (std::string(candidate.name) == t.operation)
                op = &candidate;
        ASSERT_NE(op, nullptr);
        int result = 1;
        const std::string out = stdout_of([&] { result = op->run(*rig.cam); });
        EXPECT_EQ(result, t.result);
        EXPECT_EQ(out, *t.line ? std::string(t.line) + "\n" : std::string());
        EXPECT_EQ(rig.cam->get_camera_info().status, t.to);
    }
}

TEST(camera_lifecycle, open_refuses_an_unknown_mode_and_changes_nothing) {
    camera_rig rig;
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = rig.cam->open(0x1C); }),
              "Cannot open camera: info not found for selected mode\n");
    EXPECT_EQ(result, einval);
    const camera_info& info = rig.cam->get_camera_info();
    EXPECT_EQ(info.status, camera_status::available);
    EXPECT_EQ(info.mode, 0u);
    EXPECT_EQ(info.sync_mode, camera_sync_mode::camera_sync_undefined);
    EXPECT_EQ(rig.image->count("open"), 0u);
}

TEST(camera_lifecycle, open_selects_the_mode_and_resets_the_configuration) {
    camera_rig rig;
    rig.open(dual_mode);
    ASSERT_EQ(rig.cam->configure_camera_echo(3), 0);
    ASSERT_EQ(rig.cam->configure_camera_dual_depth({100.0f, 900.0f, 10.0f}), 0);
    ASSERT_EQ(rig.cam->close(), 0);

    rig.open(single_mode);
    const camera_info& info = rig.cam->get_camera_info();
    EXPECT_EQ(info.mode, single_mode);
    EXPECT_FALSE(info.dual_depth_mode);
    EXPECT_EQ(info.sync_mode, camera_sync_mode::camera_sync_master_mode);
    EXPECT_EQ(info.number_of_echo, 1u);
    EXPECT_EQ(info.dual_depth_params.select_near, 200.0f);
    EXPECT_EQ(info.dual_depth_params.select_far, 2000.0f);
    EXPECT_EQ(info.dual_depth_params.merge_window, 50.0f);
    EXPECT_EQ(rig.image->calls, (std::vector<std::string>{"open", "close", "open"}));
}

TEST(camera_lifecycle, a_failed_stream_open_keeps_what_open_stored_and_can_be_retried) {
    camera_rig rig;
    rig.open(dual_mode);
    ASSERT_EQ(rig.cam->configure_camera_echo(3), 0);
    ASSERT_EQ(rig.cam->close(), 0);

    rig.image->open_result = -5;
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = rig.cam->open(single_mode); }),
              "Cannot open stream 'image': error #-5\n");
    EXPECT_EQ(result, -5);
    const camera_info& info = rig.cam->get_camera_info();
    EXPECT_EQ(info.status, camera_status::available);
    // No rollback: the new mode and the reset echo count stay.
    EXPECT_EQ(info.mode, single_mode);
    EXPECT_EQ(info.number_of_echo, 1u);
    EXPECT_EQ(info.sync_mode, camera_sync_mode::camera_sync_master_mode);

    // The camera is still available: a failed stream is not closed and open starts again.
    rig.image->open_result = 0;
    EXPECT_EQ(stdout_of([&] { result = rig.cam->open(dual_mode); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(info.status, camera_status::idle);
    EXPECT_EQ(rig.image->calls, (std::vector<std::string>{"open", "close", "open", "open"}));
}

TEST(camera_lifecycle, a_camera_without_streams_opens_but_does_not_start) {
    camera_rig rig(false);
    rig.open(single_mode);
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = rig.cam->start(); }), "Cannot start camera: missing streams\n");
    EXPECT_EQ(result, eacces);
    EXPECT_EQ(rig.cam->get_camera_info().status, camera_status::idle);
}

TEST(camera_lifecycle, start_opens_a_stream_added_after_open_and_reports_stream_failures) {
    struct case_ {
        int open_result;
        int start_result;
        int result;
        const char* line;
    };
    const case_ cases[] = {
        {0, 0, 0, ""},
        {-19, 0, -19, "Cannot open stream 'image': error #-19\n"},
        {0, -16, -16, "Cannot start stream 'image': error #-16\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        camera_rig rig(false);
        rig.open(single_mode);
        std::shared_ptr<test_stream_state> image;
        rig.cam->add_stream(stream_type::stream_image, make_test_stream(image));
        image->open_result = c.open_result;
        image->start_result = c.start_result;
        int result = 1;
        EXPECT_EQ(stdout_of([&] { result = rig.cam->start(); }), c.line);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(rig.cam->get_camera_info().status,
                  c.result == 0 ? camera_status::streaming : camera_status::idle);
        // The record built before the streams were started stays in place.
        EXPECT_NE(rig.cam->shared_frame(), nullptr);

        // A stream that opened stays open and is only started again.
        image->open_result = 0;
        image->start_result = 0;
        if (c.result != 0) {
            EXPECT_EQ(rig.cam->start(), 0);
        }
        EXPECT_EQ(image->count("open"), c.open_result == 0 ? 1u : 2u);
    }
}

TEST(camera_lifecycle, close_while_streaming_stops_first_and_drops_the_record) {
    camera_rig rig;
    rig.stream(single_mode);
    int result = 1;
    EXPECT_EQ(stdout_of([&] { result = rig.cam->close(); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rig.cam->get_camera_info().status, camera_status::available);
    EXPECT_EQ(rig.cam->shared_frame(), nullptr);
    EXPECT_EQ(rig.image->calls, (std::vector<std::string>{"open", "start", "stop", "close"}));
}

TEST(camera_lifecycle, add_stream_installs_by_type_and_replaces) {
    camera_rig rig(false);
    std::shared_ptr<test_stream_state> first;
    std::shared_ptr<test_stream_state> second;
    std::shared_ptr<test_stream_state> stray;
    rig.cam->add_stream(stream_type::stream_image, make_test_stream(first));
    rig.cam->add_stream(static_cast<stream_type>(7), make_test_stream(stray));
    EXPECT_TRUE(stray->destroyed);
    rig.open(single_mode);

    // The replaced stream was open; it is closed before it is destroyed, and its successor is
    // opened by start.
    rig.cam->add_stream(stream_type::stream_image, make_test_stream(second));
    EXPECT_TRUE(first->destroyed);
    EXPECT_EQ(first->calls, (std::vector<std::string>{"open", "close"}));
    ASSERT_EQ(rig.cam->start(), 0);
    EXPECT_EQ(second->calls, (std::vector<std::string>{"open", "start"}));
}

TEST(camera_lifecycle, destroying_a_camera_releases_its_streams) {
    std::shared_ptr<test_stream_state> image;
    std::shared_ptr<test_stream_state> ebd;
    {
        camera_rig rig(true, true);
        image = rig.image;
        ebd = rig.ebd;
        rig.stream(single_mode);
    }
    EXPECT_EQ(image->calls, (std::vector<std::string>{"open", "start", "stop", "close"}));
    EXPECT_EQ(ebd->calls, (std::vector<std::string>{"open", "start", "stop", "close"}));
    EXPECT_TRUE(image->destroyed);
    EXPECT_TRUE(ebd->destroyed);

    {
        camera_rig never_opened;
        image = never_opened.image;
    }
    EXPECT_TRUE(image->calls.empty());
    EXPECT_TRUE(image->destroyed);
}

// configure_camera_dual_depth validates in a fixed order; the first failing rule speaks.
TEST(camera_configuration, dual_depth_parameters) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const char* finite = "Cannot configure dual depth: parameters must be finite and merge_window non-negative\n";
    struct case_ {
        dual_depth_params params;
        int result;
        const char* line;
    };
    const case_ cases[] = {
        {{500.0f, 500.0f, 50.0f}, 0, ""},
        {{0.0f, 0.0f, 0.0f}, 0, ""},
        {{600.0f, 500.0f, 50.0f}, einval, "Cannot configure dual depth: select_near is larger than select_far\n"},
        {{200.0f, 2000.0f, -1.0f}, einval, finite},
        {{nan, 2000.0f, 50.0f}, einval, finite},
        {{200.0f, inf, 50.0f}, einval, finite},
        {{200.0f, 2000.0f, nan}, einval, finite},
        {{-inf, -1.0f, -1.0f}, einval, finite},
        {{-1.0f, 2000.0f, 50.0f}, einval, "Cannot configure dual depth: select_near is negative\n"},
        {{0.0f, -1.0f, 50.0f}, einval, "Cannot configure dual depth: select_far is negative\n"},
        {{-5.0f, -1.0f, 50.0f}, einval, "Cannot configure dual depth: select_near is negative\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        camera_rig rig;
        rig.open(dual_mode);
        int result = 1;
        EXPECT_EQ(stdout_of([&] { result = rig.cam->configure_camera_dual_depth(c.params); }), c.line);
        EXPECT_EQ(result, c.result);
        const dual_depth_params& stored = rig.cam->get_camera_info().dual_depth_params;
        const dual_depth_params expected = c.result == 0 ? c.params : dual_depth_params{};
        EXPECT_EQ(stored.select_near, expected.select_near);
        EXPECT_EQ(stored.select_far, expected.select_far);
        EXPECT_EQ(stored.merge_window, expected.merge_window);
    }

    // A single-depth mode refuses whatever the parameters.
    for (const dual_depth_params& params : {dual_depth_params{}, dual_depth_params{nan, 1.0f, -1.0f}}) {
        camera_rig rig;
        rig.open(single_mode);
        int result = 1;
        EXPECT_EQ(stdout_of([&] { result = rig.cam->configure_camera_dual_depth(params); }),
                  "Cannot configure dual depth: selected mode is not a dual mode\n");
        EXPECT_EQ(result, eacces);
    }
}

TEST(camera_configuration, echo_count) {
    camera_rig rig;
    rig.open(single_mode);
    for (std::uint32_t n : {0u, 4u, 100u}) {
        int result = 1;
        EXPECT_EQ(stdout_of([&] { result = rig.cam->configure_camera_echo(n); }),
                  "Configured number of echo not supported. Max is 3\n");
        EXPECT_EQ(result, einval);
        EXPECT_EQ(rig.cam->get_camera_info().number_of_echo, 1u);
    }
    for (std::uint32_t n : {3u, 1u, 2u}) {
        EXPECT_EQ(rig.cam->configure_camera_echo(n), 0);
        EXPECT_EQ(rig.cam->get_camera_info().number_of_echo, n);
    }
}

TEST(camera_configuration, settings_take_effect_at_the_next_start) {
    camera_rig rig;
    rig.stream(single_mode);
    auto first = rig.cam->shared_frame();
    EXPECT_EQ(first->max_depth_index, 1);
    EXPECT_EQ(first->point_cloud[0].size(), 576u);
    EXPECT_TRUE(first->radial_depth[0].empty());

    ASSERT_EQ(rig.cam->stop(), 0);
    camera_output_configuration config;
    config.enable_radial_depth = true;
    config.enable_histogram = true;
    ASSERT_EQ(rig.cam->configure_camera_output(config), 0);
    ASSERT_EQ(rig.cam->configure_camera_echo(3), 0);
    EXPECT_EQ(rig.cam->shared_frame(), nullptr);
    ASSERT_EQ(rig.cam->start(), 0);

    auto second = rig.cam->shared_frame();
    EXPECT_EQ(second->max_depth_index, 3);
    for (std::size_t e = 0; e < 3; ++e) {
        EXPECT_TRUE(second->point_cloud[e].empty());
        EXPECT_EQ(second->radial_depth[e].size(), 576u);
    }
    EXPECT_EQ(second->histogram.size(), 576u);
    EXPECT_TRUE(second->noise_level.empty());
}

TEST(camera_configuration, dual_mode_forces_radial_depth_and_keeps_it) {
    camera_rig rig;
    rig.stream(dual_mode);
    auto dual = rig.cam->shared_frame();
    EXPECT_EQ(dual->point_cloud[0].size(), 1152u);
    EXPECT_EQ(dual->radial_depth[0].size(), 1152u);

    // The forced flag stays in the stored configuration, even into a single-depth mode.
    ASSERT_EQ(rig.cam->close(), 0);
    rig.stream(single_mode);
    EXPECT_EQ(rig.cam->shared_frame()->radial_depth[0].size(), 576u);

    // Until a new configuration is stored.
    ASSERT_EQ(rig.cam->stop(), 0);
    camera_output_configuration points_only;
    points_only.enable_point_cloud = true;
    ASSERT_EQ(rig.cam->configure_camera_output(points_only), 0);
    ASSERT_EQ(rig.cam->start(), 0);
    EXPECT_TRUE(rig.cam->shared_frame()->radial_depth[0].empty());
}

// The camera's side of the media pipeline and the sensor mode selection.
class camera_pipeline_test : public ::testing::Test {
protected:
    fake_sensor_kernel kernel;
    scoped_kernel_calls guard{kernel};
    std::shared_ptr<fake_pipeline::record> pipeline = std::make_shared<fake_pipeline::record>();
    std::shared_ptr<test_stream_state> image;
    std::shared_ptr<camera> cam;

    void SetUp() override {
        cam = std::make_shared<camera_impl>("media3/IMX704", std::make_unique<fake_pipeline>(pipeline));
        cam->add_stream(stream_type::stream_image, make_test_stream(image));
    }
    void TearDown() override { cam.reset(); }

    struct output {
        int result;
        std::string out;
        std::string err;
    };
    output open(std::uint32_t mode) {
        output o{};
        testing::internal::CaptureStderr();
        o.out = stdout_of([&] { o.result = cam->open(mode); });
        o.err = testing::internal::GetCapturedStderr();
        return o;
    }
};

TEST_F(camera_pipeline_test, open_configures_the_pipeline_then_selects_the_mode) {
    const output o = open(dual_mode);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out,
              "Configuring pipeline for camera media3/IMX704:\n"
              "    image: (width=672,height=1176)\n"
              "Sensor mode set to 0x301c (menu index 2) via V4L2 control on /dev/v4l-subdev1\n");
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(pipeline->configured.size(), 1u);
    const pipeline_configuration& config = pipeline->configured[0];
    EXPECT_EQ(config.image_width, 672u);
    EXPECT_EQ(config.image_height, 1176u);
    EXPECT_EQ(config.ebd_width, 672u);
    EXPECT_EQ(config.ebd_height, 24u);
    EXPECT_EQ(config.swap_table.order.size(), 24u);
    ASSERT_EQ(kernel.controls.size(), 1u);
    EXPECT_EQ(kernel.controls[0].id, 0x0098190Eu);
    EXPECT_EQ(kernel.controls[0].value, 2);
    EXPECT_EQ(image->calls, std::vector<std::string>{"open"});

    ASSERT_EQ(cam->close(), 0);
    const output single = open(single_mode);
    EXPECT_EQ(single.result, 0);
    EXPECT_EQ(pipeline->configured.back().image_height, 588u);
    EXPECT_EQ(pipeline->configured.back().ebd_height, 12u);
    EXPECT_EQ(kernel.controls.back().value, 0);
}

TEST_F(camera_pipeline_test, a_failed_configuration_fails_open_before_the_mode_is_set) {
    pipeline->configure_result = -19;
    const output o = open(single_mode);
    EXPECT_EQ(o.result, eacces);
    EXPECT_EQ(o.out, "Configuring pipeline for camera media3/IMX704:\n    image: (width=672,height=588)\n");
    EXPECT_EQ(o.err, "Failed to configure pipeline for camera media3/IMX704: -19\n");
    EXPECT_TRUE(kernel.controls.empty());
    EXPECT_TRUE(image->calls.empty());
    EXPECT_EQ(cam->get_camera_info().status, camera_status::available);
    EXPECT_EQ(cam->get_camera_info().mode, single_mode);
}

TEST_F(camera_pipeline_test, a_failed_mode_selection_fails_open_with_its_code) {
    struct case_ {
        const char* sensor_node;
        int ioctl_result;
        int result;
        const char* tail;
    };
    const case_ cases[] = {
        {"/dev/v4l-subdev9", 0, eacces, "Cannot open device for sensor mode: /dev/v4l-subdev9\n"},
        {"/dev/v4l-subdev1", -1, -1, "Error selecting sensor mode via V4L2 control on /dev/v4l-subdev1: -1\n"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.tail);
        pipeline->sensor_node = c.sensor_node;
        kernel.ioctl_result = c.ioctl_result;
        const output o = open(single_mode);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.out, std::string("Configuring pipeline for camera media3/IMX704:\n"
                                     "    image: (width=672,height=588)\n") +
                             c.tail + "Cannot set mode to 311c: error #" + std::to_string(c.result) + "\n");
        EXPECT_TRUE(image->calls.empty());
        EXPECT_EQ(cam->get_camera_info().status, camera_status::available);
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

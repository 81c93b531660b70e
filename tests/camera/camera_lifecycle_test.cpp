#include <array>
#include <functional>
#include <limits>
#include <tuple>

#include <vorlake/tessaro/camera_pipeline.hpp>

#include "camera/camera_impl.hpp"
#include "camera_test_fixture.hpp"

namespace vorlake::tessaro::test_support {
namespace {

constexpr int eacces = -EACCES;
using enum camera_status;

// What an operation returns from each state; a refused call prints its line and changes nothing.
struct operation {
    std::function<int(camera&)> run;
    const char* refusal;
    int result[3];        // from available, idle and streaming
    camera_status after;  // what a successful call leaves
};

const operation state_machine[] = {
    {[](camera& c) { return c.open(dual_mode); },
     "Cannot open camera: camera not available", {0, eacces, eacces}, idle},
    {[](camera& c) { return c.close(); }, "Cannot close camera: camera not acquired", {eacces, 0, 0}, available},
    {[](camera& c) { return c.configure_camera_dual_depth({}); },
     "Cannot configure dual depth: camera not opened or not idle", {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.configure_camera_echo(2); },
     "Cannot change number of echo: camera not opened or not idle", {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.configure_camera_output({}); },
     "Cannot change synchronization mode: camera not opened or not idle", {eacces, 0, eacces}, idle},
    {[](camera& c) { return c.start(); },
     "Cannot start streaming: camera not opened or not idle", {eacces, 0, eacces}, streaming},
    {[](camera& c) { return c.stop(); }, "Cannot stop streaming: camera not streaming", {eacces, eacces, 0}, idle},
};

TEST(camera_lifecycle, every_operation_in_every_state) {
    for (const operation& op : state_machine) {
        for (const camera_status from : {available, idle, streaming}) {
            SCOPED_TRACE(std::string(op.refusal) + " / from state " + std::to_string(static_cast<int>(from)));
            camera_rig rig;
            ASSERT_EQ(from == available ? 0 : rig.cam->open(dual_mode), 0);
            ASSERT_EQ(from == streaming ? rig.cam->start() : 0, 0);
            const int result = op.result[static_cast<int>(from)];
            EXPECT_EQ(printing(result ? op.refusal : "", [&] { return op.run(*rig.cam); }), result);
            EXPECT_EQ(rig.cam->get_camera_info().status, result ? from : op.after);
        }
    }
}

// start opens what open did not (here the image stream, added since), starts the image stream and
// then the embedded-data one, and leaves none running when one fails.
TEST(camera_lifecycle, a_failed_start_leaves_the_camera_idle_with_no_stream_running) {
    struct case_ { bool ebd_fails; int open_result, start_result; const char* line; call_list image_calls, ebd_calls; };
    const case_ cases[] = {
        {false, -19, 0, "Cannot open stream 'image': error #-19", {"open"}, {}},
        {false, 0, -16, "Cannot start stream 'image': error #-16", {"open", "start"}, {}},
        {true, -19, 0, "Cannot open stream 'ebd': error #-19", {"open", "start", "stop"}, {"open"}},
        {true, 0, -16, "Cannot start stream 'ebd': error #-16", {"open", "start", "stop"}, {"open", "start"}},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        camera_rig rig(false, true);
        rig.open(single_mode);
        rig.cam->add_stream(stream_type::stream_image, make_test_stream(rig.image));
        test_stream_state& failing = c.ebd_fails ? *rig.ebd : *rig.image;
        failing.open_result = c.open_result;
        failing.start_result = c.start_result;
        EXPECT_EQ(printing(c.line, [&] { return rig.cam->start(); }), c.open_result + c.start_result);
        EXPECT_EQ(rig.cam->get_camera_info().status, idle);
        EXPECT_EQ(std::pair(rig.image->calls, rig.ebd->calls), std::pair(c.image_calls, c.ebd_calls));
    }
}

// The streams follow the camera: start opens and starts them, stop stops them, and close, dropping
// the camera or replacing a stream stops and closes them. A stream added while streaming waits
// for the next start; without an image stream, get_frame and start report it.
TEST(camera_lifecycle, the_streams_follow_the_camera_to_its_end) {
    camera_rig rig(true, true);
    const std::shared_ptr<test_stream_state> first_image = rig.image, first_ebd = rig.ebd;
    std::shared_ptr<test_stream_state> stray;
    rig.cam->add_stream(static_cast<stream_type>(7), make_test_stream(stray));
    rig.stream(single_mode);
    EXPECT_EQ(printing("", [&] { return rig.cam->close(); }), 0);
    rig.stream(single_mode);
    rig.cam->add_stream(stream_type::stream_ebd, make_test_stream(rig.ebd));
    rig.image->frame(encode_raw_frame(random_frame_values(1, false, 1), false, false));
    EXPECT_EQ(rig.get_frame().error, 0);
    rig.cam->add_stream(stream_type::stream_image, nullptr);
    EXPECT_EQ(rig.get_frame("Cannot get a frame: missing streams").error, eacces);
    ASSERT_EQ(rig.cam->stop(), 0);
    EXPECT_EQ(printing("Cannot start camera: missing streams", [&] { return rig.cam->start(); }), eacces);
    EXPECT_TRUE(rig.ebd->calls.empty());
    rig.cam->add_stream(stream_type::stream_image, make_test_stream(rig.image));
    ASSERT_EQ(rig.cam->start(), 0);
    rig.cam.reset();
    EXPECT_EQ(first_image->calls,
              (call_list{"open", "start", "stop", "close", "open", "start", "read", "stop", "close"}));
    EXPECT_EQ(first_ebd->calls, (call_list{"open", "start", "stop", "close", "open", "start", "stop", "close"}));
    EXPECT_EQ(rig.image->calls, (call_list{"open", "start", "stop", "close"}));
    EXPECT_EQ(rig.ebd->calls, rig.image->calls);
    for (const auto& stream : {stray, first_image, first_ebd, rig.image, rig.ebd})
        EXPECT_TRUE(stream->destroyed);
}

// Each setting is checked in a fixed order: the first rule it breaks is the one reported.
TEST(camera_configuration, invalid_settings_are_refused_with_their_reason) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::string finite = "parameters must be finite and merge_window non-negative";
    const std::pair<dual_depth_params, std::string> cases[] = {
        {{500, 500, 50}, ""}, {{0, 0, 0}, ""}, {{600, 500, 50}, "select_near is larger than select_far"},
        {{200, 2000, -1}, finite}, {{nan, 2000, 50}, finite}, {{200, inf, 50}, finite}, {{200, 2000, nan}, finite},
        {{-inf, -1, -1}, finite}, {{-1, 2000, 50}, "select_near is negative"}, {{0, -1, 50}, "select_far is negative"},
        {{-5, -1, 50}, "select_near is negative"},
    };
    camera_rig rig;
    rig.open(dual_mode);
    for (const auto& [params, reason] : cases) {
        const std::string line = reason.empty() ? "" : "Cannot configure dual depth: " + reason;
        EXPECT_EQ(printing(line, [&] { return rig.cam->configure_camera_dual_depth(params); }), reason.empty() ? 0 : -EINVAL) << reason;
    }
    ASSERT_EQ(rig.cam->close(), 0);
    rig.open(single_mode);
    EXPECT_EQ(printing("Cannot configure dual depth: selected mode is not a dual mode",
                       [&] { return rig.cam->configure_camera_dual_depth({nan, 1, -1}); }), eacces);
    for (const std::uint32_t echoes : {0u, 4u, 1u, 3u}) {
        const bool valid = echoes >= 1 && echoes <= 3;
        const std::string line = valid ? "" : "Configured number of echo not supported. Max is 3";
        EXPECT_EQ(printing(line, [&] { return rig.cam->configure_camera_echo(echoes); }), valid ? 0 : -EINVAL);
    }
}

// The record is built by start from the settings stored then. A dual-depth mode merges by radial
// depth, so it turns that output on; cartesian depth is taken from the points, so it needs them.
TEST(camera_configuration, settings_take_effect_at_the_next_start) {
    const auto sizes_of = [](const frame_buffer& f) {
        return std::array<std::size_t, 8>{f.max_depth_index, f.point_cloud[0].size(), f.cartesian_depth[0].size(), f.radial_depth[0].size(),
                          f.peak_height[0].size(), f.noise_level.size(), f.histogram.size(), f.pdc.size()};
    };
    camera_rig rig;
    rig.open(dual_mode);  // with the default output, the point cloud alone
    ASSERT_EQ(rig.cam->start(), 0);
    EXPECT_EQ(sizes_of(*rig.cam->shared_frame()), (std::array<std::size_t, 8>{1, 1152, 0, 1152, 0, 0, 0, 0}));
    ASSERT_EQ(rig.cam->close(), 0);
    rig.open(single_mode);
    camera_output_configuration config;
    config.enable_cartesian_depth = config.enable_histogram = true;
    ASSERT_EQ(rig.cam->configure_camera_output(config) + rig.cam->configure_camera_echo(3) + rig.cam->start(), 0);
    EXPECT_EQ(sizes_of(*rig.cam->shared_frame()), (std::array<std::size_t, 8>{3, 576, 576, 0, 0, 0, 576, 0}));
    EXPECT_EQ(sizes_of(frame_buffer(config, 3, 576)), sizes_of(*rig.cam->shared_frame()));  // built from the settings alone
}

// A pipeline that records the configuration it is given and has no device node, so that
// selecting the sensor mode fails before any device call.
struct fake_pipeline final : camera_pipeline {
    int result;
    pipeline_configuration configured;
    explicit fake_pipeline(int result) : camera_pipeline("/nonexistent/media-device"), result(result) {}
    int get_stream_device_nodes(std::string&, std::string&) override { return 0; }
    int get_sensor_device_node(std::string&) override { return 0; }
    int configure(const pipeline_configuration& config) override { configured = config; return result; }
};

// open configures the pipeline for the mode, then selects the mode; either failure fails open.
TEST(camera_lifecycle, open_configures_the_pipeline_then_selects_the_mode) {
    for (const bool dual : {true, false}) {  // the dual-depth pipeline accepts its configuration
        auto owned = std::make_unique<fake_pipeline>(dual ? 0 : -19);
        const pipeline_configuration& c = owned->configured;
        camera_impl cam("media3/IMX704", std::move(owned));
        int opened = 0;
        const std::string err = output_of([&] { opened = cam.open(dual ? dual_mode : single_mode); }).err;
        EXPECT_EQ(std::tuple(opened, err.empty(), cam.get_camera_info().status), std::tuple(dual ? -ENODEV : eacces, dual, available));
        EXPECT_EQ((std::array{c.image_width, c.image_height, c.ebd_width, c.ebd_height}),
                  (std::array{672u, dual ? 1176u : 588u, 672u, dual ? 24u : 12u}));
        EXPECT_EQ(c.swap_table.order, make_line_swap_table(dual).order);
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

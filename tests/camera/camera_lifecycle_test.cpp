#include <array>
#include <cmath>

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
        camera_rig rig(false, true);
        rig.open(single_mode);
        rig.cam->add_stream(stream_type::stream_image, make_test_stream(rig.image));
        test_stream_state& failing = c.ebd_fails ? *rig.ebd : *rig.image;
        failing.open_result = c.open_result;
        failing.start_result = c.start_result;
        output_of([&] { EXPECT_EQ(rig.cam->start(), c.open_result + c.start_result); });
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
    rig.stream();
    EXPECT_EQ(printing("", [&] { return rig.cam->close(); }), 0);
    rig.stream();
    rig.cam->add_stream(stream_type::stream_ebd, make_test_stream(rig.ebd));
    rig.cam->add_stream(stream_type::stream_image, nullptr);
    EXPECT_EQ(rig.get_frame("Cannot get a frame: missing streams").error, eacces);
    ASSERT_EQ(rig.cam->stop(), 0);
    EXPECT_EQ(printing("Cannot start camera: missing streams", [&] { return rig.cam->start(); }), eacces);
    EXPECT_TRUE(rig.ebd->calls.empty());
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
    output_of([&] { EXPECT_EQ(rig.cam->configure_camera_dual_depth({}), eacces); });  // not a dual mode
    camera_output_configuration config;
    config.enable_cartesian_depth = config.enable_histogram = true;
    ASSERT_EQ(rig.cam->configure_camera_output(config) + rig.cam->configure_camera_echo(3) + rig.cam->start(), 0);
    EXPECT_EQ(sizes_of(*rig.cam->shared_frame()), (std::array<std::size_t, 8>{3, 576, 576, 0, 0, 0, 576, 0}));
    EXPECT_EQ(sizes_of(frame_buffer(config, 3, 576)), sizes_of(*rig.cam->shared_frame()));  // built from the settings alone
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

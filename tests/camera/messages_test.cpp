// The message sink: every line the library writes reaches an installed sink, with its severity,
// and nothing reaches the standard streams; removing the sink brings the default output back.
#include <vorlake/tessaro/camera_manager.hpp>
#include <vorlake/tessaro/messages.hpp>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <utility>

#include "camera_test_fixture.hpp"
#include "capture/v4l2_stream.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using line = std::pair<message_severity, std::string>;

// Discovery, pipeline and sensor-mode progress ("[DEBUG]", "[SAFE_MODE]" lines included) and a
// stream that is already open are informational; failures from every module are errors.
TEST(messages, a_sink_gets_every_line_with_its_severity_instead_of_the_streams) {
    camera_manager& manager = camera_manager::instance();
    simulated_system sys;
    sys.kernel.add_jetson_device({});
    std::vector<line> lines;
    set_message_sink([&](message_severity severity, std::string_view text) { lines.emplace_back(severity, text); });
    CaptureStdout();
    CaptureStderr();
    manager.init();
    v4l2_stream stream(V4L2_BUF_TYPE_VIDEO_CAPTURE, "/dev/video0", "Image data");
    EXPECT_EQ(std::pair(stream.open(), stream.open()), std::pair(0, 0));
    stream.close();
    std::shared_ptr<camera> cam = manager.get_camera("media0/IMX704");
    ASSERT_NE(cam, nullptr);
    ASSERT_EQ(cam->open(0x311C), 0);
    const std::size_t progress = lines.size();
    EXPECT_EQ(v4l2_stream(V4L2_BUF_TYPE_VIDEO_CAPTURE, "/dev/video9", "Image data").open(), -ENOENT);
    EXPECT_EQ(manager.get_camera("media9/IMX704"), nullptr);
    EXPECT_EQ(cam->get_frame(0).error, -EACCES);
    EXPECT_EQ(cam->configure_camera_echo(4), -EINVAL);
    set_message_sink(nullptr);
    EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");

    EXPECT_GT(progress, 8u);
    for (std::size_t i = 0; i < progress; ++i)
        EXPECT_EQ(lines[i].first, message_severity::info) << lines[i].second;
    EXPECT_NE(std::ranges::find(lines, line{message_severity::info, "Image data: already opened "}), lines.end());
    const std::vector<line> failures(lines.begin() + static_cast<std::ptrdiff_t>(progress), lines.end());
    EXPECT_EQ(failures, (std::vector<line>{
        {message_severity::error, "Image data: - cannot open /dev/video9: 2, No such file or directory"},
        {message_severity::error, "Camera 'media9/IMX704' not found"},
        {message_severity::error, "Cannot get a frame: camera not streaming"},
        {message_severity::error, "Configured number of echo not supported. Max is 3"}}));
    EXPECT_EQ(cam->close(), 0);
    sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
    CaptureStdout();
    manager.init();
    EXPECT_EQ(GetCapturedStdout(), "");
}

// A sink that throws loses its line, not the operation: the frame still carries its error code.
TEST(messages, a_throwing_sink_costs_only_the_line) {
    camera_rig rig;
    rig.open(single_mode);
    set_message_sink([](message_severity, std::string_view) { throw std::runtime_error("full"); });
    EXPECT_EQ(rig.get_frame().error, -EACCES);
    set_message_sink(nullptr);
    EXPECT_EQ(rig.get_frame("Cannot get a frame: camera not streaming").error, -EACCES);
}

// Sinks replaced while another thread writes: every line reaches exactly one of them.
TEST(messages, sinks_can_be_replaced_while_lines_are_written) {
    std::atomic<int> first = 0, second = 0;
    const message_sink counting_first = [&](message_severity, std::string_view) { ++first; };
    const message_sink counting_second = [&](message_severity, std::string_view) { ++second; };
    set_message_sink(counting_first);
    constexpr int writes = 2000;
    std::thread writer([] {
        camera_rig rig;
        rig.open(single_mode);
        for (int i = 0; i < writes; ++i)
            rig.cam->get_frame(0);
    });
    for (int i = 0; i < writes; ++i)
        set_message_sink(i % 2 ? counting_first : counting_second);
    writer.join();
    set_message_sink(nullptr);
    EXPECT_EQ(first + second, writes);
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

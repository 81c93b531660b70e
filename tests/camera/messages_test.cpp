// The message sink: every line reaches an installed sink with its severity, and nothing reaches
// the standard streams; removing the sink brings the default output back.
#include <vorlake/tessaro/camera_manager.hpp>
#include <vorlake/tessaro/messages.hpp>

#include <stdexcept>

#include "camera_test_fixture.hpp"
#include "capture/v4l2_stream.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

using namespace ::testing::internal;
using line = std::pair<message_severity, std::string>;

// Discovery, pipeline and sensor-mode progress ("[DEBUG]" and "[SAFE_MODE]" lines included) and a
// stream that is already open are informational; failures from every module are errors. A sink
// that throws loses its line, not the operation.
TEST(messages, a_sink_gets_every_line_with_its_severity_instead_of_the_streams) {
    simulated_system sys;
    sys.kernel.add_jetson_device({});
    std::vector<line> lines;
    set_message_sink([&](message_severity severity, std::string_view text) { lines.emplace_back(severity, text); });
    CaptureStdout();
    CaptureStderr();
    camera_manager::instance().init();
    v4l2_stream stream(V4L2_BUF_TYPE_VIDEO_CAPTURE, "/dev/video9", "Image data");
    std::shared_ptr<camera> cam = camera_manager::instance().get_camera("media0/IMX704");
    ASSERT_EQ(cam->open(0x311C), 0);
    const std::size_t progress = lines.size();
    EXPECT_EQ(stream.open(), -ENOENT);
    EXPECT_EQ(cam->get_frame(0).error, -EACCES);
    set_message_sink([](message_severity, std::string_view) { throw std::runtime_error("full"); });
    EXPECT_EQ(cam->get_frame(0).error, -EACCES);
    set_message_sink(nullptr);
    EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");
    EXPECT_EQ(cam->close(), 0);
    EXPECT_EQ(printing("Cannot close camera: camera not acquired", [&] { return cam->close(); }), -EACCES);

    EXPECT_GT(progress, 8u);
    for (std::size_t i = 0; i < progress; ++i)
        EXPECT_EQ(lines[i].first, message_severity::info) << lines[i].second;
    EXPECT_EQ(std::vector(lines.begin() + static_cast<std::ptrdiff_t>(progress), lines.end()), (std::vector<line>{
        {message_severity::error, "Image data: - cannot open /dev/video9: 2, No such file or directory"},
        {message_severity::error, "Cannot get a frame: camera not streaming"}}));
    sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
    camera_manager::instance().init();
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

// What the camera tests share: an offline camera wired to scripted streams, a pipeline and a
// kernel that answer as told, and output capture.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera.hpp>
#include <vorlake/tessaro/camera_pipeline.hpp>

#include "camera/camera_impl.hpp"
#include "capture/kernel_calls.hpp"
#include "support/test_stream.hpp"

namespace vorlake::tessaro::test_support {

inline constexpr std::uint32_t dual_mode = 0x301C;
inline constexpr std::uint32_t single_mode = 0x311C;

// An offline camera and the handles of the streams it owns.
struct camera_rig {
    std::shared_ptr<camera> cam = create_camera_offline("offline0");
    std::shared_ptr<test_stream_state> image;
    std::shared_ptr<test_stream_state> ebd;

    explicit camera_rig(bool with_image = true, bool with_ebd = false) {
        if (with_image)
            cam->add_stream(stream_type::stream_image, make_test_stream(image));
        if (with_ebd)
            cam->add_stream(stream_type::stream_ebd, make_test_stream(ebd));
    }

    // Opens (and starts) the camera, failing the test if it refuses.
    void open(std::uint32_t mode) { ASSERT_EQ(cam->open(mode), 0); }
    void stream(std::uint32_t mode) {
        open(mode);
        ASSERT_EQ(cam->start(), 0);
    }
};

// What a call writes on the standard output or error stream.
template <typename call>
std::string stdout_of(call&& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

template <typename call>
std::string stderr_of(call&& run) {
    testing::internal::CaptureStderr();
    run();
    return testing::internal::GetCapturedStderr();
}

// A media pipeline that configures nothing and answers with what the test set.
class fake_pipeline final : public camera_pipeline {
public:
    struct record {
        int configure_result = 0;
        std::string sensor_node = "/dev/v4l-subdev1";
        std::string image_node = "/dev/video0";
        std::vector<pipeline_configuration> configured;
    };

    // The base opens nothing it could later close on a real descriptor.
    explicit fake_pipeline(std::shared_ptr<record> state)
        : camera_pipeline("/nonexistent/media-device"), state(std::move(state)) {}

    int get_stream_device_nodes(std::string& image_node, std::string& ebd_node) override {
        image_node = state->image_node;
        ebd_node.clear();
        return 0;
    }
    int get_sensor_device_node(std::string& node) override {
        node = state->sensor_node;
        return 0;
    }
    int configure(const pipeline_configuration& config) override {
        state->configured.push_back(config);
        return state->configure_result;
    }

private:
    std::shared_ptr<record> state;
};

// A kernel with one controllable device node: the node the sensor mode is set on.
class fake_sensor_kernel final : public kernel_calls {
public:
    static constexpr int node_fd = 4000;
    std::string node = "/dev/v4l-subdev1";
    int ioctl_result = 0;
    std::vector<v4l2_control> controls;
    std::vector<std::string> opened;
    int closed = 0;

    int open(const char* path, int) override {
        opened.emplace_back(path);
        if (path != node) {
            errno = ENOENT;
            return -1;
        }
        return node_fd;
    }
    int close(int fd) override {
        closed += fd == node_fd;
        return 0;
    }
    int ioctl(int, unsigned long request, void* arg) override {
        if (request == VIDIOC_S_CTRL)
            controls.push_back(*static_cast<v4l2_control*>(arg));
        if (ioctl_result != 0)
            errno = EINVAL;
        return ioctl_result;
    }
    void* mmap(void*, std::size_t, int, int, int, off_t) override { return MAP_FAILED; }
    int munmap(void*, std::size_t) override { return -1; }
    int select(int, fd_set*, fd_set*, fd_set*, timeval*) override { return -1; }
    int list_directory(const std::string&, std::vector<std::string>&) override { return -1; }
    int read_text_file(const std::string&, std::string&) override { return -1; }
};

}  // namespace vorlake::tessaro::test_support

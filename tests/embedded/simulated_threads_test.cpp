// Python threads on a camera discovered on the simulated kernel, through pelorin: waits that let
// other threads run, and two threads streaming one camera.
#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "camera_threads.hpp"
#include "embedded_python.hpp"
#include "support/captured_output.hpp"
#include "support/raw_frame_encoder.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

// The simulated kernel shared by threads: one call at a time, and a poll that finds no frame
// waits up to its timeout for one that another thread supplies, where the plain simulation, with
// nobody to move time on, ends it at once.
class threaded_kernel final : public kernel_calls {
    std::mutex mutex;
    std::condition_variable arrived;

    template <typename Call>
    auto locked(Call call) {
        std::lock_guard lock(mutex);
        return call();
    }

public:
    int open(const char* path, int flags) override { return locked([&] { return inner.open(path, flags); }); }
    int close(int fd) override { return locked([&] { return inner.close(fd); }); }
    int ioctl(int fd, unsigned long request, void* arg) override {
        return locked([&] { return inner.ioctl(fd, request, arg); });
    }
    void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) override {
        return locked([&] { return inner.mmap(address, length, protection, flags, fd, offset); });
    }
    int munmap(void* address, std::size_t length) override { return locked([&] { return inner.munmap(address, length); }); }
    int list_directory(const std::string& path, std::vector<std::string>& names) override {
        return locked([&] { return inner.list_directory(path, names); });
    }
    int read_text_file(const std::string& path, std::string& content) override {
        return locked([&] { return inner.read_text_file(path, content); });
    }
    int poll(pollfd* fds, nfds_t count, int timeout_ms) override {
        std::unique_lock lock(mutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        most_waiting = std::max(most_waiting, ++waiting);
        for (;;) {
            const int ready = inner.poll(fds, count, 0);
            if (ready != 0 || std::chrono::steady_clock::now() >= deadline)
                return --waiting, ready;
            arrived.wait_until(lock, deadline);
        }
    }

    void push_frame(const std::vector<std::uint8_t>& frame) {
        locked([&] { inner.push_frame("/dev/video0", frame); });
        arrived.notify_all();
    }

    simulated_kernel inner;
    int waiting = 0, most_waiting = 0;  // threads inside a poll
};

// Parameter: whether the camera lets go of the interpreter lock while it waits.
class simulated_camera_threads : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        kernel.inner.add_jetson_device({});
        output_of([&] {
            ASSERT_EQ(manager.init(), 0);
            ASSERT_NE(cam = manager.get_camera("media0/IMX704"), nullptr);
            ASSERT_EQ(cam->open(0x311C) + cam->start(), 0);
        });
        ASSERT_FALSE(HasFatalFailure());
    }

    // The manager outlives every test: leave it holding nothing of this simulated system.
    void TearDown() override {
        cam.reset();
        kernel.inner.directories[simulated_kernel::media_devices_directory] = {};
        output_of([&] { EXPECT_EQ(manager.init(), 0); });
        EXPECT_EQ(kernel.inner.descriptors.size() + kernel.inner.mappings.size(), 0u);
    }

    // The failure of a function of the script called with the camera and the test's parameter;
    // the camera's lines go unseen.
    std::string python_call(const std::string& function, const std::string& argument) {
        std::string failure;
        output_of([&] {
            failure = python_failure(camera_threads_script,
                                     function + "(camera, " + (GetParam() ? "True, " : "False, ") + argument + ")", cam);
        });
        return failure;
    }

    threaded_kernel kernel;
    scoped_kernel_calls guard{kernel};
    camera_manager& manager = camera_manager::instance();
    std::shared_ptr<camera> cam;
};

TEST_P(simulated_camera_threads, another_thread_runs_only_while_a_releasing_camera_waits_for_a_frame) {
    EXPECT_EQ(python_call("wait_beside", "600"), "");
}

// The frames come faster than two threads take them, so that a restart drops some unread. The
// threads take turns inside the camera, so that they never wait for the device both at once.
TEST_P(simulated_camera_threads, two_threads_stream_one_camera_while_one_restarts_it) {
    const std::vector<std::uint8_t> frame = encode_raw_frame(random_frame_values(1, false, 1), false, true);
    std::jthread feeder([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            kernel.push_frame(frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    EXPECT_EQ(python_call("share", "60, 0x311C"), "");
    EXPECT_EQ(kernel.most_waiting, 1);
}

INSTANTIATE_TEST_SUITE_P(lock, simulated_camera_threads, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "released" : "held"; });

}  // namespace
}  // namespace vorlake::tessaro::test_support

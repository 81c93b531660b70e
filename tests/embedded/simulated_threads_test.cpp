// Python threads on a camera discovered on the simulated kernel, through pelorin: waits that let
// other threads run, and two threads streaming one camera.
#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "camera_threads.hpp"
#include "support/raw_frame_encoder.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

// The simulated kernel with time in it: while `frame` is set, one arrives every 2 ms, and a poll
// that finds none ready waits for one up to its timeout, where the plain simulation, with nobody
// to move time on, ends it at once. It counts the threads inside a poll together.
class timed_kernel final : public simulated_kernel {
public:
    int poll(pollfd* fds, nfds_t count, int timeout_ms) override {
        using clock = std::chrono::steady_clock;
        const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
        most_waiting = std::max(most_waiting.load(), ++waiting);
        for (;;) {
            if (!frame.empty() && clock::now() >= next_frame) {
                push_frame("/dev/video0", frame);
                next_frame = clock::now() + std::chrono::milliseconds(2);
            }
            const int ready = simulated_kernel::poll(fds, count, 0);
            if (ready != 0 || clock::now() >= deadline)
                return --waiting, ready;
            std::this_thread::sleep_until(frame.empty() ? deadline : std::min(deadline, next_frame));
        }
    }

    std::vector<std::uint8_t> frame;
    std::atomic<int> waiting = 0, most_waiting = 0;

private:
    std::chrono::steady_clock::time_point next_frame;
};

// Parameter: whether the camera lets go of the interpreter lock while it waits.
class simulated_camera_threads : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        kernel.add_jetson_device({});
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
        kernel.directories[simulated_kernel::media_devices_directory] = {};
        output_of([&] { EXPECT_EQ(manager.init(), 0); });
        EXPECT_EQ(kernel.descriptors.size() + kernel.mappings.size(), 0u);
    }

    timed_kernel kernel;
    scoped_kernel_calls guard{kernel};
    camera_manager& manager = camera_manager::instance();
    std::shared_ptr<camera> cam;
};

TEST_P(simulated_camera_threads, another_thread_runs_only_while_a_releasing_camera_waits_for_a_frame) {
    EXPECT_EQ(camera_threads_failure("wait_beside", cam, GetParam(), "600"), "");
}

// The threads take turns inside the camera, so that they never wait for the device both at once.
TEST_P(simulated_camera_threads, two_threads_stream_one_camera_while_one_restarts_it) {
    kernel.frame = encode_raw_frame(random_frame_values(1, false, 1), false, true);
    EXPECT_EQ(camera_threads_failure("share", cam, GetParam(), "60, 0x311C"), "");
    EXPECT_EQ(kernel.most_waiting, 1);
}

INSTANTIATE_TEST_SUITE_P(lock, simulated_camera_threads, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "released" : "held"; });

}  // namespace
}  // namespace vorlake::tessaro::test_support

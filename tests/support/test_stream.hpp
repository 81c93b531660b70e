// A frame source that plays a script from memory and records how it was driven, and an offline
// camera wired to such streams, so that a whole camera can be exercised without a device.
#pragma once

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera.hpp>
#include <vorlake/tessaro/camera_stream.hpp>

#include "support/captured_output.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro::test_support {

using frame_bytes = std::vector<std::uint8_t>;

// Shared between the stream (owned by a camera) and the test that scripts and inspects it.
struct test_stream_state {
    // One read_frame each, which may also do what a source's own code would (drive the camera,
    // throw); once the script runs dry, every read times out.
    using step = std::function<int(frame_bytes&)>;
    std::deque<step> script;
    int open_result = 0, start_result = 0;
    bool source = true, destroyed = false;
    capture_timing timing;  // what the stream reports for every frame; a step may change it
    std::vector<std::string> calls;  // "open", "close", "start", "stop", "read", in order

    // A read that delivers bytes, copied like a device copy: without needless reallocation.
    void frame(frame_bytes bytes) {
        script.push_back([raw = std::move(bytes)](frame_bytes& out) { out.assign(raw.begin(), raw.end()); return 0; });
    }
};

struct test_stream final : camera_stream {
    explicit test_stream(std::shared_ptr<test_stream_state> state) : state(std::move(state)) {}
    ~test_stream() override { state->destroyed = true; }

    int open() override { state->calls.push_back("open"); return state->open_result; }
    void close() override { state->calls.push_back("close"); }
    int start() override { state->calls.push_back("start"); return state->start_result; }
    void stop() override { state->calls.push_back("stop"); }
    bool has_source() const override { return state->source; }
    capture_timing last_capture_timing() const override { return state->timing; }

    int read_frame(frame_bytes& buffer, unsigned int) override {
        state->calls.push_back("read");
        if (state->script.empty())
            return -ETIME;
        const auto step = std::move(state->script.front());
        state->script.pop_front();
        return step(buffer);
    }

    std::shared_ptr<test_stream_state> state;
};

// A new stream and, through state, the handle a test keeps after the camera took the stream.
inline std::unique_ptr<test_stream> make_test_stream(std::shared_ptr<test_stream_state>& state) {
    state = std::make_shared<test_stream_state>();
    return std::make_unique<test_stream>(state);
}

// The modes the package opens for "single" and "dual".
inline constexpr std::uint32_t single_mode = 0x211C, dual_mode = 0x301C;
using call_list = std::vector<std::string>;

// An offline camera and the handles of the streams it owns.
struct camera_rig {
    std::shared_ptr<camera> cam = create_camera_offline("offline0");
    std::shared_ptr<test_stream_state> image, ebd;

    explicit camera_rig(bool with_ebd = false) {
        cam->add_stream(stream_type::stream_image, make_test_stream(image));
        if (with_ebd)
            cam->add_stream(stream_type::stream_ebd, make_test_stream(ebd));
    }

    // Opens in the single-depth mode with every output, and starts.
    void stream() {
        ASSERT_EQ(cam->open(single_mode), 0);
        ASSERT_EQ(cam->configure_camera_output({true, true, true, true, true, true, true, true}) + cam->start(), 0);
    }
    frame_buffer& get_frame(const std::string& line = "") {
        return printing(line, [&]() -> frame_buffer& { return cam->get_frame(10); });
    }
};

}  // namespace vorlake::tessaro::test_support

// A frame source that plays a script from memory and records how it was driven, so that a whole
// camera can be exercised without a device.
#pragma once

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera_stream.hpp>

namespace vorlake::tessaro::test_support {

using frame_bytes = std::vector<std::uint8_t>;

// Shared between the stream (owned by a camera) and the test that scripts and inspects it.
struct test_stream_state {
    // One read_frame each, which may also do what a source's own code would (drive the camera,
    // throw); once the script runs dry, every read times out.
    using step = std::function<int(frame_bytes&)>;
    std::deque<step> script;
    int open_result = 0, start_result = 0;
    bool source = true;
    capture_timing timing;  // what the stream reports for every frame; a step may change it

    std::vector<std::string> calls;  // "open", "close", "start", "stop", "read", in order
    std::vector<unsigned int> timeouts;
    bool destroyed = false;

    // A read that delivers bytes, copied like a device copy: without needless reallocation.
    test_stream_state& frame(frame_bytes bytes) {
        script.push_back([raw = std::move(bytes)](frame_bytes& out) { out.assign(raw.begin(), raw.end()); return 0; });
        return *this;
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

    int read_frame(frame_bytes& buffer, unsigned int timeout_ms) override {
        state->calls.push_back("read");
        state->timeouts.push_back(timeout_ms);
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

}  // namespace vorlake::tessaro::test_support

// A frame source that plays a script from memory and records how it was driven, so that a whole
// camera can be exercised without a device.
#pragma once

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera_stream.hpp>

namespace vorlake::tessaro::test_support {

// Shared between the stream (owned by a camera) and the test that scripts and inspects it.
struct test_stream_state {
    // One answer of read_frame each; once the script runs dry, every read times out.
    std::deque<std::function<int(std::vector<std::uint8_t>&)>> script;
    int open_result = 0;
    int start_result = 0;
    bool source = true;
    // Runs at the start of every read, as a source's own code would; it may drive the camera.
    std::function<void()> on_read;

    std::vector<std::string> calls;  // "open", "close", "start", "stop", "read", in order
    std::vector<unsigned int> timeouts;
    bool destroyed = false;

    test_stream_state& frame(std::vector<std::uint8_t> bytes) {
        script.push_back([bytes = std::move(bytes)](std::vector<std::uint8_t>& buffer) {
            buffer.assign(bytes.begin(), bytes.end());  // like a device copy: no needless reallocation
            return 0;
        });
        return *this;
    }
    test_stream_state& result(int code) {
        script.push_back([code](std::vector<std::uint8_t>&) { return code; });
        return *this;
    }
    test_stream_state& exception() {
        script.push_back([](std::vector<std::uint8_t>&) -> int { throw std::runtime_error("source broke"); });
        return *this;
    }
};

class test_stream final : public camera_stream {
public:
    explicit test_stream(std::shared_ptr<test_stream_state> state) : state(std::move(state)) {}
    ~test_stream() override { state->destroyed = true; }

    int open() override { return note("open", state->open_result); }
    void close() override { note("close"); }
    int start() override { return note("start", state->start_result); }
    void stop() override { note("stop"); }
    bool has_source() const override { return state->source; }

    int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) override {
        note("read");
        state->timeouts.push_back(timeout_ms);
        if (const auto hook = state->on_read)  // a copy, so that the hook may replace itself
            hook();
        if (state->script.empty())
            return -ETIME;
        const auto step = std::move(state->script.front());
        state->script.pop_front();
        return step(buffer);
    }

private:
    int note(const char* call, int result = 0) {
        state->calls.push_back(call);
        return result;
    }

    std::shared_ptr<test_stream_state> state;
};

// A new stream and, through state, the handle a test keeps after the camera took the stream.
inline std::unique_ptr<test_stream> make_test_stream(std::shared_ptr<test_stream_state>& state) {
    state = std::make_shared<test_stream_state>();
    return std::make_unique<test_stream>(state);
}

}  // namespace vorlake::tessaro::test_support

#include "support/test_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace vorlake::tessaro::test_support {

test_stream_state& test_stream_state::frame(std::vector<std::uint8_t> bytes) {
    test_step step;
    step.what = test_step::kind::frame;
    step.bytes = std::move(bytes);
    script.push_back(std::move(step));
    return *this;
}

test_stream_state& test_stream_state::result(int code) {
    test_step step;
    step.what = test_step::kind::result;
    step.code = code;
    script.push_back(std::move(step));
    return *this;
}

test_stream_state& test_stream_state::timeout() { return result(-ETIME); }

test_stream_state& test_stream_state::exception(std::string message) {
    test_step step;
    step.what = test_step::kind::exception;
    step.message = std::move(message);
    script.push_back(std::move(step));
    return *this;
}

std::size_t test_stream_state::count(const std::string& call) const {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

test_stream::test_stream(std::shared_ptr<test_stream_state> state) : state(std::move(state)) {}

test_stream::~test_stream() { state->destroyed = true; }

int test_stream::open() {
    state->calls.push_back("open");
    return state->open_result;
}

void test_stream::close() { state->calls.push_back("close"); }

int test_stream::start() {
    state->calls.push_back("start");
    return state->start_result;
}

void test_stream::stop() { state->calls.push_back("stop"); }

int test_stream::read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) {
    state->calls.push_back("read");
    state->timeouts.push_back(timeout_ms);
    if (state->on_read) {
        // A copy, so that the hook may replace itself.
        const std::function<void()> hook = state->on_read;
        hook();
    }
    if (state->script.empty()) {
        if (!state->repeat_last_frame || state->last_frame.empty())
            return -ETIME;
        buffer.assign(state->last_frame.begin(), state->last_frame.end());
        return 0;
    }
    test_step step = std::move(state->script.front());
    state->script.pop_front();
    switch (step.what) {
    case test_step::kind::frame:
        // Reassigned like a device copy: the vector reallocates only when it is too small.
        buffer.assign(step.bytes.begin(), step.bytes.end());
        state->last_frame = std::move(step.bytes);
        return 0;
    case test_step::kind::exception:
        throw std::runtime_error(step.message);
    case test_step::kind::result:
        break;
    }
    return step.code;
}

bool test_stream::has_source() const { return state->source; }

std::unique_ptr<test_stream> make_test_stream(std::shared_ptr<test_stream_state>& state) {
    state = std::make_shared<test_stream_state>();
    return std::make_unique<test_stream>(state);
}

}  // namespace vorlake::tessaro::test_support

// A frame source that plays scripted results from memory and records how it was driven, so a
// whole camera can be exercised without a device.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera_stream.hpp>

namespace vorlake::tessaro::test_support {

// One scripted answer of read_frame.
struct test_step {
    enum class kind { frame, result, exception };
    kind what = kind::result;
    std::vector<std::uint8_t> bytes;  // the frame, for kind::frame
    int code = 0;                     // the result, for kind::result
    std::string message;              // the exception text, for kind::exception
};

// Shared between the stream (owned by a camera) and the test that scripts and inspects it.
struct test_stream_state {
    std::deque<test_step> script;
    // When the script runs dry: replay the last frame forever, or answer -ETIME.
    bool repeat_last_frame = false;
    std::vector<std::uint8_t> last_frame;
    int open_result = 0;
    int start_result = 0;
    bool source = true;
    // Runs at the start of every read, as a frame source's own code would (it may drive the
    // camera that is reading).
    std::function<void()> on_read;

    // What happened, in order: "open", "close", "start", "stop", "read".
    std::vector<std::string> calls;
    std::vector<unsigned int> timeouts;
    bool destroyed = false;

    test_stream_state& frame(std::vector<std::uint8_t> bytes);
    test_stream_state& result(int code);
    test_stream_state& timeout();  // what a source answers when nothing came: -ETIME
    test_stream_state& exception(std::string message);

    std::size_t count(const std::string& call) const;
};

class test_stream final : public camera_stream {
public:
    explicit test_stream(std::shared_ptr<test_stream_state> state);
    ~test_stream() override;

    int open() override;
    void close() override;
    int start() override;
    void stop() override;
    int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) override;
    bool has_source() const override;

private:
    std::shared_ptr<test_stream_state> state;
};

// A new stream and, through state, the handle a test keeps after the camera took the stream.
std::unique_ptr<test_stream> make_test_stream(std::shared_ptr<test_stream_state>& state);

}  // namespace vorlake::tessaro::test_support

// Where the library's text lines go. Every line it writes passes through one process-wide sink;
// without one installed, lines go to the standard output or error stream as they always have.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace vorlake::tessaro {

// error: a line that reports a failure; info: progress, debug output, warnings.
enum class message_severity : std::uint8_t {
    info = 0,
    error = 1,
};

// Receives each line without its end-of-line. It runs on the thread that wrote the line, inside
// the library call that wrote it, and must not call back into the camera that is writing.
using message_sink = std::function<void(message_severity severity, std::string_view text)>;

// Installs sink for every line written from now on, in every thread; an empty sink restores the
// default output. Safe to call from any thread, also while lines are being written: a line goes
// wholly to the old sink or wholly to the new one. A sink that blocks blocks the library call
// that writes the line. An exception thrown by a sink is caught and dropped together with the
// line, so that the operation writing it completes as if the line had been written.
void set_message_sink(message_sink sink);

}  // namespace vorlake::tessaro

// The library's side of the message sink: every module writes its lines through these calls.
#pragma once

#include <string_view>

#include <vorlake/tessaro/messages.hpp>

namespace vorlake::tessaro {

// Where the default output writes a line.
enum class message_stream { standard_output, standard_error };

// One line, without its end-of-line, to the installed sink, or else to stream with an
// end-of-line and a flush.
void write_message(message_stream stream, message_severity severity, std::string_view text);

// A line whose severity follows from its text: the "[DEBUG]", "[SAFE_MODE]" and "Warning:" lines
// are informational, every other line reports a failure. Progress lines without such a marker are
// written with write_message and message_severity::info.
void write_marked_message(message_stream stream, std::string_view text);

}  // namespace vorlake::tessaro

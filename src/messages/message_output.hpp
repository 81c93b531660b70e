// The library's side of the message sink: every module writes its lines through these calls.
#pragma once

#include <string_view>

#include <vorlake/tessaro/messages.hpp>

namespace vorlake::tessaro {

// Where the default output writes a line.
enum class message_stream { standard_output, standard_error };

// The one way a line leaves the library: one line, without its end-of-line, to the installed
// sink with its severity, or else to stream with an end-of-line and a flush. Each line states its
// own severity: a failure is an error, progress, debug output and warnings are informational,
// whatever the text says.
void write_message(message_stream stream, message_severity severity, std::string_view text);

}  // namespace vorlake::tessaro

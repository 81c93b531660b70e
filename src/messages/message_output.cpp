#include "messages/message_output.hpp"

#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace vorlake::tessaro {
namespace {

std::mutex sink_mutex;
// Shared so that a line being written keeps its sink alive while another thread replaces it.
std::shared_ptr<const message_sink> installed_sink;

std::shared_ptr<const message_sink> current_sink() {
    std::lock_guard lock(sink_mutex);
    return installed_sink;
}

// One write of the whole line, so that lines of two threads do not interleave mid-line.
void write_default(message_stream stream, std::string_view text) {
    std::ostream& out = stream == message_stream::standard_error ? std::cerr : std::cout;
    out << std::string(text) + '\n' << std::flush;
}

}  // namespace

void set_message_sink(message_sink sink) {
    auto replaced = sink ? std::make_shared<const message_sink>(std::move(sink)) : nullptr;
    {
        std::lock_guard lock(sink_mutex);
        installed_sink.swap(replaced);
    }
    // The old sink is released here, outside the lock: its destructor may run caller code.
}

void write_message(message_stream stream, message_severity severity, std::string_view text) {
    const std::shared_ptr<const message_sink> sink = current_sink();
    if (!sink) {
        write_default(stream, text);
        return;
    }
    // Lines are written in the middle of operations that must still finish (a frame's error code
    // is stored after its line), so a failing sink costs the line and nothing else.
    try {
        (*sink)(severity, text);
    } catch (...) {
    }
}

}  // namespace vorlake::tessaro

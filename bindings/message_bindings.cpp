// route_messages: where the library's text lines go from Python.
#include <Python.h>

#include <atomic>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <vorlake/tessaro/messages.hpp>

#include "bindings.hpp"
#include "held_messages.hpp"

namespace vorlake::tessaro::python {

namespace {

thread_local int bound_calls = 0;  // bound calls under way on this thread
thread_local std::vector<std::pair<message_severity, std::string>> held_lines;

// Set once the interpreter starts exiting: from then on no line goes into Python.
std::atomic<bool> exiting{false};

// Logs one line to the "pelorin" logger, through the C interface alone: when the interpreter
// ends a thread at exit in the middle of it, nothing is left to clean up on the way out.
void log_now(message_severity severity, std::string_view text) {
    if (exiting.load() || !Py_IsInitialized() || Py_IsFinalizing())
        return;
    const int level = severity == message_severity::error ? 40 : 20;  // logging.ERROR, logging.INFO
    PyObject* logged = nullptr;
    // Text from the system (a device name, strerror) need not be valid UTF-8.
    if (PyObject* line = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")) {
        if (PyObject* logging = PyImport_ImportModule("logging")) {
            if (PyObject* logger = PyObject_CallMethod(logging, "getLogger", "s", "pelorin")) {
                logged = PyObject_CallMethod(logger, "log", "iO", level, line);
                Py_DECREF(logger);
            }
            Py_DECREF(logging);
        }
        Py_DECREF(line);
    }
    if (logged == nullptr) {
        // The call that wrote the line went on; the failure is reported like one in a
        // destructor, through sys.unraisablehook.
        py::error_already_set failure;
        failure.discard_as_unraisable("pelorin message routed to logging");
    }
    Py_XDECREF(logged);
}

// The sink of the "logging" route. It holds no Python object, so that it stays harmless when it
// outlives the interpreter.
void log_line(message_severity severity, std::string_view text) {
    if (bound_calls > 0) {
        held_lines.emplace_back(severity, std::string(text));
        return;
    }
    if (exiting.load() || !Py_IsInitialized() || Py_IsFinalizing())
        return;
    py::gil_scoped_acquire gil;
    log_now(severity, text);
}

void route_messages(const std::string& route) {
    if (route == "default")
        set_message_sink(nullptr);
    else if (route == "logging")
        set_message_sink(log_line);
    else if (route == "silent")
        set_message_sink([](message_severity, std::string_view) {});
    else
        throw py::value_error("route must be 'default', 'logging' or 'silent', not '" + route + "'");
}

}  // namespace

message_hold::message_hold() { ++bound_calls; }
message_hold::~message_hold() { --bound_calls; }
bool message_hold::outermost() const { return bound_calls == 1; }

void deliver_held_messages() {
    // A handler may make bound calls, whose lines are delivered as they end.
    while (!held_lines.empty()) {
        auto lines = std::exchange(held_lines, {});
        for (const auto& [severity, text] : lines)
            log_now(severity, text);
    }
}

void bind_messages(py::module_& m) {
    m.def("route_messages", &route_messages, py::arg("route"),
          "Send the library's messages to 'logging' (logger 'pelorin': failures at ERROR, the rest "
          "at INFO), make them 'silent', or write them to standard output and error as by "
          "'default'. Applies to the whole process.\n\n"
          "A line reaches logging when the pelorin call that wrote it has returned, on the thread "
          "that made the call, so a handler sees the frame's error already stored and may use "
          "any camera, the one that wrote the line too (stop it, say). A handler that waits for "
          "another thread that waits for this one blocks both. Once the interpreter starts "
          "exiting, the 'logging' route writes nothing.");
    // At exit, daemon threads may still be writing lines; none may reach Python then.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { exiting.store(true); }));
}

}  // namespace vorlake::tessaro::python

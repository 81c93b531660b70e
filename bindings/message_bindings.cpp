// route_messages: where the library's text lines go from Python.
#include <Python.h>

#include <string>
#include <string_view>

#include <vorlake/tessaro/messages.hpp>

#include "bindings.hpp"

namespace vorlake::tessaro::python {

namespace {

// Logs one line to the "pelorin" logger. The sink holds no Python object, so that it stays
// harmless when it outlives the interpreter.
void log_line(message_severity severity, std::string_view text) {
    if (!Py_IsInitialized() || Py_IsFinalizing())
        return;
    py::gil_scoped_acquire gil;
    try {
        // Text from the system (a device name, strerror) need not be valid UTF-8.
        auto line = py::reinterpret_steal<py::str>(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!line)
            throw py::error_already_set();
        const py::module_ logging = py::module_::import("logging");
        const char* level = severity == message_severity::error ? "ERROR" : "INFO";
        logging.attr("getLogger")("pelorin").attr("log")(logging.attr(level), line);
    } catch (py::error_already_set& failure) {
        // The library call that wrote the line goes on; the failure is reported like one in a
        // destructor, through sys.unraisablehook.
        failure.discard_as_unraisable("pelorin message routed to logging");
    }
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

void bind_messages(py::module_& m) {
    m.def("route_messages", &route_messages, py::arg("route"),
          "Send the library's messages to 'logging' (logger 'pelorin': failures at ERROR, the rest "
          "at INFO), make them 'silent', or write them to standard output and error as by "
          "'default'. Applies to the whole process.");
}

}  // namespace vorlake::tessaro::python

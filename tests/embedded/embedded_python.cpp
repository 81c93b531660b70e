#include "embedded_python.hpp"

#include <stdexcept>

#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

extern "C" PyObject* PyInit_pelorin();

namespace vorlake::tessaro::test_support {
namespace {

namespace py = pybind11;

// The main thread keeps the interpreter lock from here on, except while Python code waits.
void start_python() {
    static const bool started = [] {
        PyImport_AppendInittab("pelorin", &PyInit_pelorin);
        PyConfig config;
        // Deaf to the environment, without site-packages (the VM has none), and leaving the
        // signals to the test program.
        PyConfig_InitIsolatedConfig(&config);
        config.site_import = 0;
        config.install_signal_handlers = 0;
        const PyStatus status = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        if (PyStatus_Exception(status))
            throw std::runtime_error(std::string("cannot start Python: ") + (status.err_msg ? status.err_msg : "?"));
        return true;
    }();
    (void)started;
}

}  // namespace

std::string python_failure(const char* script, const std::string& expression, const std::shared_ptr<camera>& cam) {
    start_python();
    py::dict names;
    std::string failure;
    try {
        py::module_::import("pelorin");
        py::exec(script, names);
        names["camera"] = cam;
        py::eval(expression, names);
    } catch (py::error_already_set& error) {
        failure = error.what();
    }
    // The script's functions hold the names in a cycle, which would keep the camera until the
    // collector runs.
    names.clear();
    return failure;
}

}  // namespace vorlake::tessaro::test_support

// CPython inside a test program, with pelorin built in, so that a test drives the module from
// Python threads against a kernel it controls (the simulated one, or the VM's). The interpreter
// starts on first use and lives as long as the program: pybind11 cannot start a second one.
#pragma once

#include <memory>
#include <string>

#include <vorlake/tessaro/camera.hpp>

namespace vorlake::tessaro::test_support {

// Evaluates `expression` over the names `script` defines and `camera`, bound to cam, in the
// program's main thread; the text of the exception it raised (with its traceback), empty when it
// raised none.
std::string python_failure(const char* script, const std::string& expression, const std::shared_ptr<camera>& cam);

}  // namespace vorlake::tessaro::test_support

// One thread at a time inside a camera. Every camera method bound for Python runs through
// run_gated: a second thread waits until the first has left that camera (other cameras are not
// held up), and a call into a camera from inside one of its own operations, such as its frame
// source calling get_frame, is refused with RuntimeError instead of corrupting the operation
// under way. No thread waits for a camera while it holds the interpreter lock, so a thread inside
// a camera can always take the lock back (to call a frame source, say).
#pragma once

#include <memory>
#include <type_traits>

#include <Python.h>

#include <vorlake/tessaro/camera.hpp>

#include "held_messages.hpp"

namespace vorlake::tessaro::python {

class camera_gate;

// Whether the camera's waiting operations let go of the interpreter lock: off until asked for.
bool releases_interpreter_lock(const std::shared_ptr<camera>& owner);
void set_releases_interpreter_lock(const std::shared_ptr<camera>& owner, bool release);

// The calling thread's stay inside a camera: entered on construction, left on destruction.
class gated_scope {
public:
    gated_scope(const std::shared_ptr<camera>& owner, const char* operation);
    ~gated_scope();
    gated_scope(const gated_scope&) = delete;
    gated_scope& operator=(const gated_scope&) = delete;

    bool releases_lock() const;

private:
    std::shared_ptr<camera_gate> gate;
};

// Operations that may wait on a device or a frame source, and so run without the interpreter
// lock when the camera allows it.
enum class waits : bool { no, yes };

// Calls call() with the interpreter lock given up, taking it back afterwards. Not a destructor's
// work: taking the lock back may end the thread when the interpreter is exiting.
template <typename Call>
auto without_interpreter_lock(Call& call) {
    PyThreadState* const saved = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Call&>>) {
            call();
            PyEval_RestoreThread(saved);
        } else {
            auto result = call();
            PyEval_RestoreThread(saved);
            return result;
        }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        PyEval_RestoreThread(saved);
        throw;
    }
}

// Calls operation() as the only operation inside the camera, with the interpreter lock held, or
// without it for a waiting operation of a camera that allows it.
template <typename Operation>
auto run_gated(const std::shared_ptr<camera>& owner, const char* name, waits kind, Operation&& operation) {
    return with_messages_held([&] {
        gated_scope scope(owner, name);
        if (kind == waits::yes && scope.releases_lock())
            return without_interpreter_lock(operation);
        return operation();
    });
}

// A camera method as a function for Python that runs it through run_gated.
template <typename Result, typename... Args>
auto gated(const char* name, waits kind, Result (camera::*method)(Args...)) {
    return [name, kind, method](const std::shared_ptr<camera>& c, Args... args) {
        return run_gated(c, name, kind, [&] { return ((*c).*method)(args...); });
    };
}

template <typename Result, typename... Args>
auto gated(const char* name, waits kind, Result (camera::*method)(Args...) const) {
    return [name, kind, method](const std::shared_ptr<camera>& c, Args... args) {
        return run_gated(c, name, kind, [&] { return ((*c).*method)(args...); });
    };
}

}  // namespace vorlake::tessaro::python

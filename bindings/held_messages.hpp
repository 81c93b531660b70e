// The lines the library writes during a bound call wait on the calling thread until the outermost
// bound call of that thread is done, and only then reach the message route. So a logging handler
// never runs inside a camera operation: it sees the frame's error already stored and may use the
// camera, and the library's own handling of a failing sink never stands between Python and a
// thread that the interpreter ends at exit.
#pragma once

#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vorlake::tessaro::python {

// Marks the calling thread as inside a bound call while it lives.
class message_hold {
public:
    message_hold();
    ~message_hold();
    message_hold(const message_hold&) = delete;
    message_hold& operator=(const message_hold&) = delete;

    bool outermost() const;
};

// Hands the lines held on this thread to the route; needs the interpreter lock.
void deliver_held_messages();

// Calls call() with the lines it writes held, delivered after it (also when it throws).
template <typename Call>
auto with_messages_held(Call&& call) {
    message_hold hold;
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Call&>>) {
            call();
            if (hold.outermost())
                deliver_held_messages();
        } else {
            auto result = call();
            if (hold.outermost())
                deliver_held_messages();
            return result;
        }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // The interpreter is ending this thread at exit: nothing may reach Python any more.
        throw;
#endif
    } catch (...) {
        if (hold.outermost())
            deliver_held_messages();
        throw;
    }
}

}  // namespace vorlake::tessaro::python

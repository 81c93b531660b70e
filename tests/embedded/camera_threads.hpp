// Python threads on one streaming camera, for test programs that embed the interpreter: the same
// checks run on the simulated kernel and on the VM's.
#pragma once

#include <memory>
#include <string>

#include "embedded_python.hpp"
#include "support/captured_output.hpp"

namespace vorlake::tessaro::test_support {

inline constexpr const char* camera_threads_script = R"py(
import errno, threading, time

def run_together(*calls):
    """A thread that has not come back within a minute is stuck."""
    threads = [threading.Thread(target=call, daemon=True) for call in calls]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads), "a thread on the camera never came back"

def wait_beside(camera, release, timeout_ms):
    """Another thread samples the clock while the camera waits for a frame that does not come: it
    gets samples in during the wait only if the camera let go of the interpreter lock."""
    camera.release_gil = release
    samples, waited = [], []

    def wait():
        time.sleep(0.05)
        start = time.monotonic()
        error = camera.get_frame(timeout_ms).error
        waited.extend([error, start, time.monotonic()])

    def sample():
        while not waited:
            samples.append(time.monotonic())
            time.sleep(0.001)

    run_together(wait, sample)
    error, start, end = waited
    inside = sum(start + 0.1 < sample < end - 0.1 for sample in samples)
    assert error == -errno.ETIME and end - start >= timeout_ms / 1000 - 0.01, waited
    assert (inside > 0) == release, f"{inside} samples inside a {end - start:.2f} s wait"

def share(camera, release, frames, mode):
    """Two threads stream one camera, the second restarting or reopening it in `mode` now and then,
    until `frames` have come: both get frames, and the only errors are waits that timed out or
    reads while it was stopped."""
    camera.release_gil = release
    got, errors = [0, 0], set()

    def stream(which):
        misses = 0
        while sum(got) < frames and misses < 40:
            error = camera.get_frame(500).error
            if error:
                errors.add(error)
                misses += 1
                continue
            got[which] += 1
            misses = 0
            if which and got[1] % 10 == 0:
                assert camera.close() == 0 and camera.open(mode) == 0 and camera.start() == 0
            elif which and got[1] % 5 == 0:
                assert camera.stop() == 0 and camera.start() == 0

    run_together(lambda: stream(0), lambda: stream(1))
    assert all(got) and sum(got) >= frames, (got, errors)
    assert errors <= {-errno.ETIME, -errno.EACCES}, errors
)py";

// The failure of the script's `function` called with cam, whether it lets go of the interpreter
// lock, and `arguments`; the camera's lines go unseen.
inline std::string camera_threads_failure(const std::string& function, const std::shared_ptr<camera>& cam, bool release,
                                          const std::string& arguments) {
    std::string failure;
    output_of([&] {
        failure = python_failure(camera_threads_script,
                                 function + "(camera, " + (release ? "True, " : "False, ") + arguments + ")", cam);
    });
    return failure;
}

}  // namespace vorlake::tessaro::test_support

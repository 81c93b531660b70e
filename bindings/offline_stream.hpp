// A frame source fed by a Python callable, for replaying recorded frames without hardware.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <pybind11/numpy.h>

#include <vorlake/tessaro/camera.hpp>
#include <vorlake/tessaro/camera_stream.hpp>

namespace vorlake::tessaro::python {

// callable(array, timeout_ms) writes one frame into the start of array and returns its size; a
// size larger than the array asks for a second call with an array of exactly that size. 0 means
// no frame within the timeout, a negative result is an errno-style failure. The array is a new one
// of numpy's own at every call, which the callable may keep or resize; when the call returns the
// frame's memory becomes the camera's if nothing refers to the array any more, and is copied out
// of it otherwise (lent_frame_memory.hpp). The callable runs with the interpreter lock held, also when its
// camera waits without it.
using frame_source =
    std::function<int(pybind11::array_t<std::uint8_t, pybind11::array::c_style>, unsigned int)>;

// Hands the camera a stream read from `source`. The camera's Python object shows the garbage
// collector the callables of these streams: a source that refers back to its camera (a bound
// method of the camera's owner, a closure that stops it) forms a cycle through C++ that the
// collector could not see otherwise.
void add_offline_stream(camera& owner, stream_type type, frame_source source);

// tp_traverse and tp_clear of a camera's Python object, for the callables of the offline streams
// that the camera holds now.
int visit_sources(const camera& owner, visitproc visit, void* arg);
void clear_sources(const camera& owner);

}  // namespace vorlake::tessaro::python

// A frame source fed by a Python callable, for replaying recorded frames without hardware.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <pybind11/numpy.h>

#include <vorlake/tessaro/camera_stream.hpp>

namespace vorlake::tessaro::python {

// callable(array, timeout_ms) writes one frame into the start of array and returns its size; a
// size larger than the array asks for a second call with an array of exactly that size. 0 means
// no frame within the timeout, a negative result is an errno-style failure. The array is a view
// of memory the stream reuses while no one else holds it, and a frame read becomes the buffer's
// storage without a copy; an array the callable keeps keeps its memory to itself.
using frame_source =
    std::function<int(pybind11::array_t<std::uint8_t, pybind11::array::c_style>, unsigned int)>;

std::unique_ptr<camera_stream> make_offline_stream(frame_source source);

}  // namespace vorlake::tessaro::python

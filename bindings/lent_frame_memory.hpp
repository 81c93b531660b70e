// Arrays for an offline source whose memory can become the camera's frame without a copy.
//
// A source writes each frame into a new array of numpy's own (owndata, no base), which it may keep,
// view or resize. Copying the frame out of that array costs as much again as the source's own
// write, and a new array of a frame's size is fresh memory that faults in page by page. Instead the
// array is allocated through a numpy memory handler that serves it from a spare byte vector: when
// the call returns and nothing but the stream still refers to the array, the array gives the
// memory back and the spare vector trades places with the camera's buffer. Whatever the source
// kept of the array keeps its memory: then the frame is copied as before, and the spare vector
// stays with the array until numpy frees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>

namespace vorlake::tessaro::python {

class frame_memory_lender {
public:
    using byte_array = pybind11::array_t<std::uint8_t, pybind11::array::c_style>;

    frame_memory_lender() = default;
    frame_memory_lender(const frame_memory_lender&) = delete;
    frame_memory_lender& operator=(const frame_memory_lender&) = delete;

    // A new array of `size` bytes, of numpy's own; its contents are unspecified, as numpy.empty's.
    byte_array lend(pybind11::ssize_t size);

    // After the source's call: when `array` still holds the lent memory and nothing else refers
    // to it, the array is released, its first `size` bytes become `buffer` and true is returned;
    // otherwise false, the array is left alone and the frame is the caller's to copy out of it.
    bool take_back(byte_array& array, std::vector<std::uint8_t>& buffer, std::size_t size);

    ~frame_memory_lender();

private:
    std::vector<std::uint8_t> spare;
};

}  // namespace vorlake::tessaro::python

// Bookkeeping of the buffers Python holds on vectors, so that no buffer ever sees its memory
// freed underneath it.
//
// A buffer (memoryview, numpy array) made from a vector points straight into the vector's
// storage. Two things could free that storage while the buffer lives:
// - a list method that grows or shrinks the vector: refused with BufferError while buffers are
//   exported, as bytearray does;
// - the camera writing a raw frame larger than the record's capacity into raw_image or raw_ebd:
//   before each get_frame the exported storage of those two vectors is handed to the exports,
//   which free it when the last of them is released, and the record continues on a fresh copy.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vorlake::tessaro::python {

void note_buffer_exported(const void* vector);
void note_buffer_released(const void* vector);
bool has_exported_buffers(const void* vector);

// Throws pybind11::buffer_error when a buffer of the vector is exported.
void refuse_resize_while_exported(const void* vector);

// If buffers of the bytes are exported, moves the storage they point into out of the vector and
// keeps it until they are released; the vector keeps its contents in new storage of the same
// capacity.
void detach_exported_storage(std::vector<std::uint8_t>& bytes);

}  // namespace vorlake::tessaro::python

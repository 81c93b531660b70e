// Bookkeeping of the buffers Python holds on vectors, so that no buffer ever sees its memory
// freed underneath it.
//
// A buffer (memoryview, numpy array) made from a vector points straight into the vector's
// storage. Two things could free that storage while the buffer lives:
// - a list method that grows or shrinks the vector: refused with BufferError while buffers of
//   its storage are exported, as bytearray does;
// - a stream storing a raw frame into raw_image or raw_ebd, which may reallocate them or, for the
//   offline stream, trade their storage for the array its source wrote into: before that can
//   happen, exported storage of those two vectors is handed over to the buffers, which free it
//   when the last of them is released, and the record continues on a copy.
#pragma once

#include <cstdint>
#include <vector>

namespace vorlake::tessaro::python {

// A buffer of the vector's current storage; `data` is where a released buffer points.
void note_buffer_exported(const void* vector);
void note_buffer_released(const void* vector, const void* data);

// Throws pybind11::buffer_error when a buffer of the vector's current storage is exported.
void refuse_resize_while_exported(const void* vector);

// If buffers of the bytes' current storage are exported, moves that storage out of the vector
// and keeps it until they are released; the vector goes on with a copy of the same capacity.
void detach_exported_storage(std::vector<std::uint8_t>& bytes);

}  // namespace vorlake::tessaro::python

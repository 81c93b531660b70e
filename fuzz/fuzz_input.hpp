// What the fuzz targets share: reading choices from the input, properties that end the run, and
// the bit-for-bit comparison of records.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "../tests/support/same_bits.hpp"

namespace vorlake::tessaro::fuzz {

using test_support::same_outputs;

// Hands out the input's bytes front to back; past its end every value reads as zero.
struct fuzz_input {
    const std::uint8_t* data;
    std::size_t size;

    template <typename T>
    T take() {
        T value{};
        const std::size_t n = std::min(sizeof(T), size);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

// A property the target checks; a violation ends the run as a crash, with the input saved.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

// The output set from the low eight bits, one per output.
inline camera_output_configuration outputs_from(std::uint8_t b) {
    return {bool(b & 1), bool(b & 2), bool(b & 4), bool(b & 8), bool(b & 16), bool(b & 32), bool(b & 64), bool(b & 128)};
}

}  // namespace vorlake::tessaro::fuzz

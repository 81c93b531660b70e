// What the fuzz targets share: reading choices from the input, properties that end the run, and
// the bit-for-bit comparison of records.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "../tests/support/byte_reader.hpp"
#include "../tests/support/same_bits.hpp"

namespace vorlake::tessaro::fuzz {

using test_support::same_outputs;

using fuzz_input = test_support::byte_reader;

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

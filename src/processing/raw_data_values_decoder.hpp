// The one abstraction every value decoder implements: the words of one channel of one line
// become one element of one output vector.
#pragma once

#include <cstdint>

namespace vorlake::tessaro {

class raw_data_values_decoder {
public:
    std::uint32_t offset = 0;  // byte offset of the channel inside a line
    std::uint32_t size = 0;    // byte size of the channel; decode receives size / 4 words

    virtual ~raw_data_values_decoder() = default;

    // values points at `count` consecutive little-endian 32-bit words (4-byte aligned inside
    // the line buffer). Writes output element `index`; 0, or -1 for a refused call, in which
    // case nothing is written.
    virtual std::int32_t decode(const std::uint8_t* values, std::uint32_t count,
                                std::uint32_t index) const = 0;
};

}  // namespace vorlake::tessaro

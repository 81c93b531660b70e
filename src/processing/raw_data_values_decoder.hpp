// The one abstraction every value decoder implements: the words of one channel of one line
// become one element of one output vector.
#pragma once

#include <cstddef>
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

    // The same as calling decode(first + j * stride, size / 4, first_index + j) for j = 0 ..
    // line_count - 1 and stopping at the first refused call, whose result it returns. The line
    // walk makes one call per run of lines rather than one per line, so that a decoder can turn
    // the run into a tight loop of its own.
    virtual std::int32_t decode_lines(const std::uint8_t* first, std::uint32_t stride,
                                      std::uint32_t line_count, std::uint32_t first_index) const {
        return decode_each_line(first, stride, line_count, first_index);
    }

protected:
    // The run line by line through decode: what a decoder falls back on whenever any call of
    // the run could be refused, so that the same first refusal is reported.
    std::int32_t decode_each_line(const std::uint8_t* first, std::uint32_t stride,
                                  std::uint32_t line_count, std::uint32_t first_index) const {
        for (std::uint32_t j = 0; j < line_count; ++j) {
            const std::int32_t r = decode(first + std::size_t{j} * stride, size / 4, first_index + j);
            if (r != 0)
                return r;
        }
        return 0;
    }
};

}  // namespace vorlake::tessaro

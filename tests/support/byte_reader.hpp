// Reads choices from a string of bytes: the fuzz targets' arbitrary input, or a test's random one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vorlake::tessaro::test_support {

// Hands out the bytes front to back; past their end every value reads as zero.
struct byte_reader {
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

}  // namespace vorlake::tessaro::test_support

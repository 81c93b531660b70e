// What the fuzz targets share: reading choices from the input, and comparing records bit for bit
// (NaN payloads and signed zeros included, which == on floats would not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <type_traits>
#include <vector>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro::fuzz {

// Hands out the input's bytes front to back; past its end every value reads as zero.
class fuzz_input {
public:
    fuzz_input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    template <typename T>
    T take() {
        static_assert(std::is_trivially_copyable_v<T>);
        T value{};
        const std::size_t n = std::min(sizeof(T), size - position);
        std::memcpy(&value, data + position, n);
        position += n;
        return value;
    }

    // What is left, not consumed.
    const std::uint8_t* rest() const { return data + position; }
    std::size_t rest_size() const { return size - position; }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

// A property the target checks; a violation ends the run as a crash, with the input saved.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::cerr << "property violated: " << property << '\n';
        std::abort();
    }
}

template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    static_assert(std::is_trivially_copyable_v<T>);
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

template <typename T>
bool same_bits(const std::vector<std::vector<T>>& a, const std::vector<std::vector<T>>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_bits(a[i], b[i]))
            return false;
    return true;
}

// Every decoded output and the frame's header fields, the raw bytes aside.
inline bool same_outputs(const frame_buffer& a, const frame_buffer& b) {
    return a.error == b.error && a.frame_id == b.frame_id && a.timestamp == b.timestamp &&
           a.max_depth_index == b.max_depth_index && same_bits(a.point_cloud, b.point_cloud) &&
           same_bits(a.cartesian_depth, b.cartesian_depth) && same_bits(a.radial_depth, b.radial_depth) &&
           same_bits(a.peak_height, b.peak_height) && same_bits(a.peak_status, b.peak_status) &&
           same_bits(a.noise_level, b.noise_level) && same_bits(a.histogram, b.histogram) &&
           same_bits(a.pdc, b.pdc);
}

// The output set from the low eight bits, one per output.
inline camera_output_configuration outputs_from(std::uint8_t bits) {
    camera_output_configuration c;
    c.enable_point_cloud = bits & 1;
    c.enable_cartesian_depth = bits & 2;
    c.enable_radial_depth = bits & 4;
    c.enable_noise_level = bits & 8;
    c.enable_peak_height = bits & 16;
    c.enable_peak_status = bits & 32;
    c.enable_histogram = bits & 64;
    c.enable_pdc = bits & 128;
    return c;
}

}  // namespace vorlake::tessaro::fuzz

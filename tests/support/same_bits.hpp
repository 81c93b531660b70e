// Bit-for-bit comparison of decoded outputs: NaN payloads and signed zeros count, which == on
// floats would not see. Shared by the merge's tests and the fuzz targets.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro::test_support {

template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    if constexpr (std::is_trivially_copyable_v<T>)
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
    else
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](auto& x, auto& y) { return same_bits(x, y); });
}

// Every decoded output and the frame's header fields, the raw bytes aside.
inline bool same_outputs(const frame_buffer& a, const frame_buffer& b) {
    return a.error == b.error && a.frame_id == b.frame_id && a.timestamp == b.timestamp &&
           a.max_depth_index == b.max_depth_index && same_bits(a.point_cloud, b.point_cloud) &&
           same_bits(a.cartesian_depth, b.cartesian_depth) && same_bits(a.radial_depth, b.radial_depth) &&
           same_bits(a.peak_height, b.peak_height) && same_bits(a.peak_status, b.peak_status) &&
           same_bits(a.noise_level, b.noise_level) && same_bits(a.histogram, b.histogram) && same_bits(a.pdc, b.pdc);
}

}  // namespace vorlake::tessaro::test_support

// The dual-depth merge of a frame read from bytes, against the literal rendering of its rules:
// arbitrary decoded values (NaN, infinities, signed zeros, negatives, equal keys) and arbitrary
// parameters. The merge's fuzz target feeds it arbitrary bytes, the merge's test random ones.
//
// Bytes: the echo count byte (0 to 4; 4 is refused), a byte of pixel count, a byte whose bits
// unsettle the vector sizes, three parameter floats, then per candidate value either a palette
// index (below 36) or raw float bits.
#pragma once

#include <cerrno>
#include <limits>

#include "processing/dual_depth_selection.hpp"
#include "support/byte_reader.hpp"
#include "support/reference_merge.hpp"
#include "support/same_bits.hpp"

namespace vorlake::tessaro::test_support {

// Whether the merge, asked for the outputs `merged`, agrees bit for bit with the rules, or
// refuses the frame with -EINVAL and changes nothing.
inline bool merge_agrees_with_rules(byte_reader in, const camera_output_configuration& merged) {
    // Values that sit on the rules' edges, so that equal keys and band limits come up often.
    constexpr float inf = std::numeric_limits<float>::infinity();
    static const float palette[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), inf, -inf, -1.0f, 1.0f,
                                    50.0f, 200.0f, 2000.0f, 199.0f, 201.0f, 250.0f, 1999.0f, 2001.0f, 2050.0f,
                                    std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()};
    auto value = [&in] {
        const auto c = in.take<std::uint8_t>();
        return c < 2 * std::size(palette) ? palette[c % std::size(palette)] : in.take<float>();
    };
    const auto echoes = static_cast<std::uint8_t>(in.take<std::uint8_t>() % 5);
    const std::uint32_t pixels = 1 + in.take<std::uint8_t>() % 8;
    const auto unsettle = in.take<std::uint8_t>();
    const dual_depth_params params{value(), value(), value()};

    const auto vectors = std::min<std::uint8_t>(echoes, 3);
    frame_buffer frame({true, true, true, false, true, true}, vectors, 2 * pixels);
    frame.max_depth_index = echoes;
    for (std::size_t e = 0; e < vectors; ++e) {
        for (std::size_t i = 0; i < 2 * pixels; ++i) {
            frame.radial_depth[e][i] = value();
            frame.cartesian_depth[e][i] = value();
            frame.peak_height[e][i] = value();
            frame.peak_status[e][i] = static_cast<peak_status>(in.take<std::uint8_t>());
            frame.point_cloud[e][i] = {value(), value(), value()};
        }
    }
    // A frame that was not prepared: one vector one element short.
    if (const std::size_t e = vectors > 0 ? (unsettle >> 2) % vectors : 0; (unsettle & 0xF0) == 0xF0 && vectors > 0)
        (unsettle & 3) == 0   ? frame.radial_depth[e].pop_back()
        : (unsettle & 3) == 1 ? frame.cartesian_depth[e].pop_back()
        : (unsettle & 3) == 2 ? frame.peak_height[e].pop_back() : frame.peak_status[e].pop_back();

    const frame_buffer given = frame;
    frame_buffer expected = frame;
    const int code = dual_depth_selection(pixels, params, merged).merge(frame);
    if (code == 0)
        reference_merge(expected, pixels, params);
    // Outputs the frames are not decoded with are left as they are, only resized.
    auto left_off = [&](bool on, auto& out, const auto& was) {
        for (std::size_t e = 0; e < vectors && code == 0 && !on; ++e)
            out[e].assign(was[e].begin(), was[e].begin() + pixels);
    };
    left_off(merged.enable_point_cloud || merged.enable_cartesian_depth, expected.point_cloud, given.point_cloud);
    left_off(merged.enable_cartesian_depth, expected.cartesian_depth, given.cartesian_depth);
    left_off(merged.enable_peak_height, expected.peak_height, given.peak_height);
    left_off(merged.enable_peak_status, expected.peak_status, given.peak_status);
    return (code == 0 || code == -EINVAL) && same_outputs(frame, expected);
}

}  // namespace vorlake::tessaro::test_support

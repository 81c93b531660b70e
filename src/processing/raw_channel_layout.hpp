// The byte layout of one raw line: sixteen channels of little-endian 32-bit words, and the
// fixed-point encoding the sensor uses for its measured values.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace vorlake::tessaro {

// Payload bytes of one raw line, before any capture padding.
inline constexpr std::uint32_t raw_line_size = 672;
// Bytes per line when the capture path pads every line to its preferred stride.
inline constexpr std::uint32_t padded_line_size = 704;
inline constexpr std::uint32_t image_lines_per_block = 48;
inline constexpr std::uint32_t ref_lines_per_block = 1;
inline constexpr std::uint32_t single_depth_block_count = 12;
inline constexpr std::uint32_t dual_depth_block_count = 24;

// sign_bit 0 means unsigned; otherwise bit sign_bit of the word is the two's-complement sign.
struct fixed_point_format {
    std::uint8_t sign_bit = 0;
    std::uint8_t fraction_bits = 0;
};

struct raw_channel {
    std::uint32_t id = 0;
    std::uint16_t size = 0;    // bytes
    std::uint16_t offset = 0;  // bytes from the start of the line; filled in when wired
    std::vector<fixed_point_format> formats;
};

struct raw_channel_layout {
    std::uint16_t base_offset = 0;
    std::vector<raw_channel> channels;  // in line order
};

// The sixteen channels of an IMX704 line, in the order they are packed.
raw_channel_layout make_raw_channel_layout();

// The channel with this id, or nullptr.
raw_channel* find_channel(raw_channel_layout& layout, std::uint32_t id);

// base_offset plus the sizes of every channel packed before the one with this id (16-bit
// arithmetic, as the line is far shorter than 64 KiB).
std::uint16_t channel_offset(const raw_channel_layout& layout, std::uint32_t id);

// The fixed-point rule: a set sign bit subtracts 2^(sign_bit + 1) (modulo 2^32), the result is
// read as a signed 32-bit integer and scaled by 2^-fraction_bits. Bits above the sign bit are
// deliberately not masked: the sensor never sets them, and a value that has them set is passed
// on as it arrived rather than silently folded into range.
// 2^-bits, exactly; multiplying by it equals dividing by 2^bits and is cheaper.
// 2^-bits, exactly, as its bit pattern: a normal float down to 2^-126, a subnormal one down to
// 2^-149, and 0 below that (where the value rounds to 0 in any case). Multiplying by it equals
// dividing by 2^bits, costs less, and needs no library call on the decoding path.
inline float fraction_scale(std::uint8_t bits) {
    if (bits < 127)
        return std::bit_cast<float>(static_cast<std::uint32_t>(127 - bits) << 23);
    if (bits < 150)
        return std::bit_cast<float>(std::uint32_t{1} << (149 - bits));
    return 0.0f;
}

// Inline and branch-free on the sign: it runs for every value of every line.
inline float decode_fixed_point(std::uint32_t word, fixed_point_format format) {
    if (format.sign_bit != 0 && format.sign_bit < 32) {
        // 2^32 (sign bit 31) vanishes modulo 2^32, as it should.
        const std::uint64_t sign = (word >> format.sign_bit) & 1u;
        word -= static_cast<std::uint32_t>(sign << (format.sign_bit + 1));
    }
    return static_cast<float>(static_cast<std::int32_t>(word)) * fraction_scale(format.fraction_bits);
}

}  // namespace vorlake::tessaro

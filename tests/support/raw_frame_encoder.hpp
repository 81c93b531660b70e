// Writes raw sensor frames from known values, the way the sensor sends them: lines of 32-bit
// little-endian words, blocks interleaved on the wire, optionally padded to the capture stride.
// It is written from the wire format alone, so that encoding and then decoding checks the
// decoder rather than restating it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro::test_support {

inline constexpr std::size_t single_depth_pixels = 576, dual_depth_pixels = 1152, words_per_line = 168;

// Values must be representable: quarters within the field's range (see encode_raw_frame).
struct echo_values {
    float radial_depth = 0.0f;  // unsigned quarters
    point3f point;              // x, y: signed 22-bit quarters; z: unsigned quarters
    float peak_height = 0.0f;   // signed 25-bit quarters
    std::uint8_t peak_status = 0;
};

struct pixel_values {
    std::uint32_t line_word = 0;  // first word of the line, carried but never decoded
    float noise_level = 0.0f;     // unsigned quarters
    histogram_bins_t histogram{};
    pdc_counts_t pdc{};
    std::array<echo_values, 3> echoes{};
};

using reference_line = std::array<std::uint32_t, words_per_line>;

struct frame_values {
    std::vector<pixel_values> pixels;            // in pixel order; 576, or 1152 for dual depth
    std::vector<reference_line> reference_lines;  // raw words, one line per block
};

// Size of the image frame for a mode, packed (672-byte lines) or padded (704-byte stride).
std::size_t raw_frame_size(bool dual, bool padded);

// The raw image frame in wire order. Missing pixels and reference lines encode as zeros; every
// peak status word carries non-zero bits above its low byte, and padding bytes are non-zero.
// Throws std::invalid_argument for a value that the field cannot carry exactly.
std::vector<std::uint8_t> encode_raw_frame(const frame_values& values, bool dual, bool padded);

// Reproducible random values for every pixel and reference line; echoes from `echoes` on are
// left zero. Radial depths include zeros (no return) and cover both sides of the default
// dual-depth band.
frame_values random_frame_values(unsigned seed, bool dual, unsigned echoes);

struct embedded_values {
    std::uint16_t frame_counter = 0;
    std::uint32_t time_counter = 0;
    std::uint8_t time_multiplier = 0;
    std::uint8_t temperature = 128;  // degrees + 128
    std::uint8_t depth_num = 0, peak_order_selection = 0;
    std::uint8_t laser_light_emitted = 0, laser_read_back = 0, laser_lvds_connection = 0, laser_bank_check = 0;
};

// An embedded-data frame (one 672-byte line per block); bytes that carry no field are non-zero
// filler.
std::vector<std::uint8_t> encode_embedded_data(const embedded_values& values, bool dual);

}  // namespace vorlake::tessaro::test_support

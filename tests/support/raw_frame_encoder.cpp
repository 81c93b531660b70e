#include "support/raw_frame_encoder.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::test_support {

namespace {

constexpr std::size_t line_bytes = 672, stride_bytes = 704, image_lines = 48;

// Where each received block goes, as the sensor interleaves them.
constexpr std::uint8_t wire_order_12[] = {0, 6, 2, 8, 4, 10, 1, 7, 3, 9, 5, 11};
constexpr std::uint8_t wire_order_24[] = {0, 12, 6, 18, 2, 14, 8, 20, 4, 16, 10, 22,
                                          1, 13, 7, 19, 3, 15, 9, 21, 5, 17, 11, 23};

// The word a field carries for a value in quarters (sign_bit 0: unsigned 32-bit).
std::uint32_t quarters_word(float value, unsigned sign_bit) {
    const double quarters = static_cast<double>(value) * 4.0;
    const double span = std::ldexp(1.0, static_cast<int>(sign_bit == 0 ? 31 : sign_bit));
    if (quarters != std::floor(quarters) || quarters < -span || quarters > span - 1.0)
        throw std::invalid_argument("value not representable in quarters: " + std::to_string(value));
    const auto raw = static_cast<std::uint32_t>(static_cast<std::int64_t>(quarters));
    return sign_bit == 0 ? raw : raw & ((std::uint32_t{1} << (sign_bit + 1)) - 1u);
}

// Line word, 144 histogram bins, 4 pdc counters, noise, then per echo radial depth, x, y, z,
// peak height and peak status.
reference_line encode_pixel(const pixel_values& pixel) {
    reference_line words{};
    words[0] = pixel.line_word;
    std::copy(pixel.histogram.begin(), pixel.histogram.end(), words.begin() + 1);
    std::copy(pixel.pdc.begin(), pixel.pdc.end(), words.begin() + 145);
    words[149] = quarters_word(pixel.noise_level, 0);
    for (std::size_t e = 0; e < 3; ++e) {
        const echo_values& echo = pixel.echoes[e];
        std::uint32_t* group = &words[150 + 6 * e];
        group[0] = quarters_word(echo.radial_depth, 0);
        group[1] = quarters_word(echo.point.x, 21);
        group[2] = quarters_word(echo.point.y, 21);
        group[3] = quarters_word(echo.point.z, 0);
        group[4] = quarters_word(echo.peak_height, 24);
        // The sensor leaves the bits above the status byte undefined.
        group[5] = 0xA5C30000u | echo.peak_status;
    }
    return words;
}

}  // namespace

std::size_t raw_frame_size(bool dual, bool padded) {
    return (dual ? 24 : 12) * (image_lines + 1) * (padded ? stride_bytes : line_bytes);
}

// Every received block carries the reference line of its destination d and two half-blocks:
// the first halves of d and d + 1 when d is even, the second halves of d - 1 and d when d is odd.
std::vector<std::uint8_t> encode_raw_frame(const frame_values& values, bool dual, bool padded) {
    const std::size_t stride = padded ? stride_bytes : line_bytes;
    std::vector<std::uint8_t> out(raw_frame_size(dual, padded), 0xEE);
    std::size_t line = 0;
    auto put = [&](const reference_line& words) {
        for (std::size_t w = 0; w < words_per_line; ++w)
            for (std::size_t b = 0; b < 4; ++b)
                out[line * stride + 4 * w + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
        ++line;
    };
    for (std::size_t i = 0; i < (dual ? 24u : 12u); ++i) {
        const std::size_t d = (dual ? wire_order_24 : wire_order_12)[i];
        put(d < values.reference_lines.size() ? values.reference_lines[d] : reference_line{});
        for (std::size_t k = d - d % 2; k < d - d % 2 + 2; ++k) {
            for (std::size_t l = d % 2 * image_lines / 2; l < (d % 2 + 1) * image_lines / 2; ++l) {
                const std::size_t p = k * image_lines + l;
                put(encode_pixel(p < values.pixels.size() ? values.pixels[p] : pixel_values{}));
            }
        }
    }
    return out;
}

frame_values random_frame_values(unsigned seed, bool dual, unsigned echoes) {
    std::mt19937 random(seed);
    auto below = [&](std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random); };
    auto signed_quarters = [&](unsigned sign_bit) {
        const std::int64_t span = std::int64_t{1} << sign_bit;
        return static_cast<float>(std::uniform_int_distribution<std::int64_t>(-span, span - 1)(random)) / 4.0f;
    };
    frame_values values;
    values.pixels.resize(dual ? dual_depth_pixels : single_depth_pixels);
    for (pixel_values& pixel : values.pixels) {
        pixel.line_word = static_cast<std::uint32_t>(random());
        pixel.noise_level = static_cast<float>(below(1u << 24)) / 4.0f;
        for (auto& bin : pixel.histogram)
            bin = static_cast<std::uint32_t>(random());
        for (auto& count : pixel.pdc)
            count = static_cast<std::uint32_t>(random());
        for (unsigned e = 0; e < echoes && e < 3; ++e) {
            echo_values& echo = pixel.echoes[e];
            // One in eight reports no return; the rest spread over 0 to 5000.
            echo.radial_depth = below(8) == 0 ? 0.0f : static_cast<float>(below(20000)) / 4.0f;
            echo.point = {signed_quarters(21), signed_quarters(21), static_cast<float>(below(1u << 22)) / 4.0f};
            echo.peak_height = signed_quarters(24);
            echo.peak_status = static_cast<std::uint8_t>(below(256));
        }
    }
    values.reference_lines.resize(dual ? 24 : 12);
    for (auto& line : values.reference_lines)
        for (auto& word : line)
            word = static_cast<std::uint32_t>(random());
    return values;
}

std::vector<std::uint8_t> encode_embedded_data(const embedded_values& v, bool dual) {
    std::vector<std::uint8_t> out((dual ? 24 : 12) * line_bytes, 0x5A);
    const std::pair<std::size_t, std::uint32_t> fields[] = {
        {6, v.frame_counter >> 8u},       {8, v.frame_counter},         {224, v.temperature},
        {232, v.time_counter >> 24},      {234, v.time_counter >> 16},  {236, v.time_counter >> 8},
        {238, v.time_counter},            {240, v.time_multiplier},     {370, v.depth_num},
        {374, v.peak_order_selection},    {380, v.laser_light_emitted}, {382, v.laser_read_back},
        {384, v.laser_lvds_connection},   {386, v.laser_bank_check}};
    for (const auto& [offset, value] : fields)
        out[offset] = static_cast<std::uint8_t>(value);
    return out;
}

}  // namespace vorlake::tessaro::test_support

#include "support/raw_frame_encoder.hpp"

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::test_support {

namespace {

constexpr std::size_t line_bytes = 672;
constexpr std::size_t stride_bytes = 704;
constexpr std::size_t lines_per_half = 24;
constexpr std::size_t image_lines = 48;

// Word positions inside a line: line word, 144 histogram bins, 4 pdc counters, noise, then one
// group of six words per echo (radial depth, x, y, z, peak height, peak status).
constexpr std::size_t histogram_word = 1;
constexpr std::size_t pdc_word = 145;
constexpr std::size_t noise_word = 149;
constexpr std::size_t echo_word = 150;
constexpr std::size_t words_per_echo = 6;

// Where each received block goes, as the sensor interleaves them.
constexpr std::uint8_t wire_order_12[] = {0, 6, 2, 8, 4, 10, 1, 7, 3, 9, 5, 11};
constexpr std::uint8_t wire_order_24[] = {0, 12, 6, 18, 2, 14, 8, 20, 4, 16, 10, 22,
                                          1, 13, 7, 19, 3, 15, 9, 21, 5, 17, 11, 23};

using line_words = std::array<std::uint32_t, words_per_line>;

line_words encode_pixel(const pixel_values& pixel, std::size_t index) {
    line_words words{};
    words[0] = pixel.line_word;
    for (std::size_t bin = 0; bin < 144; ++bin)
        words[histogram_word + bin] = pixel.histogram[bin];
    for (std::size_t c = 0; c < 4; ++c)
        words[pdc_word + c] = pixel.pdc[c];
    words[noise_word] = quarters_word(pixel.noise_level, 0);
    for (std::size_t e = 0; e < 3; ++e) {
        const echo_values& echo = pixel.echoes[e];
        std::uint32_t* group = &words[echo_word + words_per_echo * e];
        group[0] = quarters_word(echo.radial_depth, 0);
        group[1] = quarters_word(echo.point.x, 21);
        group[2] = quarters_word(echo.point.y, 21);
        group[3] = quarters_word(echo.point.z, 0);
        group[4] = quarters_word(echo.peak_height, 24);
        // The sensor leaves the bits above the status byte undefined.
        const std::uint32_t junk = (static_cast<std::uint32_t>(index) * 2654435761u + 0x5A5A5Au) & 0xFFFFFFu;
        group[5] = echo.peak_status | ((junk | 1u) << 8);
    }
    return words;
}

void append_line(std::vector<std::uint8_t>& out, const line_words& words, bool padded) {
    for (std::uint32_t word : words) {
        out.push_back(static_cast<std::uint8_t>(word));
        out.push_back(static_cast<std::uint8_t>(word >> 8));
        out.push_back(static_cast<std::uint8_t>(word >> 16));
        out.push_back(static_cast<std::uint8_t>(word >> 24));
    }
    if (padded)
        out.insert(out.end(), stride_bytes - line_bytes, 0xEE);
}

}  // namespace

std::size_t pixel_count(bool dual) {
    return dual ? dual_depth_pixels : single_depth_pixels;
}

std::size_t raw_frame_size(bool dual, bool padded) {
    const std::size_t blocks = dual ? 24 : 12;
    return blocks * (image_lines + 1) * (padded ? stride_bytes : line_bytes);
}

std::uint32_t quarters_word(float value, unsigned sign_bit) {
    const double quarters = static_cast<double>(value) * 4.0;
    const double low = sign_bit == 0 ? -2147483648.0 : -std::ldexp(1.0, static_cast<int>(sign_bit));
    const double high = sign_bit == 0 ? 2147483647.0 : std::ldexp(1.0, static_cast<int>(sign_bit)) - 1.0;
    if (quarters != std::floor(quarters) || quarters < low || quarters > high)
        throw std::invalid_argument("value not representable in quarters: " + std::to_string(value));
    const auto raw = static_cast<std::uint32_t>(static_cast<std::int64_t>(quarters));
    if (sign_bit == 0)
        return raw;
    return raw & ((std::uint32_t{1} << (sign_bit + 1)) - 1u);
}

std::vector<std::uint8_t> encode_raw_frame(const frame_values& values, bool dual, bool padded) {
    const std::size_t blocks = dual ? 24 : 12;
    const std::uint8_t* order = dual ? wire_order_24 : wire_order_12;

    // Lines in pixel order first: per block, the reference line then 48 image lines.
    std::vector<line_words> reference(blocks);
    std::vector<line_words> image(blocks * image_lines);
    for (std::size_t k = 0; k < blocks && k < values.reference_lines.size(); ++k)
        reference[k] = values.reference_lines[k];
    for (std::size_t p = 0; p < image.size() && p < values.pixels.size(); ++p)
        image[p] = encode_pixel(values.pixels[p], p);
    if (values.pixels.size() < image.size()) {
        const pixel_values zero{};
        for (std::size_t p = values.pixels.size(); p < image.size(); ++p)
            image[p] = encode_pixel(zero, p);
    }

    // Then the wire: every received block carries the reference line of its destination d and
    // two half-blocks: the first halves of d and d + 1 when d is even, the second halves of
    // d - 1 and d when d is odd.
    std::vector<std::uint8_t> out;
    out.reserve(raw_frame_size(dual, padded));
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::size_t d = order[i];
        append_line(out, reference[d], padded);
        const std::size_t first_block = d % 2 == 0 ? d : d - 1;
        const std::size_t first_line = d % 2 == 0 ? 0 : lines_per_half;
        for (std::size_t block = first_block; block < first_block + 2; ++block)
            for (std::size_t l = first_line; l < first_line + lines_per_half; ++l)
                append_line(out, image[block * image_lines + l], padded);
    }
    return out;
}

frame_values random_frame_values(unsigned seed, bool dual, unsigned echoes) {
    std::mt19937 random(seed);
    auto below = [&](std::uint32_t limit) {
        return std::uniform_int_distribution<std::uint32_t>(0, limit - 1)(random);
    };
    auto signed_quarters = [&](unsigned sign_bit) {
        const std::int64_t span = std::int64_t{1} << sign_bit;
        const auto raw = std::uniform_int_distribution<std::int64_t>(-span, span - 1)(random);
        return static_cast<float>(raw) / 4.0f;
    };
    auto unsigned_quarters = [&](std::uint32_t limit_quarters) {
        return static_cast<float>(below(limit_quarters)) / 4.0f;
    };

    frame_values values;
    values.pixels.resize(pixel_count(dual));
    for (std::size_t p = 0; p < values.pixels.size(); ++p) {
        pixel_values& pixel = values.pixels[p];
        pixel.line_word = static_cast<std::uint32_t>(random());
        pixel.noise_level = unsigned_quarters(1u << 24);
        for (auto& bin : pixel.histogram)
            bin = static_cast<std::uint32_t>(random());
        for (auto& count : pixel.pdc)
            count = static_cast<std::uint32_t>(random());
        for (unsigned e = 0; e < echoes && e < 3; ++e) {
            echo_values& echo = pixel.echoes[e];
            // One in eight reports no return; the rest spread over 0 to 5000.
            echo.radial_depth = below(8) == 0 ? 0.0f : unsigned_quarters(20000);
            echo.point = {signed_quarters(21), signed_quarters(21), unsigned_quarters(1u << 22)};
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

std::vector<std::uint8_t> encode_embedded_data(const embedded_values& values, bool dual) {
    std::vector<std::uint8_t> out((dual ? 24 : 12) * line_bytes);
    for (std::size_t n = 0; n < out.size(); ++n)
        out[n] = static_cast<std::uint8_t>(0x11 + n * 7);
    out[6] = static_cast<std::uint8_t>(values.frame_counter >> 8);
    out[8] = static_cast<std::uint8_t>(values.frame_counter);
    out[224] = values.temperature;
    out[232] = static_cast<std::uint8_t>(values.time_counter >> 24);
    out[234] = static_cast<std::uint8_t>(values.time_counter >> 16);
    out[236] = static_cast<std::uint8_t>(values.time_counter >> 8);
    out[238] = static_cast<std::uint8_t>(values.time_counter);
    out[240] = values.time_multiplier;
    out[370] = values.depth_num;
    out[374] = values.peak_order_selection;
    out[380] = values.laser_light_emitted;
    out[382] = values.laser_read_back;
    out[384] = values.laser_lvds_connection;
    out[386] = values.laser_bank_check;
    return out;
}

}  // namespace vorlake::tessaro::test_support

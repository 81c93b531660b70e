// Raw image frames of the synthetic sensor: every pixel's values as the words of its line, each
// line at its place on the wire (the line order comes from tessaro.synthetic.wire).
#include "kernels.hpp"

#include <bit>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::synthetic {

namespace {

static_assert(std::endian::native == std::endian::little, "the wire's words are little-endian");

constexpr std::size_t words_per_line = 168;
constexpr std::size_t padded_words = 176;
constexpr std::uint32_t padding = 0xEEEE'EEEE;
constexpr std::size_t histogram_word = 1, pdc_word = 145, noise_word = 149, echo_word = 150;
constexpr std::size_t echo_stride = 6;
constexpr std::uint32_t status_filler = 0xA5C3'0000;  // upper bits the decoder must ignore

// The word of a fixed-point field with two fraction bits; sign_bit 0 means unsigned.
template <int sign_bit = 0>
std::uint32_t quarters(double value) {
    constexpr double low = sign_bit ? -double(std::int64_t{1} << sign_bit) : 0.0;
    constexpr double high = double(std::int64_t{1} << (sign_bit ? sign_bit : 31));
    const double q = rounded(value * 4);
    if (!(q >= low && q < high)) {  // nan too
        throw py::value_error("value does not fit the field");
    }
    const auto whole = static_cast<std::int64_t>(q);
    // A negative value in two's complement within the field's bits.
    const std::int64_t wrap = std::int64_t{1} << (sign_bit + 1);
    return static_cast<std::uint32_t>(whole < 0 ? whole + wrap : whole);
}

void check_size(const py::array& array, std::size_t size, const char* name) {
    if (array.size() != py::ssize_t(size)) {
        throw std::invalid_argument(std::string(name) + ": " + std::to_string(array.size()) +
                                    " values, not " + std::to_string(size));
    }
}

}  // namespace

py::array_t<std::uint8_t> raw_frame(const input<std::uint32_t>& reference,
                                    const input<std::uint32_t>& line_word,
                                    const input<std::uint32_t>& histogram,
                                    const input<std::uint32_t>& pdc,
                                    const input<double>& noise_level,
                                    const input<double>& radial_depth, const input<double>& points,
                                    const input<double>& peak_height,
                                    const input<std::uint32_t>& peak_status,
                                    const input<std::int64_t>& reference_rows,
                                    const input<std::int64_t>& pixel_rows, bool padded) {
    const std::size_t blocks = std::size_t(reference_rows.size());
    const std::size_t pixels = std::size_t(pixel_rows.size());
    const std::size_t lines = blocks + pixels;
    check_size(reference, blocks * words_per_line, "reference");
    check_size(line_word, pixels, "line_word");
    check_size(histogram, pixels * bins, "histogram");
    check_size(pdc, pixels * 4, "pdc");
    check_size(noise_level, pixels, "noise_level");
    check_size(radial_depth, echoes * pixels, "radial_depth");
    check_size(points, echoes * pixels * 3, "points");
    check_size(peak_height, echoes * pixels, "peak_height");
    check_size(peak_status, echoes * pixels, "peak_status");
    const std::size_t stride = padded ? padded_words : words_per_line;
    // Every word is written below: the reference and pixel lines, and the padding after each.
    py::array_t<std::uint8_t> frame(py::ssize_t(lines * stride * 4));
    auto* words = reinterpret_cast<std::uint32_t*>(frame.mutable_data());
    if (padded) {
        for (std::size_t row = 0; row < lines; ++row) {
            std::fill_n(words + row * stride + words_per_line, stride - words_per_line, padding);
        }
    }
    // As many rows as lines, none twice: every line is written.
    std::vector<bool> written(lines);
    auto line = [&](std::int64_t row) {
        if (row < 0 || std::size_t(row) >= lines || written[std::size_t(row)]) {
            throw std::invalid_argument("line " + std::to_string(row) +
                                        " outside the frame or written twice");
        }
        written[std::size_t(row)] = true;
        return words + std::size_t(row) * stride;
    };
    const auto* reference_rows_at = reference_rows.data();
    for (std::size_t block = 0; block < blocks; ++block) {
        std::memcpy(line(reference_rows_at[block]), reference.data() + block * words_per_line,
                    words_per_line * 4);
    }
    const auto *radial = radial_depth.data(), *point = points.data(), *height = peak_height.data();
    const auto* status = peak_status.data();
    const auto* pixel_rows_at = pixel_rows.data();
    for (std::size_t pixel = 0; pixel < pixels; ++pixel) {
        std::uint32_t* out = line(pixel_rows_at[pixel]);
        out[0] = line_word.data()[pixel];
        std::memcpy(out + histogram_word, histogram.data() + pixel * bins, bins * 4);
        std::memcpy(out + pdc_word, pdc.data() + pixel * 4, 16);
        out[noise_word] = quarters(noise_level.data()[pixel]);
        for (std::size_t echo = 0; echo < echoes; ++echo) {
            const std::size_t at = echo * pixels + pixel;
            std::uint32_t* field = out + echo_word + echo * echo_stride;
            field[0] = quarters(radial[at]);
            field[1] = quarters<21>(point[at * 3]);
            field[2] = quarters<21>(point[at * 3 + 1]);
            field[3] = quarters(point[at * 3 + 2]);
            field[4] = quarters<24>(height[at]);
            field[5] = status[at] | status_filler;
        }
    }
    return frame;
}

}  // namespace vorlake::tessaro::synthetic

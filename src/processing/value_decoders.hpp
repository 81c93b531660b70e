// The five value decoders. They live in a nested namespace rather than a file-local one so that
// the tests can drive them directly; nothing outside the processing code uses them.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include <vorlake/tessaro/types.hpp>

#include "processing/raw_channel_layout.hpp"
#include "processing/raw_data_values_decoder.hpp"

namespace vorlake::tessaro::detail {

// The line buffer is a byte vector; reading its words through memcpy keeps the access free of
// aliasing and alignment assumptions, and compiles to a plain load.
inline std::uint32_t load_word(const std::uint8_t* values, std::uint32_t i) {
    std::uint32_t word;
    std::memcpy(&word, values + 4 * std::size_t{i}, sizeof word);
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap32(word);
    return word;
}

// A whole record in 16-byte pieces: the compiler turns this into plain vector moves, where a
// variable-size memcpy may become a string instruction with a costly start-up.
template <std::size_t N>
inline void copy_words(std::uint32_t* target, const std::uint8_t* values) {
    constexpr std::size_t piece = 16;
    constexpr std::size_t bytes = N * sizeof(std::uint32_t);
    auto* out = reinterpret_cast<std::uint8_t*>(target);
    std::size_t done = 0;
#pragma GCC unroll 64
    for (; done + piece <= bytes; done += piece)
        std::memcpy(out + done, values + done, piece);
    if constexpr (bytes % piece != 0)
        std::memcpy(out + done, values + done, bytes % piece);
}

inline bool index_fits(std::size_t output_size, std::uint32_t index) {
    return index < static_cast<std::uint32_t>(output_size);
}

// Whether every index of a run fits, so that no call of the run could be refused for its index.
template <typename Output>
inline bool run_fits(const Output* output, std::uint32_t first_index, std::uint32_t line_count) {
    return output != nullptr &&
           std::uint64_t{first_index} + line_count <= static_cast<std::uint32_t>(output->size());
}

// The fixed-point rule with its format settled once, for a run of words. Subtracting twice the
// sign bit's value is subtracting 2^(sign_bit + 1) when it is set; an unsigned format has no
// sign bit, and a sign bit of 31 borrows 2^32, which vanishes modulo 2^32.
struct fixed_point_rule {
    std::uint32_t sign_mask = 0;
    float scale = 1.0f;

    fixed_point_rule() = default;
    explicit fixed_point_rule(fixed_point_format format) : scale(fraction_scale(format.fraction_bits)) {
        if (format.sign_bit != 0 && format.sign_bit < 32)
            sign_mask = std::uint32_t{1} << format.sign_bit;
    }

    float operator()(std::uint32_t word) const {
        word -= (word & sign_mask) << 1;
        return static_cast<float>(static_cast<std::int32_t>(word)) * scale;
    }
};

class fixed_point_values_decoder final : public raw_data_values_decoder {
public:
    fixed_point_format format;
    std::vector<float>* output = nullptr;

    std::int32_t decode(const std::uint8_t* values, std::uint32_t count,
                        std::uint32_t index) const override {
        if (output == nullptr || !index_fits(output->size(), index) || count != 1)
            return -1;
        (*output)[index] = decode_fixed_point(load_word(values, 0), format);
        return 0;
    }

    std::int32_t decode_lines(const std::uint8_t* first, std::uint32_t stride, std::uint32_t line_count,
                              std::uint32_t first_index) const override {
        if (!run_fits(output, first_index, line_count) || size / 4 != 1)
            return decode_each_line(first, stride, line_count, first_index);
        const fixed_point_rule rule(format);
        float* out = output->data() + first_index;
        if (rule.sign_mask == 0) {
            // Most channels are unsigned: a conversion and a scaling per word.
            for (std::uint32_t j = 0; j < line_count; ++j, first += stride)
                out[j] = static_cast<float>(static_cast<std::int32_t>(load_word(first, 0))) * rule.scale;
            return 0;
        }
        for (std::uint32_t j = 0; j < line_count; ++j, first += stride)
            out[j] = rule(load_word(first, 0));
        return 0;
    }
};

class peak_status_decoder final : public raw_data_values_decoder {
public:
    std::vector<peak_status>* output = nullptr;

    std::int32_t decode(const std::uint8_t* values, std::uint32_t count,
                        std::uint32_t index) const override {
        if (output == nullptr || !index_fits(output->size(), index) || count != 1)
            return -1;
        (*output)[index] = static_cast<peak_status>(load_word(values, 0) & 0xFFu);
        return 0;
    }

    std::int32_t decode_lines(const std::uint8_t* first, std::uint32_t stride, std::uint32_t line_count,
                              std::uint32_t first_index) const override {
        if (!run_fits(output, first_index, line_count) || size / 4 != 1)
            return decode_each_line(first, stride, line_count, first_index);
        peak_status* out = output->data() + first_index;
        for (std::uint32_t j = 0; j < line_count; ++j, first += stride)
            out[j] = static_cast<peak_status>(load_word(first, 0) & 0xFFu);
        return 0;
    }
};

template <std::size_t N>
class multi_channel_uint32_values_decoder final : public raw_data_values_decoder {
public:
    std::vector<std::array<std::uint32_t, N>>* output = nullptr;

    // Words beyond N are not the caller's to pass; they are ignored rather than written past
    // the record.
    std::int32_t decode(const std::uint8_t* values, std::uint32_t count,
                        std::uint32_t index) const override {
        if (output == nullptr || !index_fits(output->size(), index))
            return -1;
        const std::size_t words = count < N ? count : N;
        auto& record = (*output)[index];
        if constexpr (std::endian::native == std::endian::little) {
            if (words == N)
                copy_words<N>(record.data(), values);
            else
                std::memcpy(record.data(), values, words * sizeof(std::uint32_t));
        } else {
            for (std::size_t i = 0; i < words; ++i)
                record[i] = load_word(values, static_cast<std::uint32_t>(i));
        }
        return 0;
    }

    // The plan's case, whole records on a little-endian machine, is a run of block copies;
    // anything else goes line by line.
    std::int32_t decode_lines(const std::uint8_t* first, std::uint32_t stride, std::uint32_t line_count,
                              std::uint32_t first_index) const override {
        if (std::endian::native != std::endian::little || !run_fits(output, first_index, line_count) ||
            size / 4 != N)
            return decode_each_line(first, stride, line_count, first_index);
        std::array<std::uint32_t, N>* out = output->data() + first_index;
        for (std::uint32_t j = 0; j < line_count; ++j, first += stride)
            copy_words<N>(out[j].data(), first);
        return 0;
    }
};

template <typename Element>
class multi_channel_fixed_point_values_decoder;

template <>
class multi_channel_fixed_point_values_decoder<basic_vector3<float>> final
    : public raw_data_values_decoder {
public:
    std::vector<fixed_point_format> formats;
    std::vector<basic_vector3<float>>* output = nullptr;

    // Words beyond the three components are ignored; an empty format list decodes nothing.
    std::int32_t decode(const std::uint8_t* values, std::uint32_t count,
                        std::uint32_t index) const override {
        if (output == nullptr || !index_fits(output->size(), index))
            return -1;
        auto& point = (*output)[index];
        if (count == 3 && formats.size() >= 3) {
            // The plan's case: three words, three formats.
            point.x = decode_fixed_point(load_word(values, 0), formats[0]);
            point.y = decode_fixed_point(load_word(values, 1), formats[1]);
            point.z = decode_fixed_point(load_word(values, 2), formats[2]);
            return 0;
        }
        decode_any(values, count, point);
        return 0;
    }

    std::int32_t decode_lines(const std::uint8_t* first, std::uint32_t stride, std::uint32_t line_count,
                              std::uint32_t first_index) const override {
        if (!run_fits(output, first_index, line_count) || size / 4 != 3 || formats.size() < 3)
            return decode_each_line(first, stride, line_count, first_index);
        const fixed_point_rule x(formats[0]);
        const fixed_point_rule y(formats[1]);
        const fixed_point_rule z(formats[2]);
        basic_vector3<float>* out = output->data() + first_index;
        for (std::uint32_t j = 0; j < line_count; ++j, first += stride)
            out[j] = {x(load_word(first, 0)), y(load_word(first, 1)), z(load_word(first, 2))};
        return 0;
    }

private:
    // Fewer words, or fewer formats (the last one then serves the remaining words). Kept out of
    // line so that the common case above stays a leaf.
    [[gnu::noinline]] void decode_any(const std::uint8_t* values, std::uint32_t count,
                                      basic_vector3<float>& point) const {
        if (formats.empty())
            return;
        float* components[3] = {&point.x, &point.y, &point.z};
        const std::uint32_t words = count < 3 ? count : 3;
        const std::size_t last = formats.size() - 1;
        for (std::uint32_t i = 0; i < words; ++i)
            *components[i] = decode_fixed_point(load_word(values, i), formats[i < last ? i : last]);
    }
};

using point_decoder = multi_channel_fixed_point_values_decoder<basic_vector3<float>>;
using histogram_decoder = multi_channel_uint32_values_decoder<histogram_bins>;
using pdc_decoder = multi_channel_uint32_values_decoder<pdc_channels>;

}  // namespace vorlake::tessaro::detail

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
    for (; done + piece <= bytes; done += piece)
        std::memcpy(out + done, values + done, piece);
    if constexpr (bytes % piece != 0)
        std::memcpy(out + done, values + done, bytes % piece);
}

inline bool index_fits(std::size_t output_size, std::uint32_t index) {
    return index < static_cast<std::uint32_t>(output_size);
}

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

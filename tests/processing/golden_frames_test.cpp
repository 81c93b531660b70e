// The raw-frame encoders of these tests and of the Python package must write the same bytes from
// the same values, or one of them checks the decoder against a format the sensor does not send.
// tests/data/golden holds frames that this encoder wrote, gzip-compressed: this test checks the
// encoder against the length and CRC-32 in each file's gzip trailer, the package's tests check
// theirs against the bytes. TESSARO_WRITE_GOLDEN=DIR writes DIR/<name>.bin afresh (then gzip -9n).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro::test_support {
namespace {

// Every field of every pixel differs from its neighbours' (p: pixel, e: echo), and most of each
// histogram is zero so that the frames compress. tests/python/test_golden_frames.py has them too.
frame_values golden_values(bool dual) {
    frame_values values;
    values.pixels.resize(dual ? dual_depth_pixels : single_depth_pixels);
    for (std::uint32_t p = 0; p < values.pixels.size(); ++p) {
        pixel_values& pixel = values.pixels[p];
        const float f = static_cast<float>(p);
        pixel.line_word = 0x4C000000u + p;
        pixel.noise_level = f + 0.25f;
        pixel.histogram[p % 144] = 0xB0000000u + p;
        for (std::uint32_t c = 0; c < 4; ++c)
            pixel.pdc[c] = 0xD0000000u + (c << 16) + p;
        for (std::uint32_t e = 0; e < 3; ++e) {
            const float g = 2000.0f * static_cast<float>(e) + f;
            pixel.echoes[e] = {g + 0.5f, {-(g + 0.25f), g + 0.75f, g}, -(3 * g + 0.25f), static_cast<std::uint8_t>(p + 17 * e)};
        }
    }
    values.reference_lines.resize(dual ? 24 : 12);
    for (std::uint32_t k = 0; k < values.reference_lines.size(); ++k)
        for (std::uint32_t w = 0; w < words_per_line; ++w)
            values.reference_lines[k][w] = 0x52000000u + (k << 8) + w;
    return values;
}

// The CRC-32 of gzip (reflected polynomial 0xEDB88320).
std::uint32_t crc32(const std::vector<std::uint8_t>& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(golden_frames, the_encoder_writes_the_checked_in_frames) {
    const std::pair<const char*, std::vector<std::uint8_t>> frames[] = {
        {"single_padded", encode_raw_frame(golden_values(false), false, true)},
        {"dual_packed", encode_raw_frame(golden_values(true), true, false)},
        {"ebd_dual", encode_embedded_data({0xFEDC, 0x89ABCDEF, 7, 170, 3, 1, 1, 0, 1, 0}, true)},
    };
    for (const auto& [name, frame] : frames) {
        if (const char* out = std::getenv("TESSARO_WRITE_GOLDEN"))
            std::ofstream(std::string(out) + "/" + name + ".bin").write(reinterpret_cast<const char*>(frame.data()), std::ssize(frame));
        std::ifstream golden(std::string(TESSARO_GOLDEN_DIR "/") + name + ".bin.gz", std::ios::binary);
        const std::string file{std::istreambuf_iterator<char>(golden), {}};
        if (file.size() < 8) {
            ADD_FAILURE() << name << ": no golden frame";
            continue;
        }
        std::uint32_t trailer[2] = {};  // little-endian CRC-32 and length
        for (std::size_t i = 0; i < 8; ++i)
            trailer[i / 4] |= std::uint32_t{static_cast<std::uint8_t>(file[file.size() - 8 + i])} << (i % 4 * 8);
        EXPECT_EQ(trailer[0], crc32(frame)) << name;
        EXPECT_EQ(trailer[1], frame.size()) << name;
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

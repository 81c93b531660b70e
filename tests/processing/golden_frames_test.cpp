// The raw-frame encoders of these tests and of the Python package must write the same bytes from
// the same values, or one of them checks the decoder against a format the sensor does not send.
// tests/data/golden holds frames written by this encoder (gzip-compressed) and a manifest with
// the length and CRC-32 of each; this test checks the encoder against the manifest, and the
// package's tests check theirs against the frames. Run with TESSARO_WRITE_GOLDEN=DIR to write
// DIR/<name>.bin and DIR/manifest.txt afresh (then gzip -9n the frames).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro::test_support {
namespace {

using bytes = std::vector<std::uint8_t>;

struct golden_case { const char* name; bool ebd, dual, padded; unsigned echoes; };

const golden_case golden_cases[] = {
    {"single_packed_3echo", false, false, false, 3}, {"single_padded_1echo", false, false, true, 1},
    {"dual_packed_2echo", false, true, false, 2},    {"dual_padded_3echo", false, true, true, 3},
    {"ebd_single", true, false, false, 0},           {"ebd_dual", true, true, false, 0},
};

// Every field of every pixel differs from its neighbours' (p: pixel, e: echo), and most of the
// histogram is zero so that the frames compress. tests/python/test_golden_frames.py writes the
// same values.
frame_values golden_values(bool dual, unsigned echoes) {
    frame_values values;
    values.pixels.resize(dual ? dual_depth_pixels : single_depth_pixels);
    for (std::uint32_t p = 0; p < values.pixels.size(); ++p) {
        pixel_values& pixel = values.pixels[p];
        const auto f = static_cast<float>(p);
        pixel.line_word = 0x4C000000u + p;
        pixel.noise_level = f + 0.25f;
        pixel.histogram[p % pixel.histogram.size()] = 0xB0000000u + p;
        for (std::uint32_t c = 0; c < pixel.pdc.size(); ++c)
            pixel.pdc[c] = 0xD0000000u + (c << 16) + p;
        for (std::uint32_t e = 0; e < echoes; ++e) {
            echo_values& echo = pixel.echoes[e];
            echo.radial_depth = 1000.0f * e + f + 0.5f;
            echo.point = {-(2000.0f * e + f + 0.25f), 2000.0f * e + f + 0.75f, 2000.0f * e + f + 0.5f};
            echo.peak_height = -(5000.0f * e + 3.0f * f + 0.25f);
            echo.peak_status = static_cast<std::uint8_t>(p + 17 * e);
        }
    }
    values.reference_lines.resize(dual ? 24 : 12);
    for (std::uint32_t k = 0; k < values.reference_lines.size(); ++k)
        for (std::uint32_t w = 0; w < words_per_line; ++w)
            values.reference_lines[k][w] = 0x52000000u + (k << 8) + w;
    return values;
}

bytes golden_frame(const golden_case& c) {
    if (!c.ebd)
        return encode_raw_frame(golden_values(c.dual, c.echoes), c.dual, c.padded);
    const embedded_values single{0x1234, 0x89ABCDEF, 3, 170, 2, 1, 1, 0, 1, 0};
    const embedded_values dual{0xFFFE, 0x01020304, 7, 100, 3, 0, 0, 1, 0, 1};
    return encode_embedded_data(c.dual ? dual : single, c.dual);
}

// The CRC-32 of zlib and gzip (reflected polynomial 0xEDB88320).
std::uint32_t crc32(const bytes& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// name -> "<bytes> <crc32>", from lines "<name>.bin.gz <bytes> <crc32 in hex>".
std::map<std::string, std::string> read_manifest(const std::string& path) {
    std::map<std::string, std::string> entries;
    std::ifstream manifest(path);
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string file, size, crc;
        if (line.starts_with("#") || !(fields >> file >> size >> crc))
            continue;
        entries[file.substr(0, file.find('.'))] = size + " " + crc;
    }
    return entries;
}

std::string summary(const bytes& frame) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", crc32(frame));
    return std::to_string(frame.size()) + " " + crc;
}

TEST(golden_frames, the_encoder_writes_the_checked_in_frames) {
    if (const char* out = std::getenv("TESSARO_WRITE_GOLDEN")) {
        std::ofstream manifest(std::string(out) + "/manifest.txt");
        manifest << "# Written by tests/processing/golden_frames_test.cpp; <file> <bytes> <crc32>\n";
        for (const golden_case& c : golden_cases) {
            const bytes frame = golden_frame(c);
            std::ofstream(std::string(out) + "/" + c.name + ".bin", std::ios::binary)
                .write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
            manifest << c.name << ".bin.gz " << summary(frame) << "\n";
        }
    }
    const std::map<std::string, std::string> manifest = read_manifest(TESSARO_GOLDEN_DIR "/manifest.txt");
    ASSERT_EQ(manifest.size(), std::size(golden_cases));
    for (const golden_case& c : golden_cases)
        EXPECT_EQ(summary(golden_frame(c)), manifest.at(c.name)) << c.name;
}

}  // namespace
}  // namespace vorlake::tessaro::test_support

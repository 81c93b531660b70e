// The dual-depth merge alone, over arbitrary decoded values (NaN, infinities, signed zeros,
// negatives, equal keys) and arbitrary parameters, against the literal rendering of its rules.
//
// Input: the echo count byte (0 to 4; 4 is refused), a byte of pixel count, a byte whose bits
// unsettle the vector sizes, three parameter floats, then per candidate value either a palette
// index or raw float bits.
#include <cerrno>
#include <limits>

#include "../tests/support/reference_merge.hpp"
#include "fuzz_input.hpp"
#include "processing/dual_depth_selection.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;

namespace {

// Values that sit on the rules' edges, so that equal keys and band limits come up often.
constexpr float inf = std::numeric_limits<float>::infinity();
const float palette[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), inf, -inf, -1.0f, 1.0f,
                         50.0f, 200.0f, 2000.0f, 199.0f, 201.0f, 250.0f, 1999.0f, 2001.0f, 2050.0f,
                         std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()};

float value(fuzz_input& in) {
    const auto c = in.take<std::uint8_t>();
    return c < 2 * std::size(palette) ? palette[c % std::size(palette)] : in.take<float>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in{data, size};
    const auto echoes = static_cast<std::uint8_t>(in.take<std::uint8_t>() % 5);
    const std::uint32_t pixels = 1 + in.take<std::uint8_t>() % 8;
    const auto unsettle = in.take<std::uint8_t>();
    const dual_depth_params params{value(in), value(in), value(in)};

    const auto vectors = std::min<std::uint8_t>(echoes, 3);
    frame_buffer frame({true, true, true, false, true, true}, vectors, 2 * pixels);
    frame.max_depth_index = echoes;
    for (std::size_t e = 0; e < vectors; ++e) {
        for (std::size_t i = 0; i < 2 * pixels; ++i) {
            frame.radial_depth[e][i] = value(in);
            frame.cartesian_depth[e][i] = value(in);
            frame.peak_height[e][i] = value(in);
            frame.peak_status[e][i] = static_cast<peak_status>(in.take<std::uint8_t>());
            frame.point_cloud[e][i] = {value(in), value(in), value(in)};
        }
    }
    // A frame that was not prepared: one vector one element short.
    if (const std::size_t e = vectors > 0 ? (unsettle >> 2) % vectors : 0; (unsettle & 0xF0) == 0xF0 && vectors > 0)
        (unsettle & 3) == 0   ? frame.radial_depth[e].pop_back()
        : (unsettle & 3) == 1 ? frame.cartesian_depth[e].pop_back()
        : (unsettle & 3) == 2 ? frame.peak_height[e].pop_back() : frame.peak_status[e].pop_back();

    frame_buffer expected = frame;
    const int code = dual_depth_selection(pixels, params).merge(frame);
    require(code == 0 || code == -EINVAL, "the merge reports 0 or -EINVAL");
    if (code == 0)
        test_support::reference_merge(expected, pixels, params);
    require(same_outputs(frame, expected), "a merge agrees bit for bit with the rules; a refused one changes nothing");
    return 0;
}

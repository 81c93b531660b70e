// The dual-depth merge alone, over arbitrary decoded values (NaN, infinities, signed zeros,
// negatives, equal keys) and arbitrary parameters.
//
// Input: the echo count byte (0 to 4; 4 is refused), a byte of pixel count, a byte whose bits
// unsettle the vector sizes, three parameter floats, then per candidate value either a palette
// index or raw float bits.
#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <limits>

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
    const auto choice = in.take<std::uint8_t>();
    if (choice < 2 * std::size(palette))
        return palette[choice % std::size(palette)];
    return in.take<float>();
}

// One candidate's values, which the merge moves together, as bits.
std::array<std::uint32_t, 7> at(const frame_buffer& f, std::size_t e, std::size_t i) {
    const point3f& p = f.point_cloud[e][i];
    return {std::bit_cast<std::uint32_t>(f.radial_depth[e][i]), std::bit_cast<std::uint32_t>(f.cartesian_depth[e][i]),
            std::bit_cast<std::uint32_t>(f.peak_height[e][i]), static_cast<std::uint32_t>(f.peak_status[e][i]),
            std::bit_cast<std::uint32_t>(p.x), std::bit_cast<std::uint32_t>(p.y), std::bit_cast<std::uint32_t>(p.z)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in{data, size};
    const auto echoes = static_cast<std::uint8_t>(in.take<std::uint8_t>() % 5);
    const std::uint32_t pixels = 1 + in.take<std::uint8_t>() % 8;
    const auto unsettle = in.take<std::uint8_t>();
    const dual_depth_params params{value(in), value(in), value(in)};

    const std::size_t vectors = std::min<std::size_t>(echoes, 3);
    frame_buffer frame({true, true, true, false, true, true}, static_cast<std::uint8_t>(vectors), 2 * pixels);
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
        : (unsettle & 3) == 2 ? frame.peak_height[e].pop_back()
                              : frame.peak_status[e].pop_back();

    const frame_buffer input = frame;
    dual_depth_selection merger(pixels, params);
    const int code = merger.merge(frame);
    require(code == 0 || code == -EINVAL, "the merge reports 0 or -EINVAL");
    if (code != 0) {
        require(same_outputs(input, frame), "a refused merge leaves the frame as it was");
        return 0;
    }
    for (std::size_t e = 0; e < vectors; ++e) {
        require(frame.radial_depth[e].size() == pixels && frame.cartesian_depth[e].size() == pixels &&
                    frame.peak_height[e].size() == pixels && frame.peak_status[e].size() == pixels &&
                    frame.point_cloud[e].size() == pixels,
                "a merged frame has one result per pixel in every per-echo output");
        for (std::uint32_t i = 0; i < pixels; ++i) {
            const auto out = at(frame, e, i);
            bool found = std::all_of(out.begin(), out.end(), [](std::uint32_t b) { return (b & 0x7FFFFFFFu) == 0; });
            for (std::size_t c = 0; c < vectors && !found; ++c)
                found = out == at(input, c, i) || out == at(input, c, pixels + i);
            require(found, "a merge never invents a depth: every result is an input's, or zeros");
        }
    }

    frame_buffer again = input;
    require(merger.merge(again) == 0 && same_outputs(again, frame), "merging the same values twice gives the same outputs");
    return 0;
}

// The dual-depth merge alone, over arbitrary decoded values (NaN, infinities, signed zeros,
// negatives, equal keys) and arbitrary parameters.
//
// Input: the echo count byte (0 to 4; 4 is refused), a byte of pixel count, a byte whose bits
// unsettle the vector sizes, three parameter floats, then per candidate value either a palette
// index or raw float bits.
#include <cerrno>
#include <cmath>
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

// One candidate's values as the merge writes them out together.
struct result {
    float radial, cartesian, height;
    peak_status status;
    point3f point;
};

result at(const frame_buffer& f, std::size_t echo, std::size_t index) {
    return {f.radial_depth[echo][index], f.cartesian_depth[echo][index], f.peak_height[echo][index],
            f.peak_status[echo][index], f.point_cloud[echo][index]};
}

bool same(const result& a, const result& b) {
    return std::memcmp(&a.radial, &b.radial, sizeof(float)) == 0 &&
           std::memcmp(&a.cartesian, &b.cartesian, sizeof(float)) == 0 &&
           std::memcmp(&a.height, &b.height, sizeof(float)) == 0 && a.status == b.status &&
           std::memcmp(&a.point, &b.point, sizeof(point3f)) == 0;
}

bool all_zero(const result& r) {
    return r.radial == 0 && r.cartesian == 0 && r.height == 0 && r.status == peak_status{} &&
           r.point == point3f{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in(data, size);
    const auto echoes = static_cast<std::uint8_t>(in.take<std::uint8_t>() % 5);
    const std::uint32_t pixels = 1 + in.take<std::uint8_t>() % 8;
    const auto unsettle = in.take<std::uint8_t>();
    dual_depth_params params;
    params.select_near = value(in);
    params.select_far = value(in);
    params.merge_window = value(in);

    frame_buffer frame;
    frame.max_depth_index = echoes;
    const std::size_t vectors = std::min<std::size_t>(echoes, 3);
    frame.radial_depth.resize(vectors);
    frame.cartesian_depth.resize(vectors);
    frame.peak_height.resize(vectors);
    frame.peak_status.resize(vectors);
    frame.point_cloud.resize(vectors);
    for (std::size_t e = 0; e < vectors; ++e) {
        for (std::size_t i = 0; i < 2 * pixels; ++i) {
            frame.radial_depth[e].push_back(value(in));
            frame.cartesian_depth[e].push_back(value(in));
            frame.peak_height[e].push_back(value(in));
            frame.peak_status[e].push_back(static_cast<peak_status>(in.take<std::uint8_t>()));
            frame.point_cloud[e].push_back({value(in), value(in), value(in)});
        }
    }
    // A frame that was not prepared: one vector one element short.
    if (vectors > 0 && (unsettle & 0xF0) == 0xF0) {
        const std::size_t e = (unsettle >> 2) % vectors;
        switch (unsettle & 3) {
        case 0: frame.radial_depth[e].pop_back(); break;
        case 1: frame.cartesian_depth[e].pop_back(); break;
        case 2: frame.peak_height[e].pop_back(); break;
        default: frame.peak_status[e].pop_back(); break;
        }
    }

    const frame_buffer input = frame;
    dual_depth_selection merger(pixels, params);
    const int code = merger.merge(frame);
    require(code == 0 || code == -EINVAL, "the merge reports 0 or -EINVAL");
    if (code != 0) {
        require(same_outputs(input, frame), "a refused merge leaves the frame as it was");
        return 0;
    }
    for (std::size_t e = 0; e < vectors; ++e)
        require(frame.radial_depth[e].size() == pixels && frame.cartesian_depth[e].size() == pixels &&
                    frame.peak_height[e].size() == pixels && frame.peak_status[e].size() == pixels &&
                    frame.point_cloud[e].size() == pixels,
                "a merged frame has one result per pixel in every per-echo output");
    for (std::size_t e = 0; e < vectors; ++e) {
        for (std::uint32_t i = 0; i < pixels; ++i) {
            const result out = at(frame, e, i);
            bool found = all_zero(out);
            for (std::size_t c = 0; c < vectors && !found; ++c)
                found = same(out, at(input, c, i)) || same(out, at(input, c, pixels + i));
            require(found, "a merge never invents a depth: every result is an input's, or zeros");
        }
    }

    frame_buffer again = input;
    require(merger.merge(again) == 0 && same_outputs(again, frame), "merging the same values twice gives the same outputs");
    return 0;
}

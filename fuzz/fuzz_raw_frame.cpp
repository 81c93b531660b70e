// The raw frame path as a camera runs it: size check, compaction, reordering, decoding and, in a
// dual-depth mode, the merge, over arbitrary bytes in every mode, echo count and output set.
//
// Input: a flags byte (bit 0 dual-depth, bits 1-2 echo count, bits 3-5 frame size kind), the
// output set byte, three floats of dual-depth parameters, a 16-bit size offset, then the payload,
// repeated to fill the frame.
#include <algorithm>
#include <cerrno>

#include "../tests/support/frame_path.hpp"
#include "fuzz_input.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in{data, size};
    const auto flags = in.take<std::uint8_t>();
    const bool dual = flags & 1;
    const auto echoes = static_cast<std::uint8_t>(1 + ((flags >> 1) & 3) % 3);
    camera_output_configuration outputs = outputs_from(in.take<std::uint8_t>());
    // A camera in a dual-depth mode always decodes the radial depth, which the merge ranks by.
    outputs.enable_radial_depth |= dual;
    const dual_depth_params params{in.take<float>(), in.take<float>(), in.take<float>()};
    const auto offset = static_cast<std::int16_t>(in.take<std::uint16_t>());

    const std::size_t packed = dual ? 790272 : 395136, padded = packed / 672 * 704;
    const std::size_t sizes[] = {packed, packed, packed, padded, padded, in.size, packed + offset, padded + offset};
    std::vector<std::uint8_t> raw(sizes[(flags >> 3) & 7]);
    for (std::size_t i = 0; i < raw.size() && in.size > 0; ++i)
        raw[i] = in.data[i % in.size];

    // The same bytes twice through one path: nothing a frame leaves behind changes the next.
    test_support::frame_path path(outputs, dual, echoes, &params);
    const int first = path.run(raw);
    require(first == 0 || first == -EINVAL || first == -1, "a refused frame reports a known code");
    // An output left off stays empty.
    auto pixels = [](const auto& per_echo) {
        return std::all_of(per_echo.begin(), per_echo.end(), [](auto& v) { return v.empty() || v.size() == 576; });
    };
    const frame_buffer f = path.frame;
    require(first != 0 || (pixels(f.point_cloud) && pixels(f.cartesian_depth) && pixels(f.radial_depth) &&
                           pixels(f.peak_height) && pixels(f.peak_status) &&
                           (!outputs.enable_radial_depth || !f.radial_depth[0].empty())),
            "after a successful decode every per-echo output holds the mode's pixel count");
    require(path.run(raw) == first && same_outputs(f, path.frame), "the same bytes give the same result twice");
    return 0;
}

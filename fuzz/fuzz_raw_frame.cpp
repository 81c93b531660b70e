// The raw frame path as a camera runs it: size check, compaction, reordering, decoding and, in a
// dual-depth mode, the merge, over arbitrary bytes in every mode, echo count and output set.
//
// Input: a flags byte (bit 0 dual-depth, bits 1-2 echo count, bits 3-5 frame size kind), the
// output set byte, three floats of dual-depth parameters, a 16-bit size offset, then the payload,
// repeated to fill the frame.
#include <cerrno>
#include <memory>

#include "fuzz_input.hpp"
#include "processing/dual_depth_selection.hpp"
#include "processing/raw_channel_layout.hpp"
#include "processing/raw_data_processor.hpp"
#include "processing/raw_frame_decoder.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;

namespace {

constexpr std::uint32_t pixels = 576;

// What the camera holds for the frame path between start and stop.
struct frame_path {
    bool dual;
    std::uint8_t echoes;
    camera_output_configuration outputs;
    frame_buffer frame;
    line_swap_table swap_table;
    std::vector<std::uint8_t> swap_buffer;
    std::unique_ptr<raw_data_processor> processor;
    std::unique_ptr<dual_depth_selection> merger;

    frame_path(bool dual, std::uint8_t echoes, camera_output_configuration requested,
               const dual_depth_params& params)
        : dual(dual), echoes(echoes), outputs(requested), swap_table(make_line_swap_table(dual)) {
        const std::uint32_t blocks = dual ? 24 : 12;
        const std::uint32_t points = blocks * image_lines_per_block;
        if (dual)
            outputs.enable_radial_depth = true;
        frame = frame_buffer(outputs, echoes, points);
        raw_frame_geometry geometry;
        geometry.block_count = static_cast<std::uint8_t>(blocks);
        geometry.echo_count = echoes;
        build_processor(processor, geometry, outputs, frame);
        if (dual)
            merger = std::make_unique<dual_depth_selection>(pixels, params);
    }

    int run(const std::vector<std::uint8_t>& raw) {
        if (merger)
            merger->prepare_frame(frame);
        frame.raw_image = raw;
        const raw_frame_context context{frame, dual, swap_table, swap_buffer, *processor};
        int code = process_raw_data(context);
        if (code == 0 && merger)
            code = merger->merge(frame);
        return code;
    }
};

std::size_t frame_size(bool dual, unsigned kind, std::uint16_t offset, std::size_t payload) {
    const std::size_t packed = dual ? 790272 : 395136;
    const std::size_t padded = packed / raw_line_size * padded_line_size;
    switch (kind) {
    case 0: case 1: case 2: return packed;
    case 3: case 4: return padded;
    case 5: return payload;
    case 6: return packed + static_cast<std::int16_t>(offset);
    default: return padded + static_cast<std::int16_t>(offset);
    }
}

void check_sizes(const frame_path& path) {
    const auto per_echo_ok = [&](const auto& outputs, bool enabled) {
        if (!enabled && !path.dual)
            return true;
        for (std::size_t e = 0; e < path.echoes; ++e)
            if (outputs[e].size() != pixels)
                return false;
        return true;
    };
    const frame_buffer& f = path.frame;
    const camera_output_configuration& o = path.outputs;
    require(per_echo_ok(f.point_cloud, o.enable_point_cloud) && per_echo_ok(f.radial_depth, o.enable_radial_depth) &&
                per_echo_ok(f.cartesian_depth, o.enable_cartesian_depth) &&
                per_echo_ok(f.peak_height, o.enable_peak_height) && per_echo_ok(f.peak_status, o.enable_peak_status),
            "a decoded frame has the mode's pixel count in every per-echo output");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in(data, size);
    const auto flags = in.take<std::uint8_t>();
    const bool dual = flags & 1;
    const auto echoes = static_cast<std::uint8_t>(1 + ((flags >> 1) & 3) % 3);
    const camera_output_configuration outputs = outputs_from(in.take<std::uint8_t>());
    dual_depth_params params;
    params.select_near = in.take<float>();
    params.select_far = in.take<float>();
    params.merge_window = in.take<float>();
    const auto offset = in.take<std::uint16_t>();

    std::vector<std::uint8_t> raw(frame_size(dual, (flags >> 3) & 7, offset, in.rest_size()));
    for (std::size_t i = 0; i < raw.size() && in.rest_size() > 0; ++i)
        raw[i] = in.rest()[i % in.rest_size()];

    // The same bytes twice through one path: nothing a frame leaves behind changes the next.
    frame_path path(dual, echoes, outputs, params);
    const int first = path.run(raw);
    require(first == 0 || first == -EINVAL || first == -1, "a refused frame reports a known code");
    if (first != 0)
        return 0;
    check_sizes(path);
    const frame_buffer decoded = path.frame;
    require(path.run(raw) == 0 && same_outputs(decoded, path.frame), "decoding the same bytes twice gives the same outputs");
    return 0;
}

// What a camera holds for its raw frame path between start and stop: the decoding plan, the line
// reorder and, for a merged dual-depth mode, the merge. The decoder's tests, the fuzz target and
// the benchmark drive frames through it as a camera would.
#pragma once

#include <memory>
#include <vector>

#include <vorlake/tessaro/line_swap_table.hpp>

#include "processing/dual_depth_selection.hpp"
#include "processing/raw_data_processor.hpp"
#include "processing/raw_frame_decoder.hpp"

namespace vorlake::tessaro::test_support {

struct frame_path {
    bool dual;
    frame_buffer frame;
    line_swap_table table;
    std::vector<std::uint8_t> swap_buffer;
    std::unique_ptr<raw_data_processor> plan;
    std::unique_ptr<dual_depth_selection> merger;

    // A dual-depth frame is merged only when merge names the parameters.
    frame_path(const camera_output_configuration& outputs, bool dual, std::uint8_t echoes,
               const dual_depth_params* merge = nullptr)
        : dual(dual), frame(outputs, echoes, dual ? 1152 : 576), table(make_line_swap_table(dual)) {
        build_processor(plan, {672, static_cast<std::uint8_t>(dual ? 24 : 12), 48, 1, echoes}, outputs, frame);
        if (dual && merge)
            merger = std::make_unique<dual_depth_selection>(576, *merge, outputs);
    }

    int decode() { return process_raw_data({frame, dual, table, swap_buffer, *plan}); }

    // One frame, received into the buffer the path already holds.
    int run(const std::vector<std::uint8_t>& raw) {
        if (merger)
            merger->prepare_frame(frame);
        frame.raw_image.assign(raw.begin(), raw.end());
        const int code = decode();
        return code == 0 && merger ? merger->merge(frame) : code;
    }
};

}  // namespace vorlake::tessaro::test_support

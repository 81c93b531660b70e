#include "processing/dual_depth_selection.hpp"

#include <algorithm>

#include "processing/dual_depth_select_nearfar.hpp"

namespace vorlake::tessaro {

dual_depth_selection::dual_depth_selection(std::uint32_t pixel_count, const dual_depth_params& params,
                                           const camera_output_configuration& outputs)
    : impl(std::make_unique<dual_depth_select_nearfar>(pixel_count, params, outputs)), pixel_count(pixel_count) {}

void dual_depth_selection::prepare_frame(frame_buffer& frame) {
    const std::size_t both = 2 * std::size_t{pixel_count};
    // Only the echo slots the frame actually has are grown; the merge refuses the frame if any
    // is missing. After the first frame the growth stays within the capacity the merge keeps
    // when it shrinks the vectors again.
    auto grow = [&](auto& per_echo) {
        const std::size_t echoes = std::min<std::size_t>(frame.max_depth_index, per_echo.size());
        for (std::size_t e = 0; e < echoes; ++e)
            per_echo[e].resize(both);
    };
    grow(frame.point_cloud);
    grow(frame.cartesian_depth);
    grow(frame.radial_depth);
    grow(frame.peak_height);
    grow(frame.peak_status);
}

int dual_depth_selection::merge(frame_buffer& frame) {
    return impl->process(frame);
}

}  // namespace vorlake::tessaro

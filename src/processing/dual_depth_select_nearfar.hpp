// The near/far strategy: per pixel, keeps the echoes of the sub-frame whose range setting suits
// their distance and drops near-duplicates seen by both sub-frames.
#pragma once

#include <array>
#include <cstdint>

#include <vorlake/tessaro/types.hpp>

#include "processing/dual_depth_selection.hpp"

namespace vorlake::tessaro {

class dual_depth_select_nearfar final : public dual_depth_selection_impl {
public:
    static constexpr std::uint32_t max_echoes = 3;

    // Outputs that `outputs` leaves off are never decoded, so they hold zeros in both sub-frames
    // and the merge leaves their values alone (it still resizes them).
    dual_depth_select_nearfar(std::uint32_t pixel_count, const dual_depth_params& params,
                              const camera_output_configuration& outputs);

    // 0, or -EINVAL with a message when the frame does not hold both sub-frames.
    int process(frame_buffer& frame) override;

    dual_depth_params params;
    std::uint32_t pixel_count = 0;
    std::uint32_t echo_count = 0;

private:
    bool merge_point_cloud;
    bool merge_cartesian_depth;
    bool merge_peak_height;
    bool merge_peak_status;

    bool check_sizes(const frame_buffer& frame) const;
    template <std::uint32_t E>
    void merge_pixels(frame_buffer& frame) const;
};

}  // namespace vorlake::tessaro

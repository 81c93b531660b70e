// Reduces the near and far sub-frames of a dual-depth frame to one result set per pixel.
#pragma once

#include <cstdint>
#include <memory>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {

class dual_depth_selection_impl {
public:
    virtual ~dual_depth_selection_impl() = default;
    virtual int process(frame_buffer& frame) = 0;
};

class dual_depth_selection {
public:
    static constexpr camera_output_configuration every_output{true, true, true, true, true, true, true, true};


    // The outputs the frames are decoded with; those left off are not merged (they are still
    // resized). Without them every output is merged.
    dual_depth_selection(std::uint32_t pixel_count, const dual_depth_params& params,
                         const camera_output_configuration& outputs = every_output);

    // Grows the per-echo outputs to both sub-frames before a frame is decoded.
    void prepare_frame(frame_buffer& frame);
    // Chooses the echoes per pixel and shrinks the per-echo outputs back; 0 or -EINVAL.
    int merge(frame_buffer& frame);

private:
    std::unique_ptr<dual_depth_selection_impl> impl;
    std::uint32_t pixel_count;
};

}  // namespace vorlake::tessaro

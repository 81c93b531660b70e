// The processing plan: one value decoder per channel an enabled output needs, each already
// pointing at the frame-buffer vector it fills, and that vector already sized.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include <vorlake/tessaro/types.hpp>

#include "processing/raw_channel_layout.hpp"
#include "processing/raw_data_values_decoder.hpp"
#include "processing/value_decoders.hpp"
#include "processing/whole_line_pass.hpp"

namespace vorlake::tessaro {

struct raw_frame_geometry {
    std::uint16_t line_size = 672;
    std::uint8_t block_count = 12;
    std::uint16_t image_lines_per_block = 48;
    std::uint16_t ref_lines_per_block = 1;
    std::uint8_t echo_count = 1;
};

// Decoders are held by value and referred to by address from the tables below, so a plan never
// moves or copies once built; it is handed out behind an owning pointer.
struct raw_data_processor {
    std::uint16_t line_size = 0;
    std::uint8_t block_count = 0;
    std::uint16_t image_lines_per_block = 0;
    std::uint16_t ref_lines_per_block = 0;
    std::uint8_t echo_count = 1;

    camera_output_configuration outputs;

    std::unordered_map<std::int32_t, raw_data_values_decoder*> decoder_table;
    raw_channel_layout layout;

    detail::fixed_point_values_decoder noise_decoder;
    std::vector<detail::fixed_point_values_decoder> radial_depth_decoders;
    std::vector<detail::point_decoder> point_decoders;
    std::vector<detail::fixed_point_values_decoder> peak_height_decoders;
    std::vector<detail::peak_status_decoder> peak_status_decoders;
    detail::histogram_decoder histogram_decoder;
    detail::pdc_decoder pdc_decoder;

    std::uint16_t first_line = 0;
    std::uint16_t line_count = 0;

    // Set only when cartesian depth is derived from the decoded points.
    std::vector<std::vector<point3f>>* point_cloud_source = nullptr;
    std::vector<std::vector<float>>* cartesian_depth_target = nullptr;

    // The decoders of decoder_table in the order the line walk visits them (by channel
    // offset), so that the per-frame path walks a flat array and looks nothing up.
    std::vector<const raw_data_values_decoder*> line_decoders;

    raw_data_processor() = default;
    raw_data_processor(const raw_data_processor&) = delete;
    raw_data_processor& operator=(const raw_data_processor&) = delete;
};

// Builds the plan for the image lines of one frame geometry and output configuration, sizing
// every wired output of `frame` (which must outlive the plan). Reports no errors.
void build_processor(std::unique_ptr<raw_data_processor>& out, const raw_frame_geometry& geometry,
                     const camera_output_configuration& configuration, frame_buffer& frame);

// Runs every decoder of the plan over every image line of `buffer` (a frame in pixel order),
// then derives cartesian depth. 0, the first non-zero decoder result, or -EINVAL when the buffer
// or a decoder's channel does not fit the plan's geometry.
int decode_lines(const raw_data_processor& plan, const std::vector<std::uint8_t>& buffer);

// The pieces of decode_lines, for a caller that decodes a frame run by run, straight from where
// the lines lie. plan_fits: whether a buffer of this size holds every line and channel the plan
// reads (always true for a plan without decoders).
bool plan_fits(const raw_data_processor& plan, std::size_t buffer_size);

// One frame's walk, set up once the frame's outputs have their sizes (and kept no longer).
// run: `count` consecutive lines starting at `line` (each line_size bytes) through every decoder,
// as image pixels first_index .. first_index + count - 1; 0 or the first refused call's result.
// finish: what follows the last run (cartesian depth).
class line_walk {
public:
    explicit line_walk(const raw_data_processor& plan);
    int run(const std::uint8_t* line, std::uint32_t first_index, std::uint32_t count);
    void finish() const;

private:
    const raw_data_processor& plan;
    whole_line_pass pass;
    bool whole_lines;
    std::uint32_t pixels;
    bool every_run_whole = true;
};

}  // namespace vorlake::tessaro

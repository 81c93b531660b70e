// Turns the raw image bytes of a frame into its decoded outputs.
#pragma once

#include <cstdint>
#include <vector>

#include <vorlake/tessaro/line_swap_table.hpp>
#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {

struct raw_data_processor;

// What the decoding works on; the camera holds all of it.
struct raw_frame_context {
    frame_buffer& frame;
    bool dual_depth_mode;
    const line_swap_table& swap_table;
    std::vector<std::uint8_t>& swap_buffer;
    const raw_data_processor& processor;
};

// 0, -EINVAL for a frame of unexpected size, -1 for a block count that does not match the swap
// table, or the first refused decoder call.
int process_raw_data(const raw_frame_context& context);

}  // namespace vorlake::tessaro

// How the blocks of a raw frame arrive on the wire, per sensor mode.
#pragma once

#include <cstdint>
#include <vector>

namespace vorlake::tessaro {

struct line_swap_table {
    std::vector<std::uint8_t> order;  // destination block of each received block
    std::uint16_t image_lines_per_block = 48;
    std::uint16_t ref_lines_per_block = 1;
    std::uint64_t line_size = 672;
};

// The table of a single-depth (12 blocks) or a dual-depth (24 blocks) mode.
line_swap_table make_line_swap_table(bool dual_depth_mode);

}  // namespace vorlake::tessaro

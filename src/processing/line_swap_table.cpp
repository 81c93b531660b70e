#include <vorlake/tessaro/line_swap_table.hpp>

namespace vorlake::tessaro {

namespace {

// Destination block of every received block, as the sensor interleaves them on the wire.
constexpr std::uint8_t single_depth_order[12] = {0, 6, 2, 8, 4, 10, 1, 7, 3, 9, 5, 11};
constexpr std::uint8_t dual_depth_order[24] = {0,  12, 6,  18, 2,  14, 8,  20, 4,  16, 10, 22,
                                               1,  13, 7,  19, 3,  15, 9,  21, 5,  17, 11, 23};

}  // namespace

line_swap_table make_line_swap_table(bool dual_depth_mode) {
    line_swap_table table;
    if (dual_depth_mode)
        table.order.assign(std::begin(dual_depth_order), std::end(dual_depth_order));
    else
        table.order.assign(std::begin(single_depth_order), std::end(single_depth_order));
    table.image_lines_per_block = 48;
    table.ref_lines_per_block = 1;
    table.line_size = 672;
    return table;
}

}  // namespace vorlake::tessaro

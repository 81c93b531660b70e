#include "processing/raw_frame_decoder.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "processing/raw_channel_layout.hpp"
#include "messages/message_output.hpp"
#include "processing/raw_data_processor.hpp"

namespace vorlake::tessaro {

namespace {

// Drops the padding of every 704-byte line in place: each 672-byte payload moves forward over
// the padding before it, then the vector shrinks. Its storage stays where it is, so nothing that
// refers to it is left dangling and no frame costs an allocation.
void compact_padded_lines(std::vector<std::uint8_t>& image) {
    const std::size_t lines = image.size() / padded_line_size;
    std::uint8_t* data = image.data();
    for (std::size_t line = 1; line < lines; ++line)
        std::memmove(data + line * raw_line_size, data + line * padded_line_size, raw_line_size);
    image.resize(lines * raw_line_size);
}

// Every copy of the reorder must land inside the frame: the table's geometry has to describe
// exactly n blocks of the frame, and every destination (with the neighbour its half-blocks
// belong to) has to be one of them.
bool swap_table_fits(const line_swap_table& table, std::size_t frame_size, std::size_t n,
                     std::size_t block_size) {
    if (n * block_size != frame_size)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t d = table.order[i];
        if (d >= n || (d % 2 == 0 && d + 1 >= n))
            return false;
    }
    return true;
}

// Copies received block i to block position d: its reference line to block d, its image lines
// to the first halves of blocks d and d + 1 (d even) or the second halves of d - 1 and d (d odd).
struct block_placement {
    const std::uint8_t* source;
    std::uint8_t* target;
    std::size_t block_size;
    std::size_t ref_bytes;
    std::size_t half;

    void place(std::size_t i, std::size_t d) const {
        const std::uint8_t* received = source + block_size * i;
        if (ref_bytes > 0)
            std::memcpy(target + block_size * d, received, ref_bytes);
        std::uint8_t* first = d % 2 == 0 ? target + block_size * d + ref_bytes
                                         : target + block_size * d - half;
        std::memcpy(first, received + ref_bytes, half);
        std::memcpy(first + block_size, received + ref_bytes + half, half);
    }
};

// Whether the plan reads the frame exactly as the swap table lays it out, so that each
// half-block can be decoded where it was received.
bool plan_matches_table(const raw_data_processor& plan, const line_swap_table& table,
                        std::size_t frame_size, std::size_t n) {
    return plan.line_size == table.line_size && plan.image_lines_per_block == table.image_lines_per_block &&
           plan.ref_lines_per_block == table.ref_lines_per_block &&
           plan.first_line == table.ref_lines_per_block && plan.line_count == table.image_lines_per_block &&
           plan.block_count == n && table.image_lines_per_block % 2 == 0 && plan_fits(plan, frame_size);
}

// Decodes every received block where it lies, with no reordered copy: its first half-block
// holds image lines of block d (d even) or d - 1 (d odd), its second half-block the same lines of
// the next block (see block_placement). The blocks are visited in received order, as the copy
// visited them, so that the same refused call is reported first.
int decode_in_received_order(const std::uint8_t* frame, const line_swap_table& table,
                             const raw_data_processor& plan) {
    const std::uint32_t line_size = plan.line_size;
    const std::uint32_t half_lines = table.image_lines_per_block / 2u;
    const std::size_t block_size = std::size_t{line_size} * (table.image_lines_per_block + table.ref_lines_per_block);
    line_walk walk(plan);
    for (std::uint32_t i = 0; i < table.order.size(); ++i) {
        const std::uint32_t d = table.order[i];
        const std::uint32_t first_block = d % 2 == 0 ? d : d - 1;
        const std::uint32_t first_index = first_block * table.image_lines_per_block + (d % 2 == 0 ? 0 : half_lines);
        const std::uint8_t* half = frame + block_size * i + std::size_t{table.ref_lines_per_block} * line_size;
        if (const int r = walk.run(half, first_index, half_lines); r != 0)
            return r;
        const std::uint8_t* next = half + std::size_t{half_lines} * line_size;
        if (const int r = walk.run(next, first_index + table.image_lines_per_block, half_lines); r != 0)
            return r;
    }
    walk.finish();
    return 0;
}

}  // namespace

int process_raw_data(const raw_frame_context& context) {
    std::vector<std::uint8_t>& image = context.frame.raw_image;
    const std::size_t blocks = context.dual_depth_mode ? dual_depth_block_count : single_depth_block_count;
    const std::size_t lines = blocks * (image_lines_per_block + ref_lines_per_block);
    const std::size_t packed_size = lines * raw_line_size;
    const std::size_t padded_size = lines * padded_line_size;

    if (image.size() == padded_size)
        compact_padded_lines(image);
    else if (image.size() != packed_size)
        return -EINVAL;

    const line_swap_table& table = context.swap_table;
    const auto line_size = static_cast<std::uint32_t>(table.line_size);
    const std::uint32_t image_bytes = std::uint32_t{table.image_lines_per_block} * line_size;  // L
    const std::uint32_t ref_bytes = std::uint32_t{table.ref_lines_per_block} * line_size;      // P
    const std::size_t block_size = std::size_t{image_bytes} + ref_bytes;                    // S
    const std::size_t size = image.size();
    const std::uint32_t n = image_bytes == 0 ? 0 : static_cast<std::uint32_t>(size / image_bytes);
    if (n != table.order.size()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Error: channel conflict: " + std::to_string(n) + " vs " +
                   std::to_string(table.order.size()));
        write_message(message_stream::standard_output, message_severity::error,
                      "failed swapping lines");
        return -1;
    }
    if (!swap_table_fits(table, size, n, block_size)) {
        write_message(message_stream::standard_output, message_severity::error,
                      "failed swapping lines");
        return -1;
    }

    // The swap buffer is the camera's own scratch space: when the plan reads the frame as the
    // table lays it out, the frame is decoded where it was received and the buffer is not filled.
    int r = 0;
    if (plan_matches_table(context.processor, table, size, n)) {
        r = decode_in_received_order(image.data(), table, context.processor);
    } else {
        std::vector<std::uint8_t>& swapped = context.swap_buffer;
        swapped.resize(size);
        const block_placement placement{image.data(), swapped.data(), block_size, ref_bytes, image_bytes / 2};
        for (std::uint32_t i = 0; i < n; ++i)
            placement.place(i, table.order[i]);
        r = decode_lines(context.processor, swapped);
    }
    if (r != 0) {
        write_message(message_stream::standard_output, message_severity::error,
                      "failed to decode raw image");
        return r;
    }
    return 0;
}

}  // namespace vorlake::tessaro

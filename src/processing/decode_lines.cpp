#include <algorithm>
#include <cerrno>

#include "processing/raw_data_processor.hpp"

namespace vorlake::tessaro {

namespace {

std::size_t block_size(const raw_data_processor& plan) {
    return std::size_t{plan.line_size} * (std::size_t{plan.image_lines_per_block} + plan.ref_lines_per_block);
}

// The plan was built for a geometry; a buffer or a channel that does not fit it would make the
// decoders read outside the buffer, so such a walk is refused before it starts.
bool plan_fits_buffer(const raw_data_processor& plan, std::size_t buffer_size) {
    const std::size_t lines_per_block =
        std::size_t{plan.image_lines_per_block} + plan.ref_lines_per_block;
    if (std::size_t{plan.first_line} + plan.line_count > lines_per_block)
        return false;
    if (buffer_size < std::size_t{plan.block_count} * block_size(plan))
        return false;
    return std::all_of(plan.line_decoders.begin(), plan.line_decoders.end(), [&](const auto* d) {
        return std::size_t{d->offset} + d->size <= plan.line_size;
    });
}

// Cartesian depth is the z of every decoded point. Only as many echoes and elements as both
// sides hold are copied.
void derive_cartesian_depth(const raw_data_processor& plan) {
    if (!plan.outputs.enable_cartesian_depth || plan.point_cloud_source == nullptr ||
        plan.cartesian_depth_target == nullptr)
        return;
    const auto& points = *plan.point_cloud_source;
    auto& depths = *plan.cartesian_depth_target;
    const std::size_t echoes = std::min(points.size(), depths.size());
    for (std::size_t e = 0; e < echoes; ++e) {
        const std::size_t count = std::min(points[e].size(), depths[e].size());
        const point3f* source = points[e].data();
        float* target = depths[e].data();
        for (std::size_t j = 0; j < count; ++j)
            target[j] = source[j].z;
    }
}

}  // namespace

bool plan_fits(const raw_data_processor& plan, std::size_t buffer_size) {
    return plan.line_decoders.empty() || plan_fits_buffer(plan, buffer_size);
}

line_walk::line_walk(const raw_data_processor& plan)
    : plan(plan),
      whole_lines(!plan.line_decoders.empty() && prepare_whole_line_pass(plan, pass)),
      pixels(std::uint32_t{plan.block_count} * plan.line_count) {}

int line_walk::run(const std::uint8_t* line, std::uint32_t first_index, std::uint32_t count) {
    // The pass was checked against the plan's own pixels only; any other run goes decoder by
    // decoder, which checks every index.
    if (whole_lines && count % whole_line_pass::lines_at_once == 0 && std::uint64_t{first_index} + count <= pixels) {
        pass.decode(line, first_index, count);
        return 0;
    }
    every_run_whole = false;
    // One call per decoder for the whole run: the run (at most one block, 32 KiB) stays in the
    // first-level cache while each decoder takes its column of it.
    for (const raw_data_values_decoder* decoder : plan.line_decoders) {
        const int r = decoder->decode_lines(line + decoder->offset, plan.line_size, count, first_index);
        if (r != 0)
            return r;
    }
    return 0;
}

void line_walk::finish() const {
    if (!whole_lines || !every_run_whole || !pass.derives_cartesian_depth)
        derive_cartesian_depth(plan);
}

int decode_lines(const raw_data_processor& plan, const std::vector<std::uint8_t>& buffer) {
    if (!plan_fits(plan, buffer.size()))
        return -EINVAL;
    line_walk walk(plan);
    if (!plan.line_decoders.empty()) {
        for (std::uint32_t k = 0; k < plan.block_count; ++k) {
            const std::uint8_t* line =
                buffer.data() + k * block_size(plan) + std::size_t{plan.first_line} * plan.line_size;
            if (const int r = walk.run(line, plan.line_count * k, plan.line_count); r != 0)
                return r;
        }
    }
    walk.finish();
    return 0;
}

}  // namespace vorlake::tessaro

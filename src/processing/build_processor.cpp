#include <algorithm>

#include "processing/raw_data_processor.hpp"

namespace vorlake::tessaro {

namespace {

std::uint8_t limit_echo_count(std::uint8_t echo_count) {
    return std::clamp<std::uint8_t>(echo_count, 1, 3);
}

// Points decoder `decoder` at channel `id` and at `output`, sized to `pixels`, and enters it in
// the table (an id already present keeps its first decoder).
template <typename Decoder, typename Output>
void wire(raw_data_processor& plan, std::uint32_t id, Decoder& decoder, Output& output,
          std::size_t pixels) {
    raw_channel* channel = find_channel(plan.layout, id);
    channel->offset = channel_offset(plan.layout, id);
    decoder.offset = channel->offset;
    decoder.size = channel->size;
    if constexpr (std::is_same_v<Decoder, detail::fixed_point_values_decoder>) {
        if (!channel->formats.empty())
            decoder.format = channel->formats.front();
    } else if constexpr (std::is_same_v<Decoder, detail::point_decoder>) {
        decoder.formats = channel->formats;
    }
    output.resize(pixels);
    decoder.output = &output;
    plan.decoder_table.emplace(static_cast<std::int32_t>(id), &decoder);
}

// The per-echo outer vectors of a frame built for fewer echoes than the plan are grown, so
// that every wired decoder has a vector of its own to point at.
template <typename PerEcho>
void ensure_echoes(PerEcho& per_echo, std::size_t echo_count) {
    if (per_echo.size() < echo_count)
        per_echo.resize(echo_count);
}

void order_line_decoders(raw_data_processor& plan) {
    plan.line_decoders.clear();
    plan.line_decoders.reserve(plan.decoder_table.size());
    for (const auto& [id, decoder] : plan.decoder_table)
        plan.line_decoders.push_back(decoder);
    // Visiting the channels in line order reads each line front to back.
    std::sort(plan.line_decoders.begin(), plan.line_decoders.end(),
              [](const raw_data_values_decoder* a, const raw_data_values_decoder* b) {
                  return a->offset < b->offset;
              });
}

}  // namespace

void build_processor(std::unique_ptr<raw_data_processor>& out, const raw_frame_geometry& geometry,
                     const camera_output_configuration& configuration, frame_buffer& frame) {
    auto plan = std::make_unique<raw_data_processor>();
    plan->line_size = geometry.line_size;
    plan->block_count = geometry.block_count;
    plan->image_lines_per_block = geometry.image_lines_per_block;
    plan->ref_lines_per_block = geometry.ref_lines_per_block;
    plan->echo_count = limit_echo_count(geometry.echo_count);

    plan->outputs = configuration;
    plan->layout = make_raw_channel_layout();

    plan->first_line = plan->ref_lines_per_block;
    plan->line_count = plan->image_lines_per_block;
    const std::size_t pixels = std::size_t{plan->block_count} * plan->line_count;
    const std::size_t echoes = plan->echo_count;

    if (plan->outputs.enable_noise_level)
        wire(*plan, 1, plan->noise_decoder, frame.noise_level, pixels);
    if (plan->outputs.enable_histogram)
        wire(*plan, 2, plan->histogram_decoder, frame.histogram, pixels);
    if (plan->outputs.enable_pdc)
        wire(*plan, 3, plan->pdc_decoder, frame.pdc, pixels);
    if (plan->outputs.enable_radial_depth) {
        plan->radial_depth_decoders.resize(echoes);
        ensure_echoes(frame.radial_depth, echoes);
        for (std::size_t k = 0; k < echoes; ++k)
            wire(*plan, 4 + 4 * k, plan->radial_depth_decoders[k], frame.radial_depth[k], pixels);
    }
    if (plan->outputs.enable_point_cloud || plan->outputs.enable_cartesian_depth) {
        plan->point_decoders.resize(echoes);
        ensure_echoes(frame.point_cloud, echoes);
        for (std::size_t k = 0; k < echoes; ++k)
            wire(*plan, 5 + 4 * k, plan->point_decoders[k], frame.point_cloud[k], pixels);
        if (plan->outputs.enable_cartesian_depth) {
            plan->point_cloud_source = &frame.point_cloud;
            plan->cartesian_depth_target = &frame.cartesian_depth;
        }
    }
    if (plan->outputs.enable_peak_height) {
        plan->peak_height_decoders.resize(echoes);
        ensure_echoes(frame.peak_height, echoes);
        for (std::size_t k = 0; k < echoes; ++k)
            wire(*plan, 6 + 4 * k, plan->peak_height_decoders[k], frame.peak_height[k], pixels);
    }
    if (plan->outputs.enable_peak_status) {
        plan->peak_status_decoders.resize(echoes);
        ensure_echoes(frame.peak_status, echoes);
        for (std::size_t k = 0; k < echoes; ++k)
            wire(*plan, 7 + 4 * k, plan->peak_status_decoders[k], frame.peak_status[k], pixels);
    }
    order_line_decoders(*plan);
    out = std::move(plan);
}

}  // namespace vorlake::tessaro

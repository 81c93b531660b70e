#include "camera/camera_impl.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <utility>

#include "messages/message_output.hpp"
#include "pipeline/sensor_mode_control.hpp"
#include "processing/raw_channel_layout.hpp"

namespace vorlake::tessaro {
namespace {

constexpr std::uint32_t lines_per_block = image_lines_per_block + ref_lines_per_block;

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

bool finite(float value) { return std::isfinite(value); }

constexpr unsigned in(camera_status status) { return 1u << static_cast<unsigned>(status); }

// The states in which each operation may run, and the line that refuses it in any other.
struct access_rule {
    camera_operation operation;
    unsigned allowed;
    const char* refusal;
};

constexpr access_rule access_rules[] = {
    {camera_operation::open, in(camera_status::available), "Cannot open camera: camera not available"},
    {camera_operation::close, in(camera_status::idle) | in(camera_status::streaming),
     "Cannot close camera: camera not acquired"},
    {camera_operation::configure_dual_depth, in(camera_status::idle),
     "Cannot configure dual depth: camera not opened or not idle"},
    {camera_operation::configure_echo, in(camera_status::idle),
     "Cannot change number of echo: camera not opened or not idle"},
    {camera_operation::configure_output, in(camera_status::idle),
     "Cannot change synchronization mode: camera not opened or not idle"},
    {camera_operation::start, in(camera_status::idle), "Cannot start streaming: camera not opened or not idle"},
    {camera_operation::stop, in(camera_status::streaming), "Cannot stop streaming: camera not streaming"},
};

}  // namespace

camera_impl::camera_impl(std::string id, std::unique_ptr<camera_pipeline> pipeline)
    : pipeline(std::move(pipeline)) {
    info.id = std::move(id);
    info.supported_modes = make_imx704_mode_map();
    output_config.enable_point_cloud = true;
}

camera_impl::~camera_impl() {
    // Release whatever a caller left open: a camera dropped while streaming must not keep its
    // devices or buffers alive.
    for (auto& slot : slots) {
        stop_slot(slot);
        close_slot(slot);
    }
}

int camera_impl::require(camera_operation operation) const {
    for (const access_rule& rule : access_rules) {
        if (rule.operation != operation)
            continue;
        if (rule.allowed & in(info.status))
            return 0;
        write_message(message_stream::standard_output, message_severity::error, rule.refusal);
        return -EACCES;
    }
    return -EACCES;  // an operation without a rule is allowed nowhere
}

const camera_info& camera_impl::get_camera_info() const { return info; }

const sensor_info& camera_impl::get_sensor_info() const { return *sensor; }

std::shared_ptr<frame_buffer> camera_impl::shared_frame() const { return frame; }

std::shared_ptr<sensor_info> camera_impl::shared_sensor_info() const { return sensor; }

void camera_impl::add_stream(stream_type type, std::unique_ptr<camera_stream> stream) {
    std::size_t index;
    const char* name;
    switch (type) {
    case stream_type::stream_image: index = image_slot; name = "image"; break;
    case stream_type::stream_ebd: index = ebd_slot; name = "ebd"; break;
    default: return;  // the stream is destroyed on the way out
    }
    stream_slot& slot = slots[index];
    // The replaced stream would otherwise be destroyed while it still holds its device.
    stop_slot(slot);
    close_slot(slot);
    slot.stream = std::move(stream);
    slot.name = name;
    slot.type = type;
    slot.opened = false;
    slot.started = false;
}

int camera_impl::open(std::uint32_t mode) {
    if (const int refused = require(camera_operation::open); refused != 0)
        return refused;
    const auto found = info.supported_modes.find(mode);
    if (found == info.supported_modes.end()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot open camera: info not found for selected mode");
        return -EINVAL;
    }
    // What is stored here stays even when a later step fails.
    info.mode = mode;
    info.sync_mode = camera_sync_mode::camera_sync_master_mode;
    info.dual_depth_mode = found->second.dual_depth_mode;
    info.number_of_echo = 1;
    info.dual_depth_params = dual_depth_params{};

    swap_table = make_line_swap_table(info.dual_depth_mode);
    if (pipeline && configure_pipeline() != 0)
        return -EACCES;

    if (int code = select_sensor_mode(mode); code != 0) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot set mode to " + hex(mode) + ": error #" + std::to_string(code));
        return code;
    }

    if (slots[image_slot].stream) {
        if (int code = open_slot(slots[image_slot]); code != 0)
            return code;
    }
    info.status = camera_status::idle;
    *sensor = sensor_info{};
    return 0;
}

int camera_impl::configure_pipeline() {
    pipeline_configuration config;
    config.image_width = raw_line_size;
    config.image_height = block_count() * lines_per_block;
    config.ebd_width = raw_line_size;
    config.ebd_height = block_count();
    config.swap_table = swap_table;
    write_message(message_stream::standard_output, message_severity::info,
                  "Configuring pipeline for camera " + info.id + ":");
    write_message(message_stream::standard_output, message_severity::info,
                  "    image: (width=" + std::to_string(config.image_width) +
                 ",height=" + std::to_string(config.image_height) + ")");
    const int result = pipeline->configure(config);
    if (result != 0)
        write_message(message_stream::standard_error, message_severity::error,
                      "Failed to configure pipeline for camera " + info.id + ": " + std::to_string(result));
    return result;
}

int camera_impl::select_sensor_mode(std::uint32_t mode) {
    if (!pipeline)
        return 0;
    return ::vorlake::tessaro::select_sensor_mode(*pipeline, mode);
}

int camera_impl::close() {
    if (const int refused = require(camera_operation::close); refused != 0)
        return refused;
    if (info.status == camera_status::streaming)
        stop();
    for (auto& slot : slots)
        close_slot(slot);
    info.status = camera_status::available;
    return 0;
}

int camera_impl::configure_camera_dual_depth(const dual_depth_params& params) {
    if (const int refused = require(camera_operation::configure_dual_depth); refused != 0)
        return refused;
    if (!selected_mode().dual_depth_mode) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot configure dual depth: selected mode is not a dual mode");
        return -EACCES;
    }
    if (!finite(params.select_near) || !finite(params.select_far) || !finite(params.merge_window) ||
        params.merge_window < 0.0f) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot configure dual depth: parameters must be finite and merge_window non-negative");
        return -EINVAL;
    }
    if (params.select_near < 0.0f) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot configure dual depth: select_near is negative");
        return -EINVAL;
    }
    if (params.select_far < 0.0f) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot configure dual depth: select_far is negative");
        return -EINVAL;
    }
    if (params.select_near > params.select_far) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot configure dual depth: select_near is larger than select_far");
        return -EINVAL;
    }
    info.dual_depth_params = params;
    return 0;
}

int camera_impl::configure_camera_echo(std::uint32_t number_of_echo) {
    if (const int refused = require(camera_operation::configure_echo); refused != 0)
        return refused;
    const std::uint32_t max_echo = selected_mode().max_echo;
    if (number_of_echo == 0 || number_of_echo > max_echo) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Configured number of echo not supported. Max is " + std::to_string(max_echo));
        return -EINVAL;
    }
    info.number_of_echo = number_of_echo;
    return 0;
}

int camera_impl::configure_camera_output(const camera_output_configuration& config) {
    if (const int refused = require(camera_operation::configure_output); refused != 0)
        return refused;
    output_config = config;
    return 0;
}

int camera_impl::start() {
    if (const int refused = require(camera_operation::start); refused != 0)
        return refused;
    if (!slots[image_slot].stream) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot start camera: missing streams");
        return -EACCES;
    }
    const bool dual = info.dual_depth_mode;
    const std::uint32_t blocks = block_count();
    const std::uint32_t points = blocks * image_lines_per_block;
    // The merge of the two sub-frames chooses by radial depth.
    if (dual)
        output_config.enable_radial_depth = true;

    const auto echoes = static_cast<std::uint8_t>(info.number_of_echo);
    frame = std::make_shared<frame_buffer>(output_config, echoes, points);
    // Reserved now so that no frame of the mode, padded or not, reallocates what a holder may be
    // looking at; prepare_frame grows the per-echo outputs to both sub-frames within it too.
    frame->raw_image.reserve(static_cast<std::size_t>(blocks) * lines_per_block * padded_line_size);
    frame->raw_ebd.reserve(static_cast<std::size_t>(blocks) * raw_line_size);
    if (dual) {
        for (std::size_t echo = 0; echo < echoes; ++echo) {
            frame->point_cloud[echo].reserve(points);
            frame->cartesian_depth[echo].reserve(points);
            frame->radial_depth[echo].reserve(points);
            frame->peak_height[echo].reserve(points);
            frame->peak_status[echo].reserve(points);
        }
    }

    raw_frame_geometry geometry;
    geometry.line_size = raw_line_size;
    geometry.block_count = static_cast<std::uint8_t>(blocks);
    geometry.image_lines_per_block = image_lines_per_block;
    geometry.ref_lines_per_block = ref_lines_per_block;
    geometry.echo_count = echoes;
    build_processor(image_processor, geometry, output_config, *frame);
    timing.reset();

    depth_selection.reset();
    if (dual) {
        const sensor_mode_info& mode = selected_mode();
        depth_selection = std::make_unique<dual_depth_selection>(
            mode.sensor_width * mode.sensor_height, info.dual_depth_params, output_config);
    }

    if (int code = start_slot(slots[image_slot]); code != 0)
        return code;
    if (ebd_in_use()) {
        // A camera that streams images but not their embedded data would be half started.
        if (int code = start_slot(slots[ebd_slot]); code != 0) {
            stop_slot(slots[image_slot]);
            return code;
        }
    }
    info.status = camera_status::streaming;
    return 0;
}

// A stream may replace itself from inside any of its calls. The calls below hold it meanwhile,
// and each mark is set before the call that it records and taken back only while the slot still
// holds that stream, so that add_stream closes or stops what it replaces and the marks always
// describe the stream in the slot.
int camera_impl::open_slot(stream_slot& slot) {
    const std::shared_ptr<camera_stream> stream = slot.stream;
    slot.opened = true;
    if (int code = stream->open(); code != 0) {
        if (slot.stream == stream)
            slot.opened = false;
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot open stream '" + slot.name + "': error #" + std::to_string(code));
        return code;
    }
    return 0;
}

int camera_impl::start_slot(stream_slot& slot) {
    if (!slot.opened) {
        if (int code = open_slot(slot); code != 0)
            return code;
    }
    const std::shared_ptr<camera_stream> stream = slot.stream;
    slot.started = true;
    if (int code = stream->start(); code != 0) {
        if (slot.stream == stream)
            slot.started = false;
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot start stream '" + slot.name + "': error #" + std::to_string(code));
        return code;
    }
    return 0;
}

void camera_impl::stop_slot(stream_slot& slot) {
    const std::shared_ptr<camera_stream> stream = slot.stream;
    if (std::exchange(slot.started, false) && stream)
        stream->stop();
}

void camera_impl::close_slot(stream_slot& slot) {
    const std::shared_ptr<camera_stream> stream = slot.stream;
    if (std::exchange(slot.opened, false) && stream)
        stream->close();
}

int camera_impl::stop() {
    if (const int refused = require(camera_operation::stop); refused != 0)
        return refused;
    for (auto& slot : slots)
        stop_slot(slot);
    // Only the camera's share: a holder of the record keeps it.
    frame.reset();
    info.status = camera_status::idle;
    return 0;
}

bool camera_impl::ebd_in_use() const {
    const stream_slot& slot = slots[ebd_slot];
    return slot.stream && slot.stream->has_source();
}

const sensor_mode_info& camera_impl::selected_mode() const { return info.supported_modes.at(info.mode); }

std::uint32_t camera_impl::block_count() const { return info.dual_depth_mode ? dual_depth_block_count : single_depth_block_count; }

std::shared_ptr<camera> create_camera_offline(const std::string& name) {
    return std::make_shared<camera_impl>(name, nullptr);
}

}  // namespace vorlake::tessaro

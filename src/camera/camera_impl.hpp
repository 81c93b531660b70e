// The one implementation of the camera interface: state machine, configuration and frame path.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera.hpp>
#include <vorlake/tessaro/camera_pipeline.hpp>
#include <vorlake/tessaro/camera_stream.hpp>
#include <vorlake/tessaro/line_swap_table.hpp>
#include <vorlake/tessaro/sensor_modes.hpp>
#include <vorlake/tessaro/types.hpp>

#include "camera/frame_timing.hpp"
#include "processing/dual_depth_selection.hpp"
#include "processing/raw_data_processor.hpp"

namespace vorlake::tessaro {

struct stream_slot {
    // Shared so that every call into the stream holds it: a stream whose code calls back into its
    // camera may replace itself, and is destroyed only once that call has returned.
    std::shared_ptr<camera_stream> stream;
    std::string name;  // "image" or "ebd" once a stream was added
    stream_type type = stream_type::stream_image;
    bool opened = false;  // open succeeded and no close since
    bool started = false;  // start succeeded and no stop since
};

// The operations whose state camera_impl::require checks.
enum class camera_operation : std::uint8_t {
    open,
    close,
    configure_dual_depth,
    configure_echo,
    configure_output,
    start,
    stop,
};

class camera_impl final : public camera {
public:
    // pipeline may be null: the camera then reads only what its streams deliver.
    camera_impl(std::string id, std::unique_ptr<camera_pipeline> pipeline);
    camera_impl(const camera_impl&) = delete;
    camera_impl& operator=(const camera_impl&) = delete;
    ~camera_impl() override;

    const camera_info& get_camera_info() const override;
    int open(std::uint32_t mode) override;
    int close() override;
    int configure_camera_dual_depth(const dual_depth_params& params) override;
    int configure_camera_echo(std::uint32_t number_of_echo) override;
    int configure_camera_output(const camera_output_configuration& config) override;
    int start() override;
    int stop() override;
    frame_buffer& get_frame(std::uint32_t timeout_ms) override;
    const sensor_info& get_sensor_info() const override;
    std::uint64_t get_dropped_frames() const override { return timing.dropped_total(); }

    void add_stream(stream_type type, std::unique_ptr<camera_stream> stream) override;

    std::shared_ptr<frame_buffer> shared_frame() const override;
    std::shared_ptr<sensor_info> shared_sensor_info() const override;

private:
    static constexpr std::size_t image_slot = 0;
    static constexpr std::size_t ebd_slot = 1;

    // 0 when the camera's state allows operation; else prints the refusal and returns -EACCES.
    int require(camera_operation operation) const;
    int configure_pipeline();
    int select_sensor_mode(std::uint32_t mode);
    // Opens the slot's stream unless it is open already, then starts it; prints the failure.
    int start_slot(stream_slot& slot);
    void stop_slot(stream_slot& slot);
    void close_slot(stream_slot& slot);
    // Opens the slot's stream and marks it opened; prints the failure.
    int open_slot(stream_slot& slot);
    // The embedded-data stream takes part only when it has something to read from.
    bool ebd_in_use() const;
    const sensor_mode_info& selected_mode() const;
    std::uint32_t block_count() const;

    // Frame acquisition (frame_acquisition.cpp).
    frame_buffer& report_frame_error(std::int32_t code, const char* text);
    frame_buffer& not_streaming();
    frame_buffer& record_replaced();
    bool decode_ebd(frame_buffer& frame, int read);

    camera_info info;
    // Shared so that a holder keeps seeing live values; open resets it in place.
    std::shared_ptr<::vorlake::tessaro::sensor_info> sensor = std::make_shared<::vorlake::tessaro::sensor_info>();
    std::unique_ptr<camera_pipeline> pipeline;
    // Shared so that a holder keeps a record alive after the camera dropped or replaced it.
    std::shared_ptr<frame_buffer> frame;
    camera_output_configuration output_config;
    std::array<stream_slot, 2> slots;
    line_swap_table swap_table;
    std::unique_ptr<raw_data_processor> image_processor;
    std::unique_ptr<dual_depth_selection> depth_selection;
    std::vector<std::uint8_t> swap_buffer;
    frame_timing timing;
};

}  // namespace vorlake::tessaro

// The camera interface through which a caller drives one sensor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <vorlake/tessaro/camera_stream.hpp>
#include <vorlake/tessaro/sensor_modes.hpp>
#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {

class camera {
public:
    virtual ~camera() = default;

    virtual const camera_info& get_camera_info() const = 0;
    virtual int open(std::uint32_t mode) = 0;
    virtual int close() = 0;
    virtual int configure_camera_dual_depth(const dual_depth_params& params) = 0;
    virtual int configure_camera_echo(std::uint32_t number_of_echo) = 0;
    virtual int configure_camera_output(const camera_output_configuration& config) = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual frame_buffer& get_frame(std::uint32_t timeout_ms) = 0;
    virtual const sensor_info& get_sensor_info() const = 0;
    // Frames lost since the last start (README, "Frame timing").
    virtual std::uint64_t get_dropped_frames() const = 0;

    // Installs the image or embedded-data source, destroying the one it replaces.
    virtual void add_stream(stream_type type, std::unique_ptr<camera_stream> stream) = 0;

    // Shares of the records get_frame and get_sensor_info refer to, for holders (such as a
    // Python object) that must keep a record alive after the camera replaced or dropped it.
    virtual std::shared_ptr<frame_buffer> shared_frame() const = 0;
    virtual std::shared_ptr<sensor_info> shared_sensor_info() const = 0;
};

// A camera fed by streams the caller adds; it has no device pipeline.
std::shared_ptr<camera> create_camera_offline(const std::string& name);

}  // namespace vorlake::tessaro

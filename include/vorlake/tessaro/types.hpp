// The value records that cross the library's public surface.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vorlake::tessaro {

template <typename T>
struct basic_vector3 {
    T x{};
    T y{};
    T z{};

    friend bool operator==(const basic_vector3&, const basic_vector3&) = default;
};

// Per-peak status code exactly as the sensor delivers it. A distinct 8-bit type rather than
// uint8_t, so that a vector of codes is never mistaken for a vector of raw bytes.
enum class peak_status : std::uint8_t {};

enum class camera_sync_mode : std::uint32_t {
    camera_sync_undefined = 0,
    camera_sync_master_mode = 1,
    camera_sync_slave_mode = 2,
};

// Signed, as Python sees it: any int names a stream type, and add_stream ignores the unknown ones.
enum class stream_type : std::int32_t {
    stream_image = 0,
    stream_ebd = 1,
};

enum class camera_status : std::uint32_t {
    available = 0,
    idle = 1,
    streaming = 2,
};

struct laser_status_flags {
    bool light_emitted = false;
    bool read_back = false;
    bool lvds_connection = false;
    bool bank_check = false;
};

struct sensor_info {
    float temperature = 0.0f;
    std::uint32_t depth_num = 0;
    std::uint32_t peak_order_selection = 0;
    laser_status_flags laser_status;
};

struct camera_output_configuration {
    bool enable_point_cloud = false;
    bool enable_cartesian_depth = false;
    bool enable_radial_depth = false;
    bool enable_noise_level = false;
    bool enable_peak_height = false;
    bool enable_peak_status = false;
    bool enable_histogram = false;
    bool enable_pdc = false;
};

struct dual_depth_params {
    float select_near = 200.0f;
    float select_far = 2000.0f;
    float merge_window = 50.0f;
};

inline constexpr std::size_t histogram_bins = 144;
inline constexpr std::size_t pdc_channels = 4;

using point3f = basic_vector3<float>;
using histogram_bins_t = std::array<std::uint32_t, histogram_bins>;
using pdc_counts_t = std::array<std::uint32_t, pdc_channels>;

// One processed frame. Per-echo outputs are indexed [echo][pixel], the others [pixel].
struct frame_buffer {
    std::int32_t error = 0;
    std::uint32_t frame_id = 0;
    std::uint32_t timestamp = 0;
    std::uint8_t max_depth_index = 0;
    std::vector<std::vector<point3f>> point_cloud;
    std::vector<std::vector<float>> cartesian_depth;
    std::vector<std::vector<float>> radial_depth;
    std::vector<std::vector<float>> peak_height;
    std::vector<std::vector<::vorlake::tessaro::peak_status>> peak_status;
    std::vector<float> noise_level;
    std::vector<histogram_bins_t> histogram;
    std::vector<pdc_counts_t> pdc;
    std::vector<std::uint8_t> raw_image;
    std::vector<std::uint8_t> raw_ebd;

    // When the frame was taken and what was lost before it (README, "Frame timing"). A value
    // whose flag is false is unknown and reads 0.
    bool has_capture_time = false;
    std::uint64_t capture_time_ns = 0;  // CLOCK_MONOTONIC, from the stream
    bool has_sequence = false;
    std::uint32_t sequence = 0;  // the image stream's frame number
    bool has_sensor_time = false;  // the frame's embedded data was decoded
    std::uint64_t frame_index = 0;  // the sensor's frame counter, unwrapped
    std::uint64_t sensor_timestamp = 0;  // the sensor's time counter, unwrapped and scaled like timestamp
    std::uint32_t dropped_frames = 0;  // frames lost between the previous frame and this one

    frame_buffer() = default;
    // Sized for one camera configuration: every enabled output gets point_count zeroed elements.
    frame_buffer(const camera_output_configuration& config, std::uint8_t number_of_echo,
                 std::uint32_t point_count);
    // An empty frame that only reports an error code.
    explicit frame_buffer(std::int32_t error_code);
};

}  // namespace vorlake::tessaro

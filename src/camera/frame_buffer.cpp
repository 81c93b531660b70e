#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {

frame_buffer::frame_buffer(const camera_output_configuration& config, std::uint8_t number_of_echo,
                           std::uint32_t point_count)
    : max_depth_index(number_of_echo),
      point_cloud(number_of_echo),
      cartesian_depth(number_of_echo),
      radial_depth(number_of_echo),
      peak_height(number_of_echo),
      peak_status(number_of_echo) {
    for (std::size_t echo = 0; echo < number_of_echo; ++echo) {
        // Cartesian depth is taken from the points, so they are needed for either output.
        if (config.enable_point_cloud || config.enable_cartesian_depth)
            point_cloud[echo].resize(point_count);
        if (config.enable_cartesian_depth)
            cartesian_depth[echo].resize(point_count);
        if (config.enable_radial_depth)
            radial_depth[echo].resize(point_count);
        if (config.enable_peak_height)
            peak_height[echo].resize(point_count);
        if (config.enable_peak_status)
            peak_status[echo].resize(point_count);
    }
    if (config.enable_histogram)
        histogram.resize(point_count);
    if (config.enable_noise_level)
        noise_level.resize(point_count);
    if (config.enable_pdc)
        pdc.resize(point_count);
}

frame_buffer::frame_buffer(std::int32_t error_code) : error(error_code) {}

}  // namespace vorlake::tessaro

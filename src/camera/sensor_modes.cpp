#include <vorlake/tessaro/sensor_modes.hpp>

namespace vorlake::tessaro {

std::unordered_map<std::uint32_t, sensor_mode_info> make_imx704_mode_map() {
    std::unordered_map<std::uint32_t, sensor_mode_info> modes;
    for (const auto& [id, info] : imx704_sensor_modes)
        modes.emplace(id, info);
    return modes;
}

}  // namespace vorlake::tessaro

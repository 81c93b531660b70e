// The IMX704 sensor modes and the per-camera information record.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro {

struct sensor_mode_info {
    std::uint32_t sensor_width = 0;
    std::uint32_t sensor_height = 0;
    std::uint32_t raw_size_image = 0;
    std::uint32_t raw_size_ebd = 0;
    std::uint32_t max_echo = 0;
    bool dual_depth_mode = false;
};

// Mode id and geometry of every mode the sensor supports, in the order cameras list them.
inline constexpr std::array<std::pair<std::uint32_t, sensor_mode_info>, 6> imx704_sensor_modes{{
    {0x301C, {24, 24, 790272, 16128, 3, true}},
    {0x311C, {24, 24, 395136, 8064, 3, false}},
    {0x321C, {24, 24, 395136, 8064, 3, false}},
    {0x201C, {24, 24, 790272, 16128, 3, true}},
    {0x211C, {24, 24, 395136, 8064, 3, false}},
    {0x221C, {24, 24, 395136, 8064, 3, false}},
}};

struct camera_info {
    std::string id;
    std::string model = "IMX704";
    camera_status status = camera_status::available;
    camera_sync_mode sync_mode = camera_sync_mode::camera_sync_undefined;
    std::uint32_t mode = 0;
    bool dual_depth_mode = false;
    std::uint32_t number_of_echo = 1;
    std::unordered_map<std::uint32_t, sensor_mode_info> supported_modes;
    ::vorlake::tessaro::dual_depth_params dual_depth_params;
};

// The mode map every camera starts with: the six table rows, inserted in table order.
std::unordered_map<std::uint32_t, sensor_mode_info> make_imx704_mode_map();

}  // namespace vorlake::tessaro

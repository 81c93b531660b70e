// Selects the sensor's operating mode through the driver's mode menu control.
#pragma once

#include <cstdint>

#include <vorlake/tessaro/camera_pipeline.hpp>

namespace vorlake::tessaro {

// 0, or a negative code: -EINVAL for an unknown mode, -ENODEV without a device node, -EACCES
// when the node cannot be opened, -1 when the driver rejects the control.
int select_sensor_mode(camera_pipeline& pipeline, std::uint32_t mode);

}  // namespace vorlake::tessaro

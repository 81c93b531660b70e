// Finding Jetson capture pipelines among the system's media devices.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <linux/media.h>

#include "pipeline/jetson_camera_pipeline.hpp"

namespace vorlake::tessaro {

// The entry names of "/sys/bus/media/devices/" in directory order, "." and ".." left out;
// empty (with a line on the error stream) when the directory cannot be read.
std::vector<std::string> list_media_devices();

// The pipeline of a media device whose topology holds an nvcsi receiver, or null when the
// device cannot be read or is not a Jetson capture pipeline.
std::unique_ptr<jetson_camera_pipeline> make_camera_pipeline(const std::string& device_path,
                                                             const std::string& keyword);

// The id of a camera on a media device that carries several sensors: the media device name,
// "/IMX704@" and the sensor entity's bus address (the last word of its name, "9-001a" of
// "vorlake-csi2 9-001a"), every character outside letters, digits and "._:-" written as "_".
// It depends on nothing but the sensor itself, so siblings come and go without changing it.
std::string sensor_camera_id(const std::string& media_name, const std::string& sensor_entity);

// True when every keyword is part of the name of at least one entity.
bool has_entities(const std::vector<media_v2_entity>& entities,
                  const std::vector<std::string>& keywords);

}  // namespace vorlake::tessaro

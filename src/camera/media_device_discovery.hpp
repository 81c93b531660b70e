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

// True when every keyword is part of the name of at least one entity.
bool has_entities(const std::vector<media_v2_entity>& entities,
                  const std::vector<std::string>& keywords);

}  // namespace vorlake::tessaro

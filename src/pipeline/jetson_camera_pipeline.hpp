// The media pipeline of one camera on an NVIDIA Jetson board: sensor sub-device, nvcsi CSI-2
// receiver and vi-output video node.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera_pipeline.hpp>

namespace vorlake::tessaro {

// A sensor entity of the media device, and whether its data links run through an nvcsi entity
// to a vi-output.
struct sensor_entity {
    std::string name;
    bool complete = false;
};

class jetson_camera_pipeline : public camera_pipeline {
public:
    // Discovers the entities whose names hold the keyword; valid() tells whether the camera
    // entity was found. The camera is the named sensor's, or without a name the one discovery
    // chooses among the device's sensors. Link reset spares the chains of the other sensors.
    jetson_camera_pipeline(const std::string& media_device_path, const std::string& keyword,
                           const std::string& sensor = {});

    int get_stream_device_nodes(std::string& image_node, std::string& ebd_node) override;
    int get_sensor_device_node(std::string& node) override;
    int configure(const pipeline_configuration& config) override;

    // What discovery found, for tests and diagnostics.
    const std::string& camera_entity() const { return camera_entity_name; }
    const std::string& csi2_entity() const { return csi2_entity_name; }
    const std::string& image_entity() const { return image_entity_name; }
    bool in_safe_mode() const { return safe_mode; }
    // Every sensor of the media device, by entity id.
    const std::vector<sensor_entity>& device_sensors() const { return sensors; }

private:
    int discover_entities(const std::string& keyword, const std::string& sensor);
    // The video node's line stride must match the sensor's padded line length.
    int set_preferred_stride(const std::string& node, std::int32_t stride);

    std::string csi2_entity_name;
    bool safe_mode = false;
    std::string image_entity_name;
    link_ref image_link;
    link_ref sensor_link;
    std::vector<sensor_entity> sensors;
};

}  // namespace vorlake::tessaro

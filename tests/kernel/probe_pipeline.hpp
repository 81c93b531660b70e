// The generic media-controller layer on its own: vivid is no Jetson pipeline, so the tests use
// the base class's operations through a pipeline that configures nothing.
#pragma once

#include <cerrno>
#include <string>

#include <vorlake/tessaro/camera_pipeline.hpp>

namespace vorlake::tessaro::kernel_test {

class probe_pipeline : public camera_pipeline {
public:
    using camera_pipeline::camera_pipeline;

    int get_stream_device_nodes(std::string&, std::string&) override { return -ENODEV; }
    int get_sensor_device_node(std::string&) override { return -ENODEV; }
    int configure(const pipeline_configuration&) override { return -ENODEV; }

    int descriptor() const { return media_fd; }
    const auto& entity_table() const { return entities; }
};

}  // namespace vorlake::tessaro::kernel_test

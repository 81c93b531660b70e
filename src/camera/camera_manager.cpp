#include <vorlake/tessaro/camera_manager.hpp>

#include <linux/videodev2.h>

#include <algorithm>
#include <utility>

#include "camera/camera_impl.hpp"
#include "camera/media_device_discovery.hpp"
#include "capture/v4l2_stream.hpp"
#include "messages/message_output.hpp"

namespace vorlake::tessaro {

namespace {

constexpr char camera_keyword[] = "vorlake-csi2";
constexpr char camera_id_suffix[] = "/IMX704";

void say(message_severity severity, const std::string& line) {
    write_message(message_stream::standard_output, severity, line);
}

// Announces the camera and equips it with its pipeline and streams.
camera_entry make_camera(const std::string& path, const std::string& id, const std::string& alias,
                         std::unique_ptr<jetson_camera_pipeline> pipeline) {
    say(message_severity::info, path + ": IMX704 detected");
    std::string image_node;
    std::string ebd_node;
    // On failure the nodes stay empty and the streams report it when opened.
    pipeline->get_stream_device_nodes(image_node, ebd_node);
    say(message_severity::info,
        id + ": image path=" + image_node + ", embedded data path=" + ebd_node);
    if (!alias.empty())
        say(message_severity::info,
            id + ": sensor '" + pipeline->camera_entity() + "', also " + alias);

    auto camera = std::make_shared<camera_impl>(id, std::move(pipeline));
    camera->add_stream(stream_type::stream_image, std::make_unique<v4l2_stream>(
                                         V4L2_BUF_TYPE_VIDEO_CAPTURE, image_node, "Image data"));
    camera->add_stream(stream_type::stream_ebd, std::make_unique<v4l2_stream>(
                                       V4L2_BUF_TYPE_META_CAPTURE, ebd_node, "Embedded data"));
    return camera_entry{id, std::move(camera), alias};
}

}  // namespace

camera_manager& camera_manager::instance() {
    static camera_manager manager;
    return manager;
}

int camera_manager::init() {
    const std::vector<std::string> names = list_media_devices();
    cameras.clear();
    for (const std::string& name : names) {
        const std::string path = "/dev/" + name;
        std::unique_ptr<jetson_camera_pipeline> pipeline =
            make_camera_pipeline(path, camera_keyword);
        if (pipeline == nullptr || !pipeline->valid())
            continue;
        // The camera discovery chooses keeps the id it has always had; with several sensors it
        // answers to its own sensor's id too, and each other sensor is a camera of its own.
        const std::vector<sensor_entity> sensors = pipeline->device_sensors();
        const std::string chosen = pipeline->camera_entity();
        const std::string alias = sensors.size() > 1 ? sensor_camera_id(name, chosen) : "";
        cameras.push_back(make_camera(path, name + camera_id_suffix, alias, std::move(pipeline)));
        if (alias.empty())
            continue;
        for (const sensor_entity& sensor : sensors) {
            if (sensor.name == chosen)
                continue;
            const std::string id = sensor_camera_id(name, sensor.name);
            const std::string skipped = path + ": IMX704 sensor '" + sensor.name + "' skipped: ";
            if (!sensor.complete) {
                say(message_severity::error,
                    skipped + "its data links do not run through an nvcsi entity to a vi-output");
                continue;
            }
            if (std::any_of(cameras.begin(), cameras.end(),
                            [&](const camera_entry& e) { return e.id == id || e.alias == id; })) {
                say(message_severity::error, skipped + "another sensor has the id " + id);
                continue;
            }
            auto own = std::make_unique<jetson_camera_pipeline>(path, camera_keyword, sensor.name);
            if (own->valid() && own->camera_entity() == sensor.name)
                cameras.push_back(make_camera(path, id, "", std::move(own)));
        }
    }
    return 0;
}

std::vector<camera_info> camera_manager::get_camera_list() const {
    std::vector<camera_info> list;
    list.reserve(cameras.size());
    for (const camera_entry& entry : cameras)
        list.push_back(entry.camera->get_camera_info());
    return list;
}

std::shared_ptr<camera> camera_manager::get_camera(const std::string& id) const {
    for (const camera_entry& entry : cameras) {
        if (entry.id == id || (!entry.alias.empty() && entry.alias == id))
            return entry.camera;
    }
    write_message(message_stream::standard_output, message_severity::error,
                  "Camera '" + id + "' not found");
    return nullptr;
}

}  // namespace vorlake::tessaro

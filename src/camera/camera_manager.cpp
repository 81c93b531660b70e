#include <vorlake/tessaro/camera_manager.hpp>

#include <linux/videodev2.h>

#include <utility>

#include "camera/camera_impl.hpp"
#include "camera/media_device_discovery.hpp"
#include "capture/v4l2_stream.hpp"
#include "messages/message_output.hpp"

namespace vorlake::tessaro {

namespace {

constexpr char camera_keyword[] = "vorlake-csi2";
constexpr char camera_id_suffix[] = "/IMX704";

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
        std::unique_ptr<jetson_camera_pipeline> pipeline = make_camera_pipeline(path, camera_keyword);
        if (pipeline == nullptr || !pipeline->valid())
            continue;
        write_message(message_stream::standard_output, message_severity::info,
                      path + ": IMX704 detected");

        const std::string id = name + camera_id_suffix;
        std::string image_node;
        std::string ebd_node;
        // On failure the nodes stay empty and the streams report it when opened.
        pipeline->get_stream_device_nodes(image_node, ebd_node);
        write_message(message_stream::standard_output, message_severity::info,
                      id + ": image path=" + image_node + ", embedded data path=" + ebd_node);

        auto camera = std::make_shared<camera_impl>(id, std::move(pipeline));
        camera->add_stream(stream_type::stream_image, std::make_unique<v4l2_stream>(
                                             V4L2_BUF_TYPE_VIDEO_CAPTURE, image_node, "Image data"));
        camera->add_stream(stream_type::stream_ebd, std::make_unique<v4l2_stream>(
                                           V4L2_BUF_TYPE_META_CAPTURE, ebd_node, "Embedded data"));
        cameras.push_back(camera_entry{id, std::move(camera)});
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
        if (entry.id == id)
            return entry.camera;
    }
    write_message(message_stream::standard_output, message_severity::error,
                  "Camera '" + id + "' not found");
    return nullptr;
}

}  // namespace vorlake::tessaro

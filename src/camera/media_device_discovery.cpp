#include "camera/media_device_discovery.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <vorlake/tessaro/unique_fd.hpp>

#include "capture/kernel_calls.hpp"
#include "pipeline/topology_limits.hpp"
#include "messages/message_output.hpp"

namespace vorlake::tessaro {

namespace {

constexpr char media_devices_directory[] = "/sys/bus/media/devices/";

std::string_view entity_name(const media_v2_entity& entity) {
    return std::string_view(entity.name, ::strnlen(entity.name, sizeof entity.name));
}

// The entity records of a media device (interfaces, pads and links are not needed here).
bool read_entities(const unique_fd& device, std::vector<media_v2_entity>& entities) {
    media_v2_topology topology{};
    if (kernel().ioctl(device.get(), MEDIA_IOC_G_TOPOLOGY, &topology) < 0)
        return false;
    if (!topology_counts_fit(topology))
        return false;
    entities.assign(topology.num_entities, media_v2_entity{});
    topology.ptr_entities = entities.empty() ? 0 : reinterpret_cast<std::uintptr_t>(entities.data());
    if (kernel().ioctl(device.get(), MEDIA_IOC_G_TOPOLOGY, &topology) < 0)
        return false;
    // Only the records the kernel filled in count.
    entities.resize(std::min<std::size_t>(entities.size(), topology.num_entities));
    return true;
}

// Ids travel through shells, paths and URLs unquoted.
bool kept_in_id(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("._:-").find(c) != std::string_view::npos;
}

}  // namespace

std::vector<std::string> list_media_devices() {
    std::vector<std::string> entries;
    if (kernel().list_directory(media_devices_directory, entries) < 0) {
        write_message(message_stream::standard_error, message_severity::error,
                      "Could not list media devices");
        return {};
    }
    std::vector<std::string> names;
    for (std::string& entry : entries) {
        if (entry != "." && entry != "..")
            names.push_back(std::move(entry));
    }
    return names;
}

std::unique_ptr<jetson_camera_pipeline> make_camera_pipeline(const std::string& device_path,
                                                             const std::string& keyword) {
    std::vector<media_v2_entity> entities;
    {
        // Closed before the pipeline opens the device again.
        const unique_fd device = open_device(device_path, O_RDONLY);
        if (!device || !read_entities(device, entities))
            return nullptr;
    }
    if (!has_entities(entities, {"nvcsi"}))
        return nullptr;
    return std::make_unique<jetson_camera_pipeline>(device_path, keyword);
}

std::string sensor_camera_id(const std::string& media_name, const std::string& sensor_entity) {
    const std::string trimmed = sensor_entity.substr(0, sensor_entity.find_last_not_of(' ') + 1);
    const std::size_t space = trimmed.find_last_of(' ');
    std::string address = trimmed.substr(space == std::string::npos ? 0 : space + 1);
    for (char& c : address) {
        if (!kept_in_id(c))
            c = '_';
    }
    return media_name + "/IMX704@" + address;
}

bool has_entities(const std::vector<media_v2_entity>& entities,
                  const std::vector<std::string>& keywords) {
    return std::all_of(keywords.begin(), keywords.end(), [&](const std::string& keyword) {
        return std::any_of(entities.begin(), entities.end(), [&](const media_v2_entity& entity) {
            return entity_name(entity).find(keyword) != std::string_view::npos;
        });
    });
}

}  // namespace vorlake::tessaro

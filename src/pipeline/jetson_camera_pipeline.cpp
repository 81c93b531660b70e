#include "pipeline/jetson_camera_pipeline.hpp"

#include <fcntl.h>
#include <linux/media-bus-format.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "capture/kernel_calls.hpp"
#include "messages/message_output.hpp"
#include "pipeline/sensor_chains.hpp"

namespace vorlake::tessaro {

static_assert(sizeof(v4l2_queryctrl) == 68);
static_assert(sizeof(v4l2_control) == 8);

namespace {

constexpr std::int32_t preferred_stride = 704;
constexpr char preferred_stride_control_name[] = "Preferred Stride";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using entity_ref = std::pair<const std::string*, std::uint32_t>;  // name and id

// The camera's chain: the named sensor's; otherwise, on a board whose media device carries
// several sensors, the first sensor's (by entity id) whose data links lead through an nvcsi
// entity to a vi-output; failing that, the first that a vi-output's label names.
sensor_chain choose_chain(const std::vector<sensor_chain>& chains, const std::string& sensor,
                          const std::unordered_map<std::string, entity_info>& entities) {
    if (!sensor.empty()) {
        const auto named = entities.find(sensor);
        const auto found = std::find_if(chains.begin(), chains.end(), [&](const sensor_chain& c) {
            return named != entities.end() && c.sensor == named->second.id;
        });
        return found != chains.end() ? *found : sensor_chain{};
    }
    for (const bool linked : {true, false}) {
        for (const sensor_chain& chain : chains) {
            if (linked ? chain.complete() : chain.video != 0)
                return chain;
        }
    }
    return {};
}

// The vi-output entity holds the keyword as well as the sensor does, and the last match of each
// rule wins: the chosen camera's vi-output, sensor and nvcsi entity come last, in that order.
// Before them go the vi-output entities, then the others, each group in the topology's own
// order (entity ids), which keeps the outcome reproducible.
std::vector<const std::string*> visiting_order(
    const std::unordered_map<std::string, entity_info>& entities, const sensor_chain& chosen) {
    std::vector<entity_ref> order;
    order.reserve(entities.size());
    for (const auto& [name, entity] : entities)
        order.emplace_back(&name, entity.id);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        const bool a_video = contains(*a.first, "vi-output");
        const bool b_video = contains(*b.first, "vi-output");
        return a_video != b_video ? a_video : a.second < b.second;
    });
    const std::array<std::uint32_t, 3> chain{chosen.video, chosen.sensor, chosen.csi2};
    const auto rank = [&](const entity_ref& entity) {
        const auto found = std::find(chain.begin(), chain.end(), entity.second);
        return entity.second == 0 || found == chain.end() ? 0 : 1 + (found - chain.begin());
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    std::vector<const std::string*> names;
    names.reserve(order.size());
    for (const auto& [name, id] : order)
        names.push_back(name);
    return names;
}

}  // namespace

jetson_camera_pipeline::jetson_camera_pipeline(const std::string& media_device_path,
                                               const std::string& keyword,
                                               const std::string& sensor)
    : camera_pipeline(media_device_path) {
    // A pipeline whose camera entity was not found reports itself through valid().
    if (media_fd)
        discover_entities(keyword, sensor);
}

int jetson_camera_pipeline::discover_entities(const std::string& keyword,
                                              const std::string& sensor) {
    std::vector<media_v2_link> links;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
    int result = load_topology(links, interfaces, pads);
    if (result != 0)
        return result;

    write_message(message_stream::standard_output, message_severity::info,
                  "[DEBUG] Searching entities for camera keyword='" + keyword + "'");
    const std::vector<sensor_chain> chains = find_sensor_chains(entities, links, pads, keyword);
    std::unordered_map<std::uint32_t, const std::string*> name_of;
    for (const auto& [name, entity] : entities)
        name_of.emplace(entity.id, &name);
    for (const sensor_chain& chain : chains)
        sensors.push_back(sensor_entity{*name_of.at(chain.sensor), chain.complete()});
    const sensor_chain chosen = choose_chain(chains, sensor, entities);
    for (const std::string* entry : visiting_order(entities, chosen)) {
        const std::string& name = *entry;
        write_message(message_stream::standard_output, message_severity::info,
                      "[DEBUG]   entity: '" + name + "'");
        if (contains(name, keyword))
            camera_entity_name = name;
        if (contains(name, "vi-output") && contains(name, keyword))
            image_entity_name = name;
        if (contains(name, "nvcsi") && !contains(name, "vi-output"))
            csi2_entity_name = name;
    }
    write_message(message_stream::standard_output, message_severity::info,
                  "[DEBUG] camera_entity_name='" + camera_entity_name + "'");
    write_message(message_stream::standard_output, message_severity::info,
                  "[DEBUG] image_entity_name='" + image_entity_name + "'");
    write_message(message_stream::standard_output, message_severity::info,
                  "[DEBUG] actual_csi2_entity_name='" + csi2_entity_name + "'");

    if (camera_entity_name.empty()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Jetson pipeline: camera entity '" + keyword + "' not found");
        return -ENODEV;
    }
    if (image_entity_name.empty()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Jetson pipeline: vi-output entity for '" + keyword + "' not found");
        return -ENODEV;
    }

    // The vorlake drivers link and format their pipeline themselves and reject changes.
    safe_mode = contains(camera_entity_name, "vorlake") || contains(image_entity_name, "vorlake");
    if (safe_mode)
        write_message(message_stream::standard_output, message_severity::info,
                      "[DEBUG] Vorlake pipeline detected: enabling safe mode");
    else
        reset_links(links_outside_other_chains(links, pads, chains, chosen), pads);

    std::vector<link_ref> found;
    result = find_links(csi2_entity_name, image_entity_name, links, pads, found);
    if (result != 0 || found.empty()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Jetson pipeline: link nvcsi \u2192 vi-output not found");
        if (!safe_mode)
            return result;
    } else {
        image_link = found.front();
    }

    result = find_links(camera_entity_name, csi2_entity_name, links, pads, found);
    if (result != 0 || found.empty()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Jetson pipeline: link camera \u2192 nvcsi not found");
        return safe_mode ? 0 : result;
    }
    sensor_link = found.front();
    return 0;
}

int jetson_camera_pipeline::get_stream_device_nodes(std::string& image_node,
                                                    std::string& ebd_node) {
    const entity_info* entity = find_entity(image_entity_name);
    if (entity == nullptr)
        return -ENODEV;
    image_node = entity->device_node;
    // This pipeline carries no separate embedded-data node.
    ebd_node.clear();
    return 0;
}

int jetson_camera_pipeline::get_sensor_device_node(std::string& node) {
    const entity_info* entity = find_entity(camera_entity_name);
    if (entity == nullptr)
        return -ENODEV;
    node = entity->device_node;
    return 0;
}

int jetson_camera_pipeline::configure(const pipeline_configuration& config) {
    if (!valid())
        return -ENODEV;

    if (safe_mode) {
        write_message(message_stream::standard_error, message_severity::info,
                      "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and "
                      "VIDIOC_SUBDEV_S_FMT");
    } else {
        const int result = setup_link(image_link, true);
        if (result != 0) {
            write_message(message_stream::standard_error, message_severity::error,
                          "Failed to enable link for image data: " + std::to_string(result));
            return result;
        }
        const int format_result = set_pad_format(sensor_link.sink, config.image_width,
                                                 config.image_height, MEDIA_BUS_FMT_Y8_1X8);
        if (format_result != 0) {
            write_message(message_stream::standard_error, message_severity::info,
                          "Warning: failed to set pad format for image data: " +
                              std::to_string(format_result) + " (ignored)");
        }
    }

    const entity_info* image_entity = find_entity(image_entity_name);
    if (image_entity == nullptr)
        return -ENODEV;
    const std::string node = image_entity->device_node;

    const int stride_result = set_preferred_stride(node, preferred_stride);
    if (stride_result != 0) {
        write_message(message_stream::standard_error, message_severity::info,
                      "Warning: failed to set preferred_stride=" + std::to_string(preferred_stride) +
                          " on " + node + ": " + std::to_string(stride_result) + " (ignored)");
    }

    const int result =
        set_video_format(node, config.image_width, config.image_height, V4L2_PIX_FMT_GREY);
    if (result != 0) {
        write_message(message_stream::standard_error, message_severity::info,
                      "Warning: failed to set format for " + node + ": " + std::to_string(result) +
                          (safe_mode ? " (ignored in safe mode)" : ""));
        if (!safe_mode)
            return result;
    }
    return 0;
}

int jetson_camera_pipeline::set_preferred_stride(const std::string& node, std::int32_t stride) {
    const unique_fd device = open_device(node, O_RDWR);
    if (!device)
        return -errno;

    int result = -ENOENT;
    std::uint32_t last_id = 0;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (kernel().ioctl(device.get(), VIDIOC_QUERYCTRL, &query) == 0) {
        // Each answer must move forward, or a faulty driver would keep us here for ever.
        if (query.id <= last_id)
            break;
        last_id = query.id;
        const std::string name(reinterpret_cast<const char*>(query.name),
                               ::strnlen(reinterpret_cast<const char*>(query.name),
                                         sizeof query.name));
        if (name == preferred_stride_control_name) {
            if (query.flags & V4L2_CTRL_FLAG_DISABLED) {
                result = -EINVAL;
            } else {
                v4l2_control control{};
                control.id = query.id;
                control.value = stride;
                result = kernel().ioctl(device.get(), VIDIOC_S_CTRL, &control) < 0 ? -errno : 0;
            }
            break;
        }
        query = v4l2_queryctrl{};
        query.id = last_id | V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return result;
}

}  // namespace vorlake::tessaro

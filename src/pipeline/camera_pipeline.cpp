#include <vorlake/tessaro/camera_pipeline.hpp>

#include <fcntl.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "capture/kernel_calls.hpp"
#include "pipeline/topology_limits.hpp"
#include "messages/message_output.hpp"

namespace vorlake::tessaro {

// The media-controller records are packed and have one layout on every target.
static_assert(sizeof(media_v2_topology) == 72);
static_assert(sizeof(media_v2_entity) == 96);
static_assert(sizeof(media_v2_interface) == 112);
static_assert(sizeof(media_v2_pad) == 32);
static_assert(sizeof(media_v2_link) == 40);
static_assert(sizeof(media_link_desc) == 52);
static_assert(sizeof(v4l2_subdev_format) == 88);
#if __SIZEOF_POINTER__ == 8
static_assert(sizeof(v4l2_format) == 208);
#endif

namespace {

std::string fixed_string(const char* field, std::size_t capacity) {
    return std::string(field, ::strnlen(field, capacity));
}

bool is_link_type(const media_v2_link& link, std::uint32_t type) {
    return (link.flags & MEDIA_LNK_FL_LINK_TYPE) == type;
}

template <typename record>
std::uint64_t user_pointer(std::vector<record>& records) {
    return records.empty() ? 0 : reinterpret_cast<std::uintptr_t>(records.data());
}

}  // namespace

camera_pipeline::camera_pipeline(const std::string& media_device_path)
    : media_fd(open_device(media_device_path, O_RDWR)) {}

camera_pipeline::~camera_pipeline() = default;

bool camera_pipeline::valid() const { return !camera_entity_name.empty(); }

int camera_pipeline::load_topology(std::vector<media_v2_link>& links,
                                   std::vector<media_v2_interface>& interfaces,
                                   std::vector<media_v2_pad>& pads) {
    media_v2_topology topology{};
    int result = kernel().ioctl(media_fd.get(), MEDIA_IOC_G_TOPOLOGY, &topology);
    if (result < 0)
        return result;
    if (!topology_counts_fit(topology))
        return -1;

    std::vector<media_v2_entity> topology_entities(topology.num_entities);
    links.assign(topology.num_links, media_v2_link{});
    interfaces.assign(topology.num_interfaces, media_v2_interface{});
    pads.assign(topology.num_pads, media_v2_pad{});
    topology.ptr_entities = user_pointer(topology_entities);
    topology.ptr_links = user_pointer(links);
    topology.ptr_interfaces = user_pointer(interfaces);
    topology.ptr_pads = user_pointer(pads);
    result = kernel().ioctl(media_fd.get(), MEDIA_IOC_G_TOPOLOGY, &topology);
    if (result < 0)
        return -1;

    // The kernel reports the counts it filled in; never trust records it did not write.
    topology_entities.resize(std::min<std::size_t>(topology_entities.size(), topology.num_entities));
    links.resize(std::min<std::size_t>(links.size(), topology.num_links));
    interfaces.resize(std::min<std::size_t>(interfaces.size(), topology.num_interfaces));
    pads.resize(std::min<std::size_t>(pads.size(), topology.num_pads));

    entities.clear();
    entities.reserve(topology_entities.size());
    for (const media_v2_entity& entity : topology_entities) {
        entities[fixed_string(entity.name, sizeof entity.name)] =
            entity_info{entity.id, entity_device_node(entity, interfaces, links)};
    }
    return 0;
}

std::string camera_pipeline::entity_device_node(const media_v2_entity& entity,
                                                const std::vector<media_v2_interface>& interfaces,
                                                const std::vector<media_v2_link>& links) {
    const auto link = std::find_if(links.begin(), links.end(), [&](const media_v2_link& l) {
        return is_link_type(l, MEDIA_LNK_FL_INTERFACE_LINK) && l.sink_id == entity.id;
    });
    if (link == links.end())
        return {};
    const auto interface =
        std::find_if(interfaces.begin(), interfaces.end(),
                     [&](const media_v2_interface& i) { return i.id == link->source_id; });
    if (interface == interfaces.end())
        return {};
    return device_node_from_number(interface->devnode.major, interface->devnode.minor);
}

std::string camera_pipeline::device_node_from_number(std::uint32_t major, std::uint32_t minor) {
    std::string content;
    const std::string path =
        "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/uevent";
    if (kernel().read_text_file(path, content) < 0)
        return {};

    constexpr std::string_view key = "DEVNAME=";
    std::string node;
    std::string_view rest = content;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (line.starts_with(key))
            node = "/dev/" + std::string(line.substr(key.size()));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return node;
}

int camera_pipeline::reset_links(const std::vector<media_v2_link>& links,
                                 const std::vector<media_v2_pad>& pads) {
    for (const media_v2_link& link : links) {
        if (link.flags & MEDIA_LNK_FL_IMMUTABLE)
            continue;
        link_ref ref;
        ref.flags = link.flags;
        // Interface links join an interface to an entity, not two pads.
        if (find_pad(link.source_id, pads, ref.source) != 0 ||
            find_pad(link.sink_id, pads, ref.sink) != 0)
            continue;
        if (setup_link(ref, false) != 0) {
            write_message(message_stream::standard_error, message_severity::error,
                          "Reset pipeline failed to disable link with src={" +
                             std::to_string(ref.source.entity_id) + ", " +
                             std::to_string(ref.source.index) + "} and sink={" +
                             std::to_string(ref.sink.entity_id) + ", " +
                             std::to_string(ref.sink.index) + "}");
        }
    }
    return 0;
}

int camera_pipeline::setup_link(link_ref& link, bool enable) {
    media_link_desc desc{};
    desc.source.entity = link.source.entity_id;
    desc.source.index = link.source.index;
    desc.source.flags = MEDIA_PAD_FL_SOURCE;
    desc.sink.entity = link.sink.entity_id;
    desc.sink.index = link.sink.index;
    desc.sink.flags = MEDIA_PAD_FL_SINK;
    desc.flags = enable ? (link.flags | MEDIA_LNK_FL_ENABLED) : (link.flags & ~MEDIA_LNK_FL_ENABLED);
    const int result = kernel().ioctl(media_fd.get(), MEDIA_IOC_SETUP_LINK, &desc);
    if (result == 0)
        link.flags = desc.flags;
    return result;
}

int camera_pipeline::find_pad(std::uint32_t pad_id, const std::vector<media_v2_pad>& pads,
                              pad_ref& out) {
    const auto pad = std::find_if(pads.begin(), pads.end(),
                                  [&](const media_v2_pad& p) { return p.id == pad_id; });
    if (pad == pads.end())
        return -ENODEV;
    // Older kernels leave the pad's own index field zero; count the entity's pads instead.
    const auto index = std::count_if(pads.begin(), pad, [&](const media_v2_pad& p) {
        return p.entity_id == pad->entity_id;
    });
    out = pad_ref{pad->id, pad->entity_id, static_cast<std::uint16_t>(index)};
    return 0;
}

int camera_pipeline::entity_id(const std::string& name) {
    const entity_info* entity = find_entity(name);
    return entity != nullptr ? static_cast<int>(entity->id) : -ENODEV;
}

int camera_pipeline::find_links(const std::string& source_name, const std::string& sink_name,
                                const std::vector<media_v2_link>& links,
                                const std::vector<media_v2_pad>& pads,
                                std::vector<link_ref>& out) {
    out.clear();
    const int source_entity = entity_id(source_name);
    const int sink_entity = entity_id(sink_name);
    if (source_entity < 0 || sink_entity < 0)
        return -ENODEV;

    for (const media_v2_link& link : links) {
        if (!is_link_type(link, MEDIA_LNK_FL_DATA_LINK))
            continue;
        link_ref ref;
        ref.flags = link.flags;
        int result = find_pad(link.source_id, pads, ref.source);
        if (result != 0)
            return result;
        if (ref.source.entity_id != static_cast<std::uint32_t>(source_entity))
            continue;
        result = find_pad(link.sink_id, pads, ref.sink);
        if (result != 0)
            return result;
        if (ref.sink.entity_id != static_cast<std::uint32_t>(sink_entity))
            continue;
        out.push_back(ref);
    }
    return out.empty() ? -ENODEV : 0;
}

int camera_pipeline::set_pad_format(const pad_ref& pad, std::uint32_t width, std::uint32_t height,
                                    std::uint32_t code) {
    const entity_info* entity = find_entity_by_id(pad.entity_id);
    if (entity == nullptr)
        return -ENODEV;
    const unique_fd node = open_device(entity->device_node, O_RDWR);
    if (!node)
        return -errno;

    v4l2_subdev_format format{};
    format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    format.pad = pad.index;
    format.format.width = width;
    format.format.height = height;
    format.format.code = code;
    format.format.field = V4L2_FIELD_NONE;
    return kernel().ioctl(node.get(), VIDIOC_SUBDEV_S_FMT, &format) < 0 ? -errno : 0;
}

int camera_pipeline::set_video_format(const std::string& device_node, std::uint32_t width,
                                      std::uint32_t height, std::uint32_t pixel_format) {
    const unique_fd node = open_device(device_node, O_RDWR);
    if (!node)
        return -errno;

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = pixel_format;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    return kernel().ioctl(node.get(), VIDIOC_S_FMT, &format) < 0 ? -errno : 0;
}

const entity_info* camera_pipeline::find_entity(const std::string& name) const {
    const auto entity = entities.find(name);
    return entity != entities.end() ? &entity->second : nullptr;
}

const entity_info* camera_pipeline::find_entity_by_id(std::uint32_t id) const {
    for (const auto& [name, entity] : entities) {
        if (entity.id == id)
            return &entity;
    }
    return nullptr;
}

}  // namespace vorlake::tessaro

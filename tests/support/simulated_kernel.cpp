#include "support/simulated_kernel.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorlake::tessaro::test_support {

namespace {

constexpr std::uint32_t video_major = 81;
constexpr std::uint32_t media_major = 237;
// The mmap offset of buffer i, as videobuf2 hands out cookies.
constexpr std::uint32_t offset_step = 1u << 24;

template <typename record>
void copy_records(const std::vector<record>& records, std::uint64_t user_pointer) {
    if (user_pointer != 0 && !records.empty())
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(user_pointer)),
                    records.data(), records.size() * sizeof(record));
}

void set_name(char* field, std::size_t capacity, const std::string& name) {
    std::memset(field, 0, capacity);
    std::memcpy(field, name.data(), std::min(name.size(), capacity - 1));
}

// A pad's position among the pads of its entity, as the kernel numbers them.
std::uint16_t pad_index(const simulated_node& media, const media_v2_pad& pad) {
    std::uint16_t index = 0;
    for (const media_v2_pad& other : media.pads) {
        if (other.id == pad.id)
            break;
        if (other.entity_id == pad.entity_id)
            ++index;
    }
    return index;
}

// The media core numbers every graph object from one counter and keeps the object's type in
// the top byte: entity ids are small, pad ids start at 0x01000000, links at 0x02000000 and
// interfaces at 0x03000000. Ids of different kinds therefore never collide.
enum class graph_object : std::uint32_t { entity = 0, pad = 1, link = 2, interface = 3 };

std::uint32_t next_id(simulated_node& media, graph_object type) {
    return (static_cast<std::uint32_t>(type) << 24) | (media.next_object_id++ & 0x00FFFFFF);
}

const media_v2_pad* pad_at(const simulated_node& media, std::uint32_t entity, std::uint16_t index) {
    for (const media_v2_pad& pad : media.pads) {
        if (pad.entity_id == entity && pad_index(media, pad) == index)
            return &pad;
    }
    return nullptr;
}

}  // namespace

simulated_kernel::simulated_kernel() { add_directory(media_devices_directory, {".", ".."}); }

simulated_kernel::~simulated_kernel() = default;

// ---------------------------------------------------------------------------------------------
// Building the system

simulated_node& simulated_kernel::add_node(const std::string& path) {
    auto& slot = nodes[path];
    if (!slot) {
        slot = std::make_unique<simulated_node>();
        slot->path = path;
    }
    return *slot;
}

simulated_node& simulated_kernel::node(const std::string& path) {
    const auto found = nodes.find(path);
    if (found == nodes.end())
        throw std::out_of_range("no simulated node " + path);
    return *found->second;
}

std::uint32_t simulated_kernel::add_char_device(const std::string& path, std::uint32_t major,
                                                bool devname_in_uevent) {
    add_node(path);
    const std::uint32_t minor = next_minor++;
    std::string uevent = "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) + "\n";
    if (devname_in_uevent)
        uevent += "DEVNAME=" + path.substr(std::strlen("/dev/")) + "\n";
    add_file("/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/uevent",
             uevent);
    return minor;
}

simulated_node& simulated_kernel::add_capture_device(const std::string& path,
                                                     std::uint32_t buffer_type) {
    simulated_node& device = add_node(path);
    device.queue.emplace();
    device.queue->buffer_type = buffer_type;
    return device;
}

void simulated_kernel::add_file(const std::string& path, std::string content) {
    files[path] = std::move(content);
}

void simulated_kernel::add_directory(const std::string& path, std::vector<std::string> names) {
    directories[path] = std::move(names);
}

simulated_node& simulated_kernel::add_media_device(const std::string& path) {
    simulated_node& media = add_node(path);
    media.is_media = true;
    return media;
}

void simulated_kernel::list_media_device(const std::string& name) {
    directories[media_devices_directory].push_back(name);
}

std::uint32_t simulated_kernel::add_entity(simulated_node& media, const std::string& name,
                                           std::uint32_t function) {
    media_v2_entity entity{};
    entity.id = next_id(media, graph_object::entity);
    set_name(entity.name, sizeof entity.name, name);
    entity.function = function;
    media.entities.push_back(entity);
    return entity.id;
}

std::uint32_t simulated_kernel::add_pad(simulated_node& media, std::uint32_t entity,
                                        std::uint32_t flags) {
    media_v2_pad pad{};
    pad.id = next_id(media, graph_object::pad);
    pad.entity_id = entity;
    pad.flags = flags;
    media.pads.push_back(pad);
    pad.index = pad_index(media, pad);
    media.pads.back().index = pad.index;
    return pad.id;
}

std::uint32_t simulated_kernel::add_link(simulated_node& media, std::uint32_t source,
                                         std::uint32_t sink, std::uint32_t flags) {
    media_v2_link link{};
    link.id = next_id(media, graph_object::link);
    link.source_id = source;
    link.sink_id = sink;
    link.flags = flags;
    media.links.push_back(link);
    return link.id;
}

std::uint32_t simulated_kernel::add_interface(simulated_node& media, std::uint32_t entity,
                                              std::uint32_t major, std::uint32_t minor) {
    media_v2_interface interface{};
    interface.id = next_id(media, graph_object::interface);
    interface.intf_type = MEDIA_INTF_T_V4L_VIDEO;
    interface.devnode.major = major;
    interface.devnode.minor = minor;
    media.interfaces.push_back(interface);
    // The V4L2 core links every device node to its entity enabled and immutable.
    add_link(media, interface.id, entity,
             MEDIA_LNK_FL_INTERFACE_LINK | MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
    return interface.id;
}

jetson_device simulated_kernel::add_jetson_device(const jetson_device_options& options) {
    const std::string number = std::to_string(options.number);
    jetson_device device;
    device.media_path = "/dev/media" + number;
    device.sensor_name = options.sensor_label;
    device.csi2_name = "nvcsi--" + number;
    device.image_name = "vi-output, " + options.sensor_label;

    add_char_device(device.media_path, media_major);
    simulated_node& media = add_media_device(device.media_path);
    list_media_device("media" + number);

    device.sensor_entity = add_entity(media, device.sensor_name, MEDIA_ENT_F_CAM_SENSOR);
    if (options.with_nvcsi)
        device.csi2_entity = add_entity(media, device.csi2_name, MEDIA_ENT_F_VID_IF_BRIDGE);
    if (options.with_vi_output)
        device.image_entity = add_entity(media, device.image_name, MEDIA_ENT_F_IO_V4L);

    // The pads of one entity are spread through the pads vector, as the kernel registers them.
    const std::uint32_t csi2_sink =
        options.with_nvcsi ? add_pad(media, device.csi2_entity, MEDIA_PAD_FL_SINK) : 0;
    const std::uint32_t sensor_source = add_pad(media, device.sensor_entity, MEDIA_PAD_FL_SOURCE);
    const std::uint32_t image_sink =
        options.with_vi_output ? add_pad(media, device.image_entity, MEDIA_PAD_FL_SINK) : 0;
    const std::uint32_t csi2_source =
        options.with_nvcsi ? add_pad(media, device.csi2_entity, MEDIA_PAD_FL_SOURCE) : 0;
    if (options.with_nvcsi && options.with_data_links) {
        add_link(media, sensor_source, csi2_sink, MEDIA_LNK_FL_ENABLED);
        if (options.with_vi_output)
            add_link(media, csi2_source, image_sink, MEDIA_LNK_FL_ENABLED);
    }

    // The vi-output node carries the sensor's controls too, as the Jetson video driver does.
    const auto sensor_controls = [](simulated_node& node) {
        node.controls.push_back({0x00980900, "Brightness", 0, 0, {}});
        node.controls.push_back({sensor_mode_control, "Sensor Modes", 0, 0, {}});
    };
    const std::string base = std::to_string(options.number * 2);
    if (options.sensor_has_node) {
        device.sensor_node = "/dev/v4l-subdev" + base;
        const std::uint32_t minor =
            add_char_device(device.sensor_node, video_major, options.devname_in_uevent);
        sensor_controls(node(device.sensor_node));
        add_interface(media, device.sensor_entity, video_major, minor);
    }
    if (options.with_nvcsi) {
        device.csi2_node = "/dev/v4l-subdev" + std::to_string(options.number * 2 + 1);
        const std::uint32_t minor =
            add_char_device(device.csi2_node, video_major, options.devname_in_uevent);
        add_interface(media, device.csi2_entity, video_major, minor);
    }
    if (options.with_vi_output) {
        device.image_node = "/dev/video" + number;
        const std::uint32_t minor =
            add_char_device(device.image_node, video_major, options.devname_in_uevent);
        simulated_node& video = add_capture_device(device.image_node);
        video.controls.push_back({0x009a2063, "Preferred Stride Mode", 0, 0, {}});
        video.controls.push_back({preferred_stride_control, "Preferred Stride", 0, 0, {}});
        sensor_controls(video);
        std::sort(video.controls.begin(), video.controls.end(),
                  [](const simulated_control& a, const simulated_control& b) { return a.id < b.id; });
        add_interface(media, device.image_entity, video_major, minor);
    }
    return device;
}

void simulated_kernel::push_frame(const std::string& path, std::vector<std::uint8_t> frame) {
    queue(path).pending_frames.push_back(std::move(frame));
}

simulated_queue& simulated_kernel::queue(const std::string& path) {
    simulated_node& device = node(path);
    if (!device.queue)
        throw std::out_of_range(path + " is not a capture device");
    return *device.queue;
}

// ---------------------------------------------------------------------------------------------
// Faults and accounting

void simulated_kernel::fail_next(kernel_call call, int error, int times, unsigned long request,
                                 const std::string& path, int skip) {
    faults.push_back({call, error, times, request, path, skip});
}

bool simulated_kernel::take_fault(kernel_call call, unsigned long request, const std::string& path) {
    ++call_counts[call];
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->call != call || (it->request != 0 && it->request != request) ||
            (!it->path.empty() && it->path != path))
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        errno = it->error;
        if (--it->times <= 0)
            faults.erase(it);
        return true;
    }
    return false;
}

int simulated_kernel::fail(int error) {
    errno = error;
    return -1;
}

simulated_node* simulated_kernel::node_of(int fd) {
    const auto found = descriptors.find(fd);
    return found != descriptors.end() ? found->second : nullptr;
}

std::size_t simulated_kernel::calls(kernel_call call) const {
    const auto found = call_counts.find(call);
    return found != call_counts.end() ? found->second : 0;
}

std::size_t simulated_kernel::ioctls(unsigned long request) const {
    return static_cast<std::size_t>(std::count(requests.begin(), requests.end(), request));
}

std::size_t simulated_kernel::ioctls(unsigned long request, const std::string& path) const {
    std::size_t count = 0;
    for (std::size_t i = 0; i < requests.size(); ++i)
        count += requests[i] == request && request_paths[i] == path;
    return count;
}

// ---------------------------------------------------------------------------------------------
// The kernel calls

int simulated_kernel::open(const char* path, int /*flags*/) {
    if (take_fault(kernel_call::open, 0, path))
        return -1;
    const auto found = nodes.find(path);
    if (found == nodes.end())
        return fail(ENOENT);
    if (found->second->open_error != 0)
        return fail(found->second->open_error);
    const int fd = next_fd++;
    descriptors[fd] = found->second.get();
    return fd;
}

int simulated_kernel::close(int fd) {
    simulated_node* device = node_of(fd);
    if (take_fault(kernel_call::close, 0, device ? device->path : std::string()))
        return -1;
    if (device == nullptr)
        return fail(EBADF);
    // Closing the descriptor that owns the queue stops streaming and frees the buffers.
    if (device->queue && device->queue->owner_fd == fd) {
        simulated_queue& queue = *device->queue;
        queue.streaming = false;
        queue.queued.clear();
        queue.done.clear();
        queue.owner_fd = -1;
    }
    descriptors.erase(fd);
    return 0;
}

int simulated_kernel::ioctl(int fd, unsigned long request, void* arg) {
    simulated_node* device = node_of(fd);
    requests.push_back(request);
    request_paths.push_back(device ? device->path : std::string());
    if (take_fault(kernel_call::ioctl, request, device ? device->path : std::string()))
        return -1;
    if (device == nullptr)
        return fail(EBADF);
    if (device->is_media)
        return media_ioctl(*device, request, arg);

    switch (request) {
    case VIDIOC_QUERYCTRL:
    case VIDIOC_S_CTRL:
        return control_ioctl(*device, request, arg);
    case VIDIOC_SUBDEV_S_FMT: {
        if (device->queue)
            return fail(ENOTTY);
        device->subdev_formats.push_back(*static_cast<v4l2_subdev_format*>(arg));
        return 0;
    }
    case VIDIOC_S_FMT: {
        auto& format = *static_cast<v4l2_format*>(arg);
        if (!device->queue || format.type != device->queue->buffer_type)
            return fail(EINVAL);
        if (device->queue->owner_fd >= 0 && !device->queue->memory.empty())
            return fail(EBUSY);
        // The line stride follows the preferred stride when one was set.
        std::uint32_t stride = format.fmt.pix.width;
        for (const simulated_control& control : device->controls) {
            if (control.id == preferred_stride_control && control.value > 0)
                stride = std::max<std::uint32_t>(stride, control.value);
        }
        format.fmt.pix.bytesperline = stride;
        format.fmt.pix.sizeimage = stride * format.fmt.pix.height;
        format.fmt.pix.field = V4L2_FIELD_NONE;
        device->queue->buffer_length = format.fmt.pix.sizeimage;
        device->video_formats.push_back(format);
        return 0;
    }
    default:
        if (device->queue)
            return queue_ioctl(*device, fd, request, arg);
        return fail(ENOTTY);
    }
}

int simulated_kernel::media_ioctl(simulated_node& media, unsigned long request, void* arg) {
    if (request == MEDIA_IOC_G_TOPOLOGY) {
        auto& topology = *static_cast<media_v2_topology*>(arg);
        if ((topology.ptr_entities && topology.num_entities < media.entities.size()) ||
            (topology.ptr_interfaces && topology.num_interfaces < media.interfaces.size()) ||
            (topology.ptr_pads && topology.num_pads < media.pads.size()) ||
            (topology.ptr_links && topology.num_links < media.links.size()))
            return fail(ENOSPC);
        copy_records(media.entities, topology.ptr_entities);
        copy_records(media.interfaces, topology.ptr_interfaces);
        copy_records(media.pads, topology.ptr_pads);
        copy_records(media.links, topology.ptr_links);
        topology.topology_version = 1;
        topology.num_entities = static_cast<std::uint32_t>(media.entities.size());
        topology.num_interfaces = static_cast<std::uint32_t>(media.interfaces.size());
        topology.num_pads = static_cast<std::uint32_t>(media.pads.size());
        topology.num_links = static_cast<std::uint32_t>(media.links.size());
        return 0;
    }
    if (request == MEDIA_IOC_SETUP_LINK) {
        const auto& desc = *static_cast<media_link_desc*>(arg);
        const media_v2_pad* source = pad_at(media, desc.source.entity, desc.source.index);
        const media_v2_pad* sink = pad_at(media, desc.sink.entity, desc.sink.index);
        if (source == nullptr || sink == nullptr)
            return fail(EINVAL);
        for (media_v2_link& link : media.links) {
            if (link.source_id != source->id || link.sink_id != sink->id)
                continue;
            const bool enable = desc.flags & MEDIA_LNK_FL_ENABLED;
            // Only the enabled bit may change; the media core refuses any other difference.
            if ((link.flags & ~MEDIA_LNK_FL_ENABLED) != (desc.flags & ~MEDIA_LNK_FL_ENABLED))
                return fail(EINVAL);
            if ((link.flags & MEDIA_LNK_FL_IMMUTABLE) && !enable)
                return fail(EINVAL);
            link.flags = (link.flags & ~MEDIA_LNK_FL_ENABLED) | (enable ? MEDIA_LNK_FL_ENABLED : 0);
            media.link_setups.push_back(desc);
            return 0;
        }
        return fail(EINVAL);
    }
    return fail(ENOTTY);
}

int simulated_kernel::control_ioctl(simulated_node& device, unsigned long request, void* arg) {
    std::vector<simulated_control>& controls = device.controls;
    if (request == VIDIOC_QUERYCTRL) {
        auto& query = *static_cast<v4l2_queryctrl*>(arg);
        const bool next = query.id & V4L2_CTRL_FLAG_NEXT_CTRL;
        const std::uint32_t id = query.id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        const auto found = std::find_if(controls.begin(), controls.end(), [&](const auto& c) {
            return next ? c.id > id : c.id == id;
        });
        if (found == controls.end())
            return fail(EINVAL);
        query = v4l2_queryctrl{};
        query.id = found->id;
        query.type = V4L2_CTRL_TYPE_INTEGER;
        set_name(reinterpret_cast<char*>(query.name), sizeof query.name, found->name);
        query.flags = found->flags;
        query.maximum = 1 << 20;
        query.step = 1;
        return 0;
    }
    auto& control = *static_cast<v4l2_control*>(arg);
    const auto found = std::find_if(controls.begin(), controls.end(),
                                    [&](const auto& c) { return c.id == control.id; });
    if (found == controls.end() || (found->flags & V4L2_CTRL_FLAG_DISABLED))
        return fail(EINVAL);
    found->value = control.value;
    found->written.push_back(control.value);
    return 0;
}

int simulated_kernel::queue_ioctl(simulated_node& device, int fd, unsigned long request, void* arg) {
    simulated_queue& queue = *device.queue;
    const auto owned = [&] { return queue.owner_fd == fd; };

    switch (request) {
    case VIDIOC_REQBUFS: {
        auto& request_buffers = *static_cast<v4l2_requestbuffers*>(arg);
        if (request_buffers.type != queue.buffer_type || request_buffers.memory != V4L2_MEMORY_MMAP)
            return fail(EINVAL);
        if (queue.owner_fd >= 0 && !owned())
            return fail(EBUSY);
        if (queue.streaming)
            return fail(EBUSY);
        const std::uint32_t granted =
            request_buffers.count == 0 ? 0
                                       : queue.grant.value_or(std::min(request_buffers.count, 4u));
        queue.memory.assign(granted, std::vector<std::uint8_t>(queue.buffer_length));
        queue.bytesused.assign(granted, 0);
        queue.queued.clear();
        queue.done.clear();
        queue.owner_fd = granted > 0 ? fd : -1;
        request_buffers.count = granted;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto& buffer = *static_cast<v4l2_buffer*>(arg);
        // Anyone may query a buffer; only the descriptor that allocated them may queue one.
        if (request == VIDIOC_QBUF && queue.owner_fd >= 0 && !owned())
            return fail(EBUSY);
        if (buffer.type != queue.buffer_type || buffer.memory != V4L2_MEMORY_MMAP ||
            buffer.index >= queue.memory.size())
            return fail(EINVAL);
        if (request == VIDIOC_QUERYBUF) {
            buffer.length = static_cast<std::uint32_t>(queue.memory[buffer.index].size());
            buffer.m.offset = buffer.index * offset_step;
            const auto held_by = [&](const std::deque<std::uint32_t>& list) {
                return std::find(list.begin(), list.end(), buffer.index) != list.end();
            };
            buffer.flags = (held_by(queue.queued) ? V4L2_BUF_FLAG_QUEUED : 0u) |
                           (held_by(queue.done) ? V4L2_BUF_FLAG_DONE : 0u);
            return 0;
        }
        const auto held = [&](const std::deque<std::uint32_t>& list) {
            return std::find(list.begin(), list.end(), buffer.index) != list.end();
        };
        if (held(queue.queued) || held(queue.done))
            return fail(EINVAL);
        queue.queued.push_back(buffer.index);
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto& buffer = *static_cast<v4l2_buffer*>(arg);
        if (queue.owner_fd >= 0 && !owned())
            return fail(EBUSY);
        if (buffer.type != queue.buffer_type || !queue.streaming)
            return fail(EINVAL);
        fill_buffers(queue);
        if (queue.done.empty())
            return fail(EAGAIN);
        const std::uint32_t index = queue.done.front();
        queue.done.pop_front();
        buffer.index = queue.next_index.value_or(index);
        buffer.bytesused = queue.next_bytesused.value_or(queue.bytesused[index]);
        buffer.length = static_cast<std::uint32_t>(queue.memory[index].size());
        queue.next_index.reset();
        queue.next_bytesused.reset();
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (queue.owner_fd >= 0 && !owned())
            return fail(EBUSY);
        if (!owned() || *static_cast<std::uint32_t*>(arg) != queue.buffer_type)
            return fail(EINVAL);
        queue.streaming = request == VIDIOC_STREAMON;
        if (!queue.streaming) {
            queue.queued.clear();
            queue.done.clear();
        }
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

// A streaming device fills the buffers it holds with the frames the test supplied.
void simulated_kernel::fill_buffers(simulated_queue& queue) {
    while (queue.streaming && !queue.queued.empty() && !queue.pending_frames.empty()) {
        const std::uint32_t index = queue.queued.front();
        queue.queued.pop_front();
        std::vector<std::uint8_t>& memory = queue.memory[index];
        const std::vector<std::uint8_t>& frame = queue.pending_frames.front();
        const std::size_t size = std::min(frame.size(), memory.size());
        std::fill(memory.begin(), memory.end(), std::uint8_t{0});
        std::copy_n(frame.begin(), size, memory.begin());
        queue.bytesused[index] = static_cast<std::uint32_t>(size);
        queue.pending_frames.pop_front();
        queue.done.push_back(index);
        ++queue.frames_delivered;
    }
}

void* simulated_kernel::mmap(void* /*address*/, std::size_t length, int /*protection*/,
                             int /*flags*/, int fd, off_t offset) {
    simulated_node* device = node_of(fd);
    if (take_fault(kernel_call::mmap, 0, device ? device->path : std::string()))
        return MAP_FAILED;
    if (device == nullptr || !device->queue || device->queue->owner_fd != fd ||
        offset % offset_step != 0)
        return (errno = EINVAL, MAP_FAILED);
    const auto index = static_cast<std::size_t>(offset / offset_step);
    if (index >= device->queue->memory.size() || length > device->queue->memory[index].size())
        return (errno = EINVAL, MAP_FAILED);
    void* address = device->queue->memory[index].data();
    mapped.push_back({address, length});
    return address;
}

int simulated_kernel::munmap(void* address, std::size_t length) {
    if (take_fault(kernel_call::munmap, 0, {}))
        return -1;
    const auto found = std::find_if(mapped.begin(), mapped.end(), [&](const mapping& m) {
        return m.address == address && m.length == length;
    });
    if (found == mapped.end())
        return fail(EINVAL);
    mapped.erase(found);
    return 0;
}

int simulated_kernel::select(int fd_count, fd_set* read_set, fd_set* /*write_set*/,
                             fd_set* /*except_set*/, timeval* timeout) {
    if (timeout != nullptr)
        select_timeouts.push_back(*timeout);
    std::vector<int> watched;
    for (int fd = 0; fd < fd_count; ++fd) {
        if (read_set != nullptr && FD_ISSET(fd, read_set))
            watched.push_back(fd);
    }
    const std::string path = !watched.empty() && node_of(watched.front())
                                 ? node_of(watched.front())->path
                                 : std::string();
    if (take_fault(kernel_call::select, 0, path))
        return -1;

    int ready = 0;
    for (int fd : watched) {
        simulated_node* device = node_of(fd);
        if (device == nullptr)
            return fail(EBADF);
        bool readable = false;
        if (device->queue) {
            fill_buffers(*device->queue);
            // videobuf2 reports a queue that is not streaming as readable (an error is pending).
            readable = !device->queue->done.empty() || !device->queue->streaming;
        }
        if (readable)
            ++ready;
        else
            FD_CLR(fd, read_set);
    }
    // Nobody else moves time on: a wait without a frame ends at its timeout at once.
    return ready;
}

int simulated_kernel::list_directory(const std::string& path, std::vector<std::string>& names) {
    if (take_fault(kernel_call::list_directory, 0, path))
        return -1;
    const auto found = directories.find(path);
    if (found == directories.end())
        return fail(ENOENT);
    names = found->second;
    return 0;
}

int simulated_kernel::read_text_file(const std::string& path, std::string& content) {
    if (take_fault(kernel_call::read_text_file, 0, path))
        return -1;
    const auto found = files.find(path);
    if (found == files.end())
        return fail(ENOENT);
    content = found->second;
    return 0;
}

}  // namespace vorlake::tessaro::test_support

#include "support/simulated_kernel.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vorlake::tessaro::test_support {

namespace {

// The mmap cookie of buffer i is i * offset_step.
constexpr std::uint32_t preferred_stride_control = 0x009a2064, offset_step = 1u << 24;

int fail(int error) { return errno = error, -1; }

// Into a field the caller zeroed.
template <typename field>
void set_name(field& text, const std::string& name) {
    std::memcpy(text, name.data(), std::min(name.size(), sizeof text - 1));
}

// Stream-off, a new allocation and closing the owner all take every buffer from the driver.
void take_buffers_back(simulated_queue& queue) {
    queue.streaming = false;
    queue.queued.clear();
    queue.done.clear();
}

// A streaming device fills the buffers it holds with the frames the test supplied.
void fill_buffers(simulated_queue& queue) {
    for (; queue.streaming && !queue.queued.empty() && !queue.pending_frames.empty(); queue.pending_frames.pop_front()) {
        const std::uint32_t index = queue.queued.front();
        std::vector<std::uint8_t>& memory = queue.memory[index];
        const std::vector<std::uint8_t>& frame = queue.pending_frames.front();
        queue.bytesused[index] = static_cast<std::uint32_t>(std::min(frame.size(), memory.size()));
        std::fill(std::copy_n(frame.begin(), queue.bytesused[index], memory.begin()), memory.end(), 0);
        queue.queued.pop_front();
        queue.done.push_back(index);
    }
}

// Copies the records out when the caller gave room for them; returns their count.
template <typename record>
std::uint32_t give(const std::vector<record>& records, std::uint64_t pointer) {
    if (pointer != 0 && !records.empty())
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(pointer)), records.data(), records.size() * sizeof(record));
    return static_cast<std::uint32_t>(records.size());
}

int media_ioctl(simulated_node& media, unsigned long request, void* arg) {
    if (request == MEDIA_IOC_G_TOPOLOGY) {
        auto& t = *static_cast<media_v2_topology*>(arg);
        if (media.counts && !t.ptr_entities && !t.ptr_interfaces && !t.ptr_pads && !t.ptr_links)
            return t = *media.counts, 0;
        t.num_entities = give(media.entities, t.ptr_entities);
        t.num_interfaces = give(media.interfaces, t.ptr_interfaces);
        t.num_pads = give(media.pads, t.ptr_pads);
        t.num_links = give(media.links, t.ptr_links);
        return 0;
    }
    if (request != MEDIA_IOC_SETUP_LINK)
        return fail(ENOTTY);
    const auto& desc = *static_cast<media_link_desc*>(arg);
    // The media core knows a pad by its position among its entity's pads.
    const auto pad_id = [&](const media_pad_desc& pad) {
        std::uint16_t index = 0;
        for (const media_v2_pad& each : media.pads)
            if (each.entity_id == pad.entity && index++ == pad.index)
                return each.id;
        return 0u;
    };
    for (media_v2_link& link : media.links) {
        if (link.source_id != pad_id(desc.source) || link.sink_id != pad_id(desc.sink))
            continue;
        // Only the enabled bit may change, and never that of an immutable link.
        if (((link.flags ^ desc.flags) & ~MEDIA_LNK_FL_ENABLED) ||
            ((link.flags & MEDIA_LNK_FL_IMMUTABLE) && !(desc.flags & MEDIA_LNK_FL_ENABLED)))
            return fail(EINVAL);
        return link.flags = desc.flags, 0;
    }
    return fail(EINVAL);
}

int control_ioctl(std::vector<simulated_control>& controls, unsigned long request, void* arg) {
    const std::uint32_t asked = *static_cast<std::uint32_t*>(arg);  // both records start with the id
    const bool next = request == VIDIOC_QUERYCTRL && (asked & V4L2_CTRL_FLAG_NEXT_CTRL);
    const std::uint32_t id = asked & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    const auto found = std::ranges::find_if(controls, [&](const auto& c) { return next ? c.id > id : c.id == id; });
    if (found == controls.end())
        return fail(EINVAL);
    if (request == VIDIOC_S_CTRL)
        return found->written.push_back(static_cast<v4l2_control*>(arg)->value), 0;
    auto& query = *static_cast<v4l2_queryctrl*>(arg);
    query = v4l2_queryctrl{found->id, V4L2_CTRL_TYPE_INTEGER, {}, 0, 1 << 20, 1, 0, 0, {}};
    set_name(query.name, found->name);
    return 0;
}

int queue_ioctl(simulated_node& device, int fd, unsigned long request, void* arg) {
    simulated_queue& queue = *device.queue;
    // Only the descriptor that allocated the buffers may use them; any may query them.
    if (queue.owner_fd >= 0 && queue.owner_fd != fd && request != VIDIOC_QUERYBUF)
        return fail(EBUSY);
    auto& buffer = *static_cast<v4l2_buffer*>(arg);
    if (request == VIDIOC_S_FMT) {
        v4l2_pix_format& pix = static_cast<v4l2_format*>(arg)->fmt.pix;
        if (static_cast<v4l2_format*>(arg)->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !queue.memory.empty())
            return fail(queue.memory.empty() ? EINVAL : EBUSY);
        // The line stride follows the preferred stride when one was set.
        const auto stride = std::ranges::find(device.controls, preferred_stride_control, &simulated_control::id);
        const bool set = stride != device.controls.end() && !stride->written.empty();
        pix.bytesperline = set ? std::max<std::uint32_t>(pix.width, stride->written.back()) : pix.width;
        pix.sizeimage = pix.bytesperline * pix.height;
        queue.buffer_length = pix.sizeimage;
        device.video_formats.push_back(*static_cast<v4l2_format*>(arg));
    } else if (request == VIDIOC_REQBUFS) {
        auto& asked = *static_cast<v4l2_requestbuffers*>(arg);
        if (asked.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || asked.memory != V4L2_MEMORY_MMAP || queue.streaming)
            return fail(queue.streaming ? EBUSY : EINVAL);
        asked.count = asked.count == 0 ? 0 : queue.grant.value_or(std::min(asked.count, 4u));
        take_buffers_back(queue);
        queue.memory.assign(asked.count, std::vector<std::uint8_t>(queue.buffer_length));
        queue.bytesused.assign(asked.count, 0);
        queue.owner_fd = asked.count > 0 ? fd : -1;
    } else if (request == VIDIOC_QUERYBUF || request == VIDIOC_QBUF) {
        if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer.memory != V4L2_MEMORY_MMAP ||
            buffer.index >= queue.memory.size())
            return fail(EINVAL);
        const bool queued = std::ranges::count(queue.queued, buffer.index), done = std::ranges::count(queue.done, buffer.index);
        if (request == VIDIOC_QBUF)
            return queued || done ? fail(EINVAL) : (queue.queued.push_back(buffer.index), 0);
        buffer.length = static_cast<std::uint32_t>(queue.memory[buffer.index].size());
        buffer.m.offset = buffer.index * offset_step;
    } else if (request == VIDIOC_DQBUF) {
        if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !queue.streaming)
            return fail(EINVAL);
        fill_buffers(queue);
        if (queue.done.empty())
            return fail(EAGAIN);
        const std::uint32_t index = queue.done.front();
        queue.done.pop_front();
        buffer.index = std::exchange(queue.next_index, std::nullopt).value_or(index);
        buffer.bytesused = std::exchange(queue.next_bytesused, std::nullopt).value_or(queue.bytesused[index]);
        buffer.length = static_cast<std::uint32_t>(queue.memory[index].size());
        buffer.sequence = queue.sequence++;
        buffer.flags = std::exchange(queue.next_flags, std::nullopt).value_or(0) | queue.timestamp_flags;
        buffer.timestamp = {static_cast<time_t>(100 + buffer.sequence), 250};
    } else if (request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF) {
        if (queue.owner_fd != fd || *static_cast<std::uint32_t*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        if (request == VIDIOC_STREAMOFF)
            take_buffers_back(queue);
        queue.streaming = request == VIDIOC_STREAMON;
    } else {
        return fail(ENOTTY);
    }
    return 0;
}

}  // namespace

void simulated_kernel::add_jetson_device(const jetson_device_options& options) {
    const std::string number = std::to_string(options.number);
    simulated_node& media = nodes["/dev/media" + number];
    directories[media_devices_directory].push_back("media" + number);
    const std::vector<std::string>& sensors = options.sensors;
    const auto count = static_cast<std::uint32_t>(sensors.size());

    // The media core numbers every graph object from one counter and keeps its type in the
    // top byte (entities 0, pads 1, links 2, interfaces 3): ids of different kinds never meet.
    std::uint32_t next_id = 1;
    for (std::uint32_t e = 0; e < 3 * count; ++e) {
        const std::string name = e < count       ? sensors[e]
                                 : e < 2 * count ? "nvcsi--" + std::to_string(options.number + e - count)
                                                 : "vi-output, " + sensors[3 * count - 1 - e];
        media.entities.push_back({next_id++, {}, 0, 0, {}});
        set_name(media.entities.back().name, name);
    }
    const auto add_link = [&](std::uint32_t source, std::uint32_t sink, std::uint32_t flags) {
        media.links.push_back({(2u << 24) | next_id++, source, sink, flags, {}});
    };
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t sensor = k + 1, csi = count + k + 1, video = 3 * count - k;
        // The pads of one entity are spread through the list, as the kernel registers them: the
        // nvcsi sink, the sensor source, the vi-output sink, the nvcsi source.
        const std::uint32_t pads[4][3] = {{csi, MEDIA_PAD_FL_SINK, 0}, {sensor, MEDIA_PAD_FL_SOURCE, 0}, {video, MEDIA_PAD_FL_SINK, 0}, {csi, MEDIA_PAD_FL_SOURCE, 1}};
        const std::size_t first = media.pads.size();
        for (const auto& [entity, flags, index] : pads)
            media.pads.push_back({(1u << 24) | next_id++, entity, flags, index, {}});
        // Sensor source to nvcsi sink, nvcsi source to vi-output sink.
        const bool broken = std::ranges::count(options.broken, k) > 0;
        for (std::size_t sink = first; options.with_data_links && sink < first + (broken ? 2 : 4); sink += 2)
            add_link(media.pads[sink + 1].id, media.pads[sink].id, MEDIA_LNK_FL_ENABLED);
        // Each device node has its sysfs uevent file and is linked to its entity as the V4L2 core
        // does it: enabled and immutable.
        const unsigned unit = options.number + k;
        const std::string names[] = {"v4l-subdev" + std::to_string(unit * 2), "v4l-subdev" + std::to_string(unit * 2 + 1),
                                     "video" + std::to_string(unit)};
        const std::uint32_t chain[] = {sensor, csi, video};
        for (unsigned role = options.sensor_has_node ? 0 : 1; role < 3; ++role) {
            const std::string minor = std::to_string(next_minor), name = names[role];
            nodes["/dev/" + name];
            files["/sys/dev/char/81:" + minor + "/uevent"] = "MAJOR=81\nMINOR=" + minor + "\nDEVNAME=" + name + "\n";
            media.interfaces.push_back({(3u << 24) | next_id++, MEDIA_INTF_T_V4L_VIDEO, 0, {}, {}});
            media.interfaces.back().devnode = {81, next_minor++};
            add_link(media.interfaces.back().id, chain[role], MEDIA_LNK_FL_INTERFACE_LINK | MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE);
        }
        // The vi-output node carries the sensor's controls too, as the Jetson video driver does.
        const simulated_control mode{sensor_mode_control, "Sensor Modes", {}};
        if (options.sensor_has_node)
            nodes["/dev/" + names[0]].controls = {{0x00980900, "Brightness", {}}, mode};
        nodes["/dev/" + names[2]].queue.emplace();
        nodes["/dev/" + names[2]].controls = {mode, {0x009a2063, "Preferred Stride Mode", {}}, {preferred_stride_control, "Preferred Stride", {}}};
    }
}

bool simulated_kernel::take_fault(kernel_call call, unsigned long request) {
    const auto found = std::find_if(faults.begin(), faults.end(), [&](const fault& f) {
        return f.call == call && (f.request == 0 || f.request == request);
    });
    if (found == faults.end() || found->skip-- > 0)
        return false;
    errno = found->error;
    if (--found->times <= 0)
        faults.erase(found);
    return true;
}

int simulated_kernel::open(const char* path, int flags) {
    // A device left open in a child process would be busy for the next open in this one.
    EXPECT_TRUE(flags & O_CLOEXEC) << path << " opened without O_CLOEXEC";
    const auto found = nodes.find(path);
    if (take_fault(kernel_call::open))
        return -1;
    if (found == nodes.end())
        return fail(ENOENT);
    descriptors[next_fd] = &found->second;
    return next_fd++;
}

int simulated_kernel::close(int fd) {
    if (!descriptors.contains(fd))
        return fail(EBADF);
    // Closing the descriptor that owns the buffers stops streaming and frees them.
    std::optional<simulated_queue>& queue = descriptors[fd]->queue;
    if (queue && queue->owner_fd == fd) {
        take_buffers_back(*queue);
        queue->memory.clear();
        queue->owner_fd = -1;
    }
    return descriptors.erase(fd), 0;
}

int simulated_kernel::ioctl(int fd, unsigned long request, void* arg) {
    ++ioctls[request];
    if (take_fault(kernel_call::ioctl, request))
        return -1;
    if (!descriptors.contains(fd))
        return fail(EBADF);
    simulated_node& device = *descriptors[fd];
    if (!device.entities.empty())
        return media_ioctl(device, request, arg);
    if (request == VIDIOC_QUERYCTRL || request == VIDIOC_S_CTRL)
        return control_ioctl(device.controls, request, arg);
    // A sub-device takes any pad format.
    return device.queue ? queue_ioctl(device, fd, request, arg) : request == VIDIOC_SUBDEV_S_FMT ? 0 : fail(ENOTTY);
}

void* simulated_kernel::mmap(void*, std::size_t length, int, int, int fd, off_t offset) {
    simulated_queue* queue = descriptors.contains(fd) && descriptors[fd]->queue ? &*descriptors[fd]->queue : nullptr;
    const auto index = static_cast<std::size_t>(offset / offset_step);
    if (take_fault(kernel_call::mmap))
        return MAP_FAILED;
    if (queue == nullptr || queue->owner_fd != fd || offset % offset_step != 0 || index >= queue->memory.size() ||
        length > queue->memory[index].size())
        return (errno = EINVAL, MAP_FAILED);
    mappings[queue->memory[index].data()] = length;
    return queue->memory[index].data();
}

int simulated_kernel::munmap(void* address, std::size_t length) {
    return mappings.contains(address) && mappings[address] == length ? (mappings.erase(address), 0) : fail(EINVAL);
}

// Nobody else moves time on: a wait without a frame ends at its timeout at once.
int simulated_kernel::poll(pollfd* fds, nfds_t, int timeout_ms) {
    poll_timeouts.push_back(timeout_ms);
    if (take_fault(kernel_call::poll))
        return errno == 0 ? fds->revents = 0 : -1;
    simulated_queue& queue = descriptors.at(fds->fd)->queue.value();
    fill_buffers(queue);
    // videobuf2 reports a queue that is not streaming as an error.
    fds->revents = !queue.streaming ? POLLERR : queue.done.empty() ? 0 : POLLIN;
    return fds->revents != 0;
}

int simulated_kernel::list_directory(const std::string& path, std::vector<std::string>& names) {
    return directories.contains(path) ? (names = directories[path], 0) : fail(ENOENT);
}

int simulated_kernel::read_text_file(const std::string& path, std::string& content) {
    return files.contains(path) ? (content = files[path], 0) : fail(ENOENT);
}

}  // namespace vorlake::tessaro::test_support

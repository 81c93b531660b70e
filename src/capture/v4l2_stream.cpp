#include "capture/v4l2_stream.hpp"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

#include "capture/kernel_calls.hpp"
#include "capture/stream_timing.hpp"
#include "messages/message_output.hpp"

namespace vorlake::tessaro {

static_assert(sizeof(v4l2_requestbuffers) == 20);
#if __SIZEOF_POINTER__ == 8
static_assert(sizeof(v4l2_buffer) == 88);
#endif

namespace {

using steady = std::chrono::steady_clock;

// A signal must not end a device request: repeat it until it gives a real answer.
int ioctl_retrying(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = kernel().ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

// Rounded up, so that a wait never ends before the deadline; 0 once it has passed.
std::chrono::milliseconds::rep milliseconds_until(steady::time_point deadline) {
    const auto left = deadline - steady::now();
    if (left <= steady::duration::zero())
        return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(left).count();
}

}  // namespace

v4l2_stream::v4l2_stream(std::uint32_t buffer_type, std::string device_path, std::string name)
    : buffer_type(buffer_type), device_path(std::move(device_path)), name(std::move(name)) {}

int v4l2_stream::open() {
    if (fd) {
        write_message(message_stream::standard_error, message_severity::info,
                      name + ": already opened ");
        return 0;
    }

    unique_fd opened;
    do {
        opened = open_device(device_path, O_RDWR | O_NONBLOCK);
    } while (!opened && errno == EINTR);
    if (!opened) {
        const int error = errno;
        write_message(message_stream::standard_error, message_severity::error,
                      name + ": - cannot open " + device_path + ": " + std::to_string(error) + ", " +
                          std::strerror(error));
        return -error;
    }
    fd = std::move(opened);

    if (!buffers_mapped) {
        const int result = set_up_buffers();
        if (result != 0) {
            close();
            return result;
        }
        buffers_mapped = true;
    }
    return 0;
}

int v4l2_stream::set_up_buffers() {
    v4l2_requestbuffers request{};
    request.count = max_buffers;
    request.type = buffer_type;
    request.memory = V4L2_MEMORY_MMAP;
    if (ioctl_retrying(fd.get(), VIDIOC_REQBUFS, &request) < 0)
        return -errno;
    if (request.count == 0 || request.count > max_buffers)
        return -ENOMEM;
    buffer_count = request.count;

    for (std::uint32_t index = 0; index < buffer_count; ++index) {
        v4l2_buffer query = mmap_buffer(index);
        if (ioctl_retrying(fd.get(), VIDIOC_QUERYBUF, &query) < 0)
            return -errno;
        buffers[index] = unique_mapping(kernel().mmap(nullptr, query.length, PROT_READ | PROT_WRITE,
                                                      MAP_SHARED, fd.get(), query.m.offset),
                                        query.length);
        if (!buffers[index]) {
            const int error = errno;
            write_message(message_stream::standard_error, message_severity::error,
                          "Failed to mmap buffers for " + name + ": " + std::strerror(error));
            return -error;
        }
    }

    return queue_all_buffers();
}

v4l2_buffer v4l2_stream::mmap_buffer(std::uint32_t index) const {
    v4l2_buffer buffer{};
    buffer.index = index;
    buffer.type = buffer_type;
    buffer.memory = V4L2_MEMORY_MMAP;
    return buffer;
}

int v4l2_stream::queue_buffer(std::uint32_t index) {
    v4l2_buffer buffer = mmap_buffer(index);
    return ioctl_retrying(fd.get(), VIDIOC_QBUF, &buffer) < 0 ? -errno : 0;
}

int v4l2_stream::requeue(std::uint32_t index) {
    const int result = queue_buffer(index);
    requeue_pending[index] = result != 0;
    return result;
}

int v4l2_stream::queue_all_buffers() {
    for (std::uint32_t index = 0; index < buffer_count; ++index) {
        const int result = queue_buffer(index);
        if (result != 0)
            return result;
    }
    buffers_queued = true;
    return 0;
}

std::size_t v4l2_stream::requeue_refused() {
    std::size_t refused = 0;
    for (std::uint32_t index = 0; index < buffer_count; ++index) {
        if (requeue_pending[index])
            refused += requeue(index) != 0;
    }
    return refused;
}

int v4l2_stream::restore_queue() {
    if (!restart_pending) {
        if (!buffers_queued)
            return 0;  // stopped: start queues every buffer
        // A lost buffer has no index to queue it by; once the driver holds none, only a restart
        // gives them all back.
        const std::size_t away = buffers_lost + requeue_refused();
        if (buffers_lost == 0 || away < buffer_count || !stream_off())
            return 0;
    }
    // The camera still counts this stream as streaming: a failed restart is tried again at the
    // next read rather than leaving every read to fail until the camera is restarted.
    const int result = start();
    restart_pending = result != 0;
    if (result != 0)
        write_message(message_stream::standard_error, message_severity::error,
                      name + ": cannot restart streaming: error #" + std::to_string(result));
    return result;
}

bool v4l2_stream::stream_off() {
    std::uint32_t type = buffer_type;
    if (ioctl_retrying(fd.get(), VIDIOC_STREAMOFF, &type) != 0)
        return false;
    buffers_queued = false;
    requeue_pending = {};
    buffers_lost = 0;
    return true;
}

void v4l2_stream::close() { release(); }

// Closing the descriptor hands the driver's buffers back; no stream-off is needed first.
void v4l2_stream::release() {
    for (unique_mapping& entry : buffers)
        entry.reset();
    fd.reset();
    buffers_mapped = false;
    buffers_queued = false;
    buffer_count = 0;
    requeue_pending = {};
    buffers_lost = 0;
    restart_pending = false;
}

int v4l2_stream::start() {
    if (!fd || !buffers_mapped)
        return -EACCES;
    if (!buffers_queued) {
        if (const int result = queue_all_buffers(); result != 0) {
            // The driver keeps what was queued before the failure, and would refuse it the next
            // time round: take it back.
            stream_off();
            return result;
        }
    } else {
        requeue_refused();
    }
    std::uint32_t type = buffer_type;
    return ioctl_retrying(fd.get(), VIDIOC_STREAMON, &type) < 0 ? -errno : 0;
}

// Stream-off hands every buffer back to us, so the next start must queue them again.
void v4l2_stream::stop() {
    restart_pending = false;
    if (fd)
        stream_off();
}

int v4l2_stream::read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) {
    if (!fd || !buffers_mapped)
        return -EACCES;
    if (const int restored = restore_queue(); restored != 0)
        return restored;

    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    auto left_ms = milliseconds_until(deadline);
    v4l2_buffer frame{};
    for (;;) {
        // poll takes an int: a longer wait is made in steps.
        pollfd watched{fd.get(), POLLIN, 0};
        const int wait_ms = static_cast<int>(std::min<decltype(left_ms)>(left_ms, INT_MAX));
        const int ready = kernel().poll(&watched, 1, wait_ms);
        if (ready == 0 && left_ms <= INT_MAX)
            return -ETIME;
        if (ready < 0 && errno != EINTR)
            return -errno;
        if (ready > 0) {
            frame = mmap_buffer(0);
            if (kernel().ioctl(fd.get(), VIDIOC_DQBUF, &frame) == 0)
                break;
            if (errno != EAGAIN && errno != EINTR)
                return -errno;
        }
        if (steady::now() >= deadline)
            return -ETIME;
        left_ms = milliseconds_until(deadline);
    }

    if (frame.index >= buffer_count) {
        ++buffers_lost;
        return -EIO;
    }
    const unique_mapping& entry = buffers[frame.index];
    // A buffer the driver flags as failed holds no frame worth decoding.
    if ((frame.flags & V4L2_BUF_FLAG_ERROR) || !entry || frame.bytesused > entry.size()) {
        requeue(frame.index);
        return -EIO;
    }

    const auto* bytes = static_cast<const std::uint8_t*>(entry.data());
    try {
        buffer.assign(bytes, bytes + frame.bytesused);
    } catch (...) {
        requeue(frame.index);
        throw;
    }
    last_timing = timing_of_buffer(frame);
    return requeue(frame.index);
}

}  // namespace vorlake::tessaro

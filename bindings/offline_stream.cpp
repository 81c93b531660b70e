#include "offline_stream.hpp"

#include <cerrno>
#include <utility>

#include "buffer_exports.hpp"
#include "capture/stream_timing.hpp"

namespace vorlake::tessaro::python {

namespace py = pybind11;

namespace {

using byte_array = py::array_t<std::uint8_t, py::array::c_style>;

// The array offered for the first frame, before any frame size is known.
constexpr py::ssize_t first_array_size = 1000;

class offline_stream final : public camera_stream {
public:
    explicit offline_stream(frame_source source) : callback(std::move(source)) {}

    int open() override { return 0; }
    void close() override {}
    int start() override { clock.restart(); return 0; }
    void stop() override {}

    // Without a callable there is nothing to read: the camera then leaves an embedded-data
    // stream alone, while an image stream still fails its reads.
    bool has_source() const override { return static_cast<bool>(callback); }

    // The array is sized like the previous frame this stream delivered, so a source of
    // constant-size frames is asked once per frame; only a larger frame takes a second call. The
    // camera compacts a padded frame in the buffer, so the buffer's size is not what was delivered.
    int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) override {
        py::ssize_t size = buffer.empty() ? first_array_size : static_cast<py::ssize_t>(buffer.size());
        if (!buffer.empty() && delivered_size > 0)
            size = delivered_size;
        for (int call = 0; call < 2; ++call) {
            byte_array array(size);
            const int needed = callback(array, timeout_ms);
            if (needed < 0)
                return needed;
            if (needed == 0)
                return -ETIME;
            // The callable holds the array too and may have resized it; its current size counts.
            if (needed <= array.size()) {
                // The callable may have taken a buffer of the very bytes it is about to replace.
                if (static_cast<std::size_t>(needed) > buffer.capacity())
                    detach_exported_storage(buffer);
                const std::uint8_t* data = array.data();
                buffer.assign(data, data + needed);
                delivered_size = needed;
                delivered = clock.deliver();
                return 0;
            }
            size = needed;
        }
        return -EOVERFLOW;
    }

    capture_timing last_capture_timing() const override { return delivered; }

private:
    frame_source callback;
    py::ssize_t delivered_size = 0;  // size of the last frame read, 0 before the first
    delivery_clock clock;
    capture_timing delivered;
};

}  // namespace

std::unique_ptr<camera_stream> make_offline_stream(frame_source source) {
    return std::make_unique<offline_stream>(std::move(source));
}

}  // namespace vorlake::tessaro::python

#include "offline_stream.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <unordered_map>
#include <utility>

#include <pybind11/functional.h>

#include "buffer_exports.hpp"
#include "capture/stream_timing.hpp"
#include "lent_frame_memory.hpp"

namespace vorlake::tessaro::python {

namespace py = pybind11;

namespace {

using byte_array = py::array_t<std::uint8_t, py::array::c_style>;

// The array offered for the first frame, before any frame size is known.
constexpr py::ssize_t first_array_size = 1000;

// Shared with the table below, which the collector reaches it through.
using shared_source = std::shared_ptr<frame_source>;

class offline_stream final : public camera_stream {
public:
    explicit offline_stream(shared_source source) : callback(std::move(source)) {}

    int open() override { return 0; }
    void close() override {}
    int start() override { clock.restart(); return 0; }
    void stop() override {}

    // Without a callable there is nothing to read: the camera then leaves an embedded-data
    // stream alone, while an image stream still fails its reads.
    bool has_source() const override { return static_cast<bool>(*callback); }

    // The array is sized like the previous frame this stream delivered, so a source of
    // constant-size frames is asked once per frame; only a larger frame takes a second call. The
    // camera compacts a padded frame in the buffer, so the buffer's size is not what was delivered.
    // The camera may be waiting without the interpreter lock: the read takes it for itself.
    int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) override {
        py::gil_scoped_acquire gil;
        py::ssize_t size = buffer.empty() ? first_array_size : static_cast<py::ssize_t>(buffer.size());
        if (!buffer.empty() && delivered_size > 0)
            size = delivered_size;
        for (int call = 0; call < 2; ++call) {
            // A new array of numpy's own each time: whatever the source does with it (keep it,
            // resize it, write to it later) stays away from the camera's memory. Its memory
            // becomes the buffer when the source let go of it; otherwise the frame is copied.
            byte_array array = lender.lend(size);
            const int needed = (*callback)(array, timeout_ms);
            if (needed < 0)
                return needed;
            if (needed == 0)
                return -ETIME;
            // The source may have resized the array in place: what it holds now is what counts.
            const py::ssize_t held = written_size(array);
            if (needed <= held) {
                if (!lender.take_back(array, buffer, static_cast<std::size_t>(needed)))
                    take_over(buffer, array, static_cast<std::size_t>(needed));
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
    // The bytes the array's memory holds from its start, or 0 when its layout no longer lets
    // them be read as one run.
    static py::ssize_t written_size(const byte_array& array) {
        return (array.flags() & py::array::c_style) != 0 ? array.nbytes() : 0;
    }

    // The buffer is not touched until a frame has arrived: a failed call, or one that asks for a
    // larger array, leaves the previous frame as it was.
    static void take_over(std::vector<std::uint8_t>& buffer, const byte_array& array, std::size_t size) {
        // Buffers Python took of the previous frame's bytes keep those bytes.
        detach_exported_storage(buffer);
        const auto* bytes = static_cast<const std::uint8_t*>(array.data());
        buffer.assign(bytes, bytes + size);
    }

    shared_source callback;
    frame_memory_lender lender;
    py::ssize_t delivered_size = 0;  // size of the last frame read, 0 before the first
    delivery_clock clock;
    capture_timing delivered;
};

// The sources of the offline streams each camera was given, per slot; an entry expires with its
// stream. Used under the interpreter lock only.
using slot_sources = std::array<std::weak_ptr<frame_source>, 2>;
std::unordered_map<const camera*, slot_sources>& sources_by_camera() {
    static auto* table = new std::unordered_map<const camera*, slot_sources>();
    return *table;
}

// The Python callable a source holds a reference to, if it holds one: the function caster wraps
// every callable but a native function of the exact signature, which it calls directly.
PyObject* callable_of(const frame_source& source) {
    using wrapper = py::detail::type_caster_std_function_specializations::func_wrapper<
        int, byte_array, unsigned int>;
    const auto* wrapped = source.target<wrapper>();
    return wrapped ? wrapped->hfunc.f.ptr() : nullptr;
}

}  // namespace

void add_offline_stream(camera& owner, stream_type type, frame_source source) {
    auto shared = std::make_shared<frame_source>(std::move(source));
    const auto slot = static_cast<std::size_t>(type);
    auto& table = sources_by_camera();
    if (slot < slot_sources{}.size()) {
        // Cameras that are gone leave entries whose sources have all expired.
        if (!table.contains(&owner))
            std::erase_if(table, [](const auto& entry) {
                return entry.second[0].expired() && entry.second[1].expired();
            });
        table[&owner][slot] = shared;
    }
    owner.add_stream(type, std::make_unique<offline_stream>(std::move(shared)));
}

int visit_sources(const camera& owner, visitproc visit, void* arg) {
    const auto found = sources_by_camera().find(&owner);
    if (found == sources_by_camera().end())
        return 0;
    for (const auto& weak : found->second) {
        if (const shared_source source = weak.lock())
            Py_VISIT(callable_of(*source));
    }
    return 0;
}

void clear_sources(const camera& owner) {
    const auto found = sources_by_camera().find(&owner);
    if (found == sources_by_camera().end())
        return;
    for (const auto& weak : found->second) {
        if (const shared_source source = weak.lock()) {
            frame_source dropped = std::move(*source);
            *source = nullptr;
        }
    }
}

}  // namespace vorlake::tessaro::python

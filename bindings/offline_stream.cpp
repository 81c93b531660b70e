#include "offline_stream.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <unordered_map>
#include <utility>

#include <pybind11/functional.h>

#include "buffer_exports.hpp"
#include "capture/stream_timing.hpp"

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
    int read_frame(std::vector<std::uint8_t>& buffer, unsigned int timeout_ms) override {
        py::ssize_t size = buffer.empty() ? first_array_size : static_cast<py::ssize_t>(buffer.size());
        if (!buffer.empty() && delivered_size > 0)
            size = delivered_size;
        for (int call = 0; call < 2; ++call) {
            const int needed = (*callback)(offer(size, buffer.capacity()), timeout_ms);
            if (needed < 0)
                return needed;
            if (needed == 0)
                return -ETIME;
            if (needed <= size) {
                take_over(buffer, static_cast<std::size_t>(needed));
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
    using storage = std::vector<std::uint8_t>;

    // The source writes straight into the spare, which then trades places with the buffer, so a
    // frame is copied only by the source. The buffer is not touched until a frame has arrived:
    // a failed call, or one that asks for a larger array, leaves the previous frame as it was.
    // The array owns a share of the spare, so a source may keep it past the call, the stream or
    // the camera; such a spare is left to the array and the next call gets a new one.
    byte_array offer(py::ssize_t size, std::size_t capacity) {
        if (!spare || spare.use_count() > 1)
            spare = std::make_shared<storage>();
        // After the trade the buffer has the spare's capacity: never less than it had.
        spare->reserve(std::max(capacity, static_cast<std::size_t>(size)));
        spare->resize(static_cast<std::size_t>(size));
        auto share = std::make_unique<std::shared_ptr<storage>>(spare);
        py::capsule owner(share.get(), [](void* p) { delete static_cast<std::shared_ptr<storage>*>(p); });
        share.release();
        return byte_array({size}, {py::ssize_t{1}}, spare->data(), owner);
    }

    void take_over(storage& buffer, std::size_t size) {
        // Buffers Python took of the previous frame's bytes during the call keep those bytes.
        detach_exported_storage(buffer);
        if (spare.use_count() == 1) {
            spare->resize(size);
            buffer.swap(*spare);
        } else {
            buffer.assign(spare->begin(), spare->begin() + static_cast<std::ptrdiff_t>(size));
            spare.reset();
        }
    }

    shared_source callback;
    std::shared_ptr<storage> spare;  // what the next array shows; null until the first call
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

#include "camera_gate.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace vorlake::tessaro::python {

class camera_gate {
public:
    explicit camera_gate(const std::shared_ptr<camera>& owner) : owner(owner) {}

    std::mutex inside;                   // held by the thread inside the camera
    std::atomic<bool> release_lock{false};
    std::weak_ptr<camera> owner;         // tells a gone camera's gate from one at the same address
};

namespace {

// One gate per camera, for as long as the camera lives: its setting lives as long too.
std::mutex table_mutex;
std::unordered_map<const camera*, std::shared_ptr<camera_gate>>& gates() {
    static auto* table = new std::unordered_map<const camera*, std::shared_ptr<camera_gate>>();
    return *table;
}

std::shared_ptr<camera_gate> gate_of(const std::shared_ptr<camera>& owner) {
    std::lock_guard lock(table_mutex);
    auto& table = gates();
    const auto found = table.find(owner.get());
    if (found != table.end() && !found->second->owner.expired())
        return found->second;
    // Gates of cameras that are gone go when a new camera needs one.
    std::erase_if(table, [](const auto& entry) { return entry.second->owner.expired(); });
    return table[owner.get()] = std::make_shared<camera_gate>(owner);
}

// The cameras this thread is inside, innermost last, with the operation it is running there.
struct stay {
    const camera_gate* gate;
    const char* operation;
};
thread_local std::vector<stay> stays;

[[noreturn]] void refuse_reentry(const camera& owner, const char* operation, const char* outer) {
    throw std::runtime_error("camera '" + owner.get_camera_info().id + "': " + operation +
                             " re-enters the camera from inside its own " + outer +
                             " (its frame source, say); a camera runs one operation at a time");
}

}  // namespace

bool releases_interpreter_lock(const std::shared_ptr<camera>& owner) {
    return gate_of(owner)->release_lock.load();
}

void set_releases_interpreter_lock(const std::shared_ptr<camera>& owner, bool release) {
    gate_of(owner)->release_lock.store(release);
}

gated_scope::gated_scope(const std::shared_ptr<camera>& owner, const char* operation) : gate(gate_of(owner)) {
    const auto outer = std::find_if(stays.begin(), stays.end(),
                                    [this](const stay& s) { return s.gate == gate.get(); });
    if (outer != stays.end())
        refuse_reentry(*owner, operation, outer->operation);
    stays.reserve(stays.size() + 1);
    if (!gate->inside.try_lock()) {
        // Another thread is inside: wait for it without the interpreter lock, which it may need
        // to finish.
        auto wait = [this] { gate->inside.lock(); };
        without_interpreter_lock(wait);
    }
    stays.push_back({gate.get(), operation});
}

gated_scope::~gated_scope() {
    stays.pop_back();
    gate->inside.unlock();
}

bool gated_scope::releases_lock() const { return gate->release_lock.load(); }

}  // namespace vorlake::tessaro::python

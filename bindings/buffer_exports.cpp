#include "buffer_exports.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <unordered_map>

#include <pybind11/pybind11.h>

namespace vorlake::tessaro::python {

namespace {

// Storage a vector has moved away from while buffers still pointed into it.
struct retired_storage {
    std::shared_ptr<const void> storage;
    const void* data;
    std::size_t exports;
};

struct export_record {
    std::size_t exports = 0;  // buffers of the vector's current storage
    std::vector<retired_storage> retired;
};

// Keyed by the address of the vector. An exported buffer keeps its vector object, and through it
// the vector, alive, so an address cannot be reused while it has a record here. Only touched
// with the interpreter lock held; a record goes with the last release of its buffers.
// Never destroyed, since buffers may still be released while the interpreter shuts down.
std::unordered_map<const void*, export_record>& export_table() {
    static auto* table = new std::unordered_map<const void*, export_record>;
    return *table;
}

}  // namespace

void note_buffer_exported(const void* vector) { ++export_table()[vector].exports; }

void note_buffer_released(const void* vector, const void* data) {
    auto& table = export_table();
    auto found = table.find(vector);
    if (found == table.end())
        return;
    export_record& record = found->second;
    // Retired storage is still allocated, so no current storage can share its address.
    auto retired = std::find_if(record.retired.begin(), record.retired.end(),
                                [data](const retired_storage& r) { return r.data == data; });
    if (retired != record.retired.end()) {
        if (--retired->exports == 0)
            record.retired.erase(retired);
    } else if (record.exports > 0) {
        --record.exports;
    }
    if (record.exports == 0 && record.retired.empty())
        table.erase(found);
}

void refuse_resize_while_exported(const void* vector) {
    auto& table = export_table();
    auto found = table.find(vector);
    if (found != table.end() && found->second.exports > 0)
        throw pybind11::buffer_error("Existing exports of data: object cannot be re-sized");
}

void detach_exported_storage(std::vector<std::uint8_t>& bytes) {
    auto found = export_table().find(&bytes);
    if (found == export_table().end() || found->second.exports == 0)
        return;
    // Everything that can throw happens before the storage changes hands, so that a failed
    // allocation never frees what the buffers point into.
    export_record& record = found->second;
    record.retired.reserve(record.retired.size() + 1);
    std::vector<std::uint8_t> copy;
    copy.reserve(bytes.capacity());
    copy.assign(bytes.begin(), bytes.end());
    const void* data = bytes.data();
    auto storage = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
    record.retired.push_back({std::move(storage), data, record.exports});
    record.exports = 0;
    bytes = std::move(copy);
}

}  // namespace vorlake::tessaro::python

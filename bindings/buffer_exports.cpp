#include "buffer_exports.hpp"

#include <cstddef>
#include <unordered_map>

#include <pybind11/pybind11.h>

namespace vorlake::tessaro::python {

namespace {

struct export_record {
    std::size_t count = 0;
    // Storage that a vector has moved away from while buffers still pointed into it.
    std::vector<std::shared_ptr<const void>> retired;
};

// Keyed by the address of the vector. An exported buffer keeps its vector object, and through it
// the vector, alive, so an address cannot be reused while it has a record here. Only touched
// with the interpreter lock held; a record and its retired storage go with the last release.
// Never destroyed, since buffers may still be released while the interpreter shuts down.
std::unordered_map<const void*, export_record>& export_table() {
    static auto* table = new std::unordered_map<const void*, export_record>;
    return *table;
}

}  // namespace

void note_buffer_exported(const void* vector) { ++export_table()[vector].count; }

void note_buffer_released(const void* vector) {
    auto& table = export_table();
    auto found = table.find(vector);
    if (found != table.end() && --found->second.count == 0)
        table.erase(found);
}

bool has_exported_buffers(const void* vector) { return export_table().contains(vector); }

void refuse_resize_while_exported(const void* vector) {
    if (has_exported_buffers(vector))
        throw pybind11::buffer_error("Existing exports of data: object cannot be re-sized");
}

void detach_exported_storage(std::vector<std::uint8_t>& bytes) {
    auto found = export_table().find(&bytes);
    if (found == export_table().end())
        return;
    // Everything that can throw happens before the storage changes hands, so that a failed
    // allocation never frees what the buffers point into.
    auto& retired = found->second.retired;
    retired.reserve(retired.size() + 1);
    std::vector<std::uint8_t> fresh;
    fresh.reserve(bytes.capacity());
    fresh.assign(bytes.begin(), bytes.end());
    retired.push_back(std::make_shared<std::vector<std::uint8_t>>(std::move(bytes)));
    bytes = std::move(fresh);
}

}  // namespace vorlake::tessaro::python

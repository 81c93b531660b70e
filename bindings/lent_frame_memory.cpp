#include "lent_frame_memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "buffer_exports.hpp"

namespace vorlake::tessaro::python {

namespace py = pybind11;

namespace {

// numpy's memory handler, version 1, as its C API defines it (PyDataMem_Handler); the layout is
// part of numpy's ABI.
struct numpy_allocator {
    void* context;
    void* (*allocate)(void* context, std::size_t size);
    void* (*allocate_zeroed)(void* context, std::size_t count, std::size_t size);
    void* (*reallocate)(void* context, void* data, std::size_t size);
    void (*release)(void* context, void* data, std::size_t size);
};

struct numpy_memory_handler {
    char name[127];
    std::uint8_t version;
    numpy_allocator allocator;
};

// Slots of numpy's C API table (numpy/__multiarray_api.h); the handler functions came with
// feature version 0xf (numpy 1.22).
constexpr std::size_t get_feature_version_slot = 211;
constexpr std::size_t set_handler_slot = 304;
constexpr unsigned int handler_feature_version = 0xf;

// Memory lent to arrays, by address. On loan: a lender's spare vector, its size. Held: a spare
// vector whose array outlived the call it was made for, kept until numpy frees the array. Behind
// a mutex rather than the interpreter lock, so that a lender can go without taking it.
struct loan_book {
    std::mutex mutex;
    void* armed = nullptr;  // the memory the next allocation takes, for at most armed_size bytes
    std::size_t armed_size = 0;
    std::unordered_map<const void*, std::size_t> on_loan;
    std::unordered_map<const void*, std::unique_ptr<std::vector<std::uint8_t>>> held;

    // The size of lent memory, 0 when `data` is not lent.
    std::size_t lent_size(const void* data) {
        if (const auto found = on_loan.find(data); found != on_loan.end())
            return found->second;
        if (const auto found = held.find(data); found != held.end())
            return found->second->size();
        return 0;
    }

    // Ends the loan of lent memory; false when `data` was not lent.
    bool give_back(const void* data) { return on_loan.erase(data) > 0 || held.erase(data) > 0; }
};

// Never destroyed: numpy may free an array during interpreter shutdown.
loan_book& book() {
    static auto* loans = new loan_book;
    return *loans;
}

void* allocate(void*, std::size_t size) {
    loan_book& loans = book();
    const std::lock_guard lock(loans.mutex);
    if (loans.armed != nullptr && size <= loans.armed_size) {
        void* data = std::exchange(loans.armed, nullptr);
        loans.on_loan.emplace(data, loans.armed_size);
        return data;
    }
    return std::malloc(std::max<std::size_t>(size, 1));
}

void* allocate_zeroed(void*, std::size_t count, std::size_t size) {
    return std::calloc(std::max<std::size_t>(count, 1), std::max<std::size_t>(size, 1));
}

// Lent memory is never reallocated in place: an array that grows or shrinks moves to memory of
// its own, and the loan ends.
void* reallocate(void*, void* data, std::size_t size) {
    loan_book& loans = book();
    const std::lock_guard lock(loans.mutex);
    const std::size_t lent = loans.lent_size(data);
    if (lent == 0)
        return std::realloc(data, std::max<std::size_t>(size, 1));
    void* moved = std::malloc(std::max<std::size_t>(size, 1));
    if (moved == nullptr)
        return nullptr;
    std::memcpy(moved, data, std::min(size, lent));
    loans.give_back(data);
    return moved;
}

void release(void*, void* data, std::size_t) {
    loan_book& loans = book();
    const std::lock_guard lock(loans.mutex);
    if (!loans.give_back(data))
        std::free(data);
}

numpy_memory_handler lending_handler = {
    "tessaro_frame_memory", 1, {nullptr, allocate, allocate_zeroed, reallocate, release}};

using set_handler_function = PyObject* (*)(PyObject*);

// numpy's handler setter and the capsule of the lending handler, or null when this numpy has no
// handlers: then every frame is copied.
struct numpy_handlers {
    set_handler_function set_handler = nullptr;
    PyObject* capsule = nullptr;
};

const numpy_handlers& handlers() {
    static const numpy_handlers found = [] {
        numpy_handlers h;
        const py::module_ multiarray = py::detail::import_numpy_core_submodule("multiarray");
        const py::object api = multiarray.attr("_ARRAY_API");
        auto** table = static_cast<void**>(PyCapsule_GetPointer(api.ptr(), nullptr));
        if (table == nullptr) {
            PyErr_Clear();
            return h;
        }
        const auto feature_version = reinterpret_cast<unsigned int (*)()>(table[get_feature_version_slot]);
        if (feature_version() < handler_feature_version)
            return h;
        h.set_handler = reinterpret_cast<set_handler_function>(table[set_handler_slot]);
        // numpy takes a handler only in a capsule of this name.
        h.capsule = py::capsule(&lending_handler, "mem_handler").release().ptr();
        return h;
    }();
    return found;
}

// The lending handler is numpy's current one for the life of this guard, and `data` the memory
// the first allocation meanwhile takes.
class lending_scope {
public:
    lending_scope(const numpy_handlers& h, void* data, std::size_t size) : set_handler(h.set_handler) {
        previous = set_handler(h.capsule);
        if (previous == nullptr)
            throw py::error_already_set();
        const std::lock_guard lock(book().mutex);
        book().armed = data;
        book().armed_size = size;
    }

    ~lending_scope() {
        {
            const std::lock_guard lock(book().mutex);
            book().armed = nullptr;
        }
        PyObject* ours = set_handler(previous);
        Py_XDECREF(ours);
        Py_DECREF(previous);
        if (ours == nullptr)
            PyErr_Clear();
    }

    lending_scope(const lending_scope&) = delete;
    lending_scope& operator=(const lending_scope&) = delete;

private:
    set_handler_function set_handler;
    PyObject* previous = nullptr;
};

// A spare vector still on loan after its call (the source kept the array) stays with the array.
void hand_over_if_lent(std::vector<std::uint8_t>& spare) {
    if (spare.empty())
        return;
    loan_book& loans = book();
    const std::lock_guard lock(loans.mutex);
    const void* data = spare.data();
    if (loans.on_loan.erase(data) == 0)
        return;
    loans.held.emplace(data, std::make_unique<std::vector<std::uint8_t>>(std::move(spare)));
    spare = {};
}

}  // namespace

frame_memory_lender::byte_array frame_memory_lender::lend(py::ssize_t size) {
    hand_over_if_lent(spare);
    const numpy_handlers& h = handlers();
    if (h.set_handler == nullptr || size <= 0)
        return byte_array(size);
    if (spare.size() < static_cast<std::size_t>(size))
        spare.resize(static_cast<std::size_t>(size));
    const lending_scope scope(h, spare.data(), spare.size());
    return byte_array(size);
}

bool frame_memory_lender::take_back(byte_array& array, std::vector<std::uint8_t>& buffer, std::size_t size) {
    if (spare.empty() || array.data() != spare.data() || Py_REFCNT(array.ptr()) != 1 || !array.owndata() ||
        size > spare.size())
        return false;
    array.release().dec_ref();
    // Buffers Python took of the previous frame's bytes keep those bytes, away from the spare.
    detach_exported_storage(buffer);
    spare.resize(size);
    buffer.swap(spare);
    return true;
}

frame_memory_lender::~frame_memory_lender() { hand_over_if_lent(spare); }

}  // namespace vorlake::tessaro::python

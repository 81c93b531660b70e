// A memory mapping of a device buffer with one owner, unmapped when the owner goes.
#pragma once

#include <cstddef>
#include <utility>

namespace vorlake::tessaro {

// Move-only; unmapping goes through the kernel-call layer. A failed mmap (null or MAP_FAILED)
// holds nothing.
class unique_mapping {
public:
    unique_mapping() = default;
    unique_mapping(void* address, std::size_t length);
    unique_mapping(unique_mapping&& other) noexcept
        : address(std::exchange(other.address, nullptr)), length(std::exchange(other.length, 0)) {}
    unique_mapping& operator=(unique_mapping&& other) noexcept {
        if (this != &other) {
            reset();
            address = std::exchange(other.address, nullptr);
            length = std::exchange(other.length, 0);
        }
        return *this;
    }
    unique_mapping(const unique_mapping&) = delete;
    unique_mapping& operator=(const unique_mapping&) = delete;
    ~unique_mapping() { reset(); }

    const void* data() const { return address; }
    std::size_t size() const { return length; }
    explicit operator bool() const { return address != nullptr; }
    void reset();

private:
    void* address = nullptr;
    std::size_t length = 0;
};

}  // namespace vorlake::tessaro

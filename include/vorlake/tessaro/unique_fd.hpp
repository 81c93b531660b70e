// A device descriptor with one owner, closed when the owner goes.
#pragma once

#include <string>
#include <utility>

namespace vorlake::tessaro {

// Move-only. Closing goes through the library's kernel-call layer, so that a test's scripted
// kernel sees every close.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd(fd < 0 ? -1 : fd) {}
    unique_fd(unique_fd&& other) noexcept : fd(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    // Closes what it holds and takes fd instead.
    void reset(int replacement = -1);
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd, -1); }

private:
    int fd = -1;
};

// Opens a device node. Every device the library opens goes through here, and none is inherited
// by a program that the caller starts: a camera left open in a child would be busy for the next
// open. On failure the result holds nothing and errno tells why.
unique_fd open_device(const std::string& path, int flags);

}  // namespace vorlake::tessaro

// The one place where the library reaches the kernel.
//
// Device code (streams, pipelines, discovery, sensor mode) makes every system call through
// kernel(), so that tests can put a scripted kernel in its place. The layer only forwards:
// retry rules and error mapping belong to its callers.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vorlake::tessaro {

// Every operation follows the system-call convention: a failure returns -1 (MAP_FAILED for
// mmap) and leaves the reason in errno.
class kernel_calls {
public:
    virtual ~kernel_calls() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* mmap(void* address, std::size_t length, int protection, int flags, int fd,
                       off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;
    // Every entry name of a directory, "." and ".." included, in the order the system yields
    // them.
    virtual int list_directory(const std::string& path, std::vector<std::string>& names) = 0;
    // The whole content of a (small, text) file such as a sysfs attribute.
    virtual int read_text_file(const std::string& path, std::string& content) = 0;
};

// The calls in effect: the real system calls unless a test replaced them.
kernel_calls& kernel();

// The real system calls.
kernel_calls& system_kernel_calls();

// Puts another implementation in place for the guard's lifetime and restores the previous one
// afterwards. Guards nest; they must be destroyed in reverse order of creation.
class scoped_kernel_calls {
public:
    explicit scoped_kernel_calls(kernel_calls& replacement);
    ~scoped_kernel_calls();
    scoped_kernel_calls(const scoped_kernel_calls&) = delete;
    scoped_kernel_calls& operator=(const scoped_kernel_calls&) = delete;

private:
    kernel_calls* previous;
};

}  // namespace vorlake::tessaro

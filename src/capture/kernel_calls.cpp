#include "capture/kernel_calls.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace vorlake::tessaro {

namespace {

class system_calls final : public kernel_calls {
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }

    int close(int fd) override { return ::close(fd); }

    int ioctl(int fd, unsigned long request, void* arg) override {
        return ::ioctl(fd, request, arg);
    }

    void* mmap(void* address, std::size_t length, int protection, int flags, int fd,
               off_t offset) override {
        return ::mmap(address, length, protection, flags, fd, offset);
    }

    int munmap(void* address, std::size_t length) override { return ::munmap(address, length); }

    int poll(pollfd* fds, nfds_t count, int timeout_ms) override {
        return ::poll(fds, count, timeout_ms);
    }

    int list_directory(const std::string& path, std::vector<std::string>& names) override {
        DIR* directory = ::opendir(path.c_str());
        if (directory == nullptr)
            return -1;
        names.clear();
        // readdir signals both the end and a failure with null; only errno tells them apart.
        errno = 0;
        while (const dirent* entry = ::readdir(directory)) {
            names.emplace_back(entry->d_name);
            errno = 0;
        }
        const int read_error = errno;
        ::closedir(directory);
        if (read_error != 0) {
            errno = read_error;
            return -1;
        }
        return 0;
    }

    int read_text_file(const std::string& path, std::string& content) override {
        errno = 0;
        std::ifstream file(path);
        if (!file) {
            // The stream library may fail without a system error behind it.
            if (errno == 0)
                errno = EIO;
            return -1;
        }
        std::ostringstream text;
        text << file.rdbuf();
        content = text.str();
        return 0;
    }
};

// The calls in effect. Only a test guard ever changes it.
std::atomic<kernel_calls*>& current_calls() {
    static std::atomic<kernel_calls*> current{&system_kernel_calls()};
    return current;
}

}  // namespace

kernel_calls& system_kernel_calls() {
    // Never destroyed: the process-wide camera manager closes its devices at exit, possibly
    // after every ordinary static object has gone.
    static system_calls& calls = *new system_calls;
    return calls;
}

kernel_calls& kernel() { return *current_calls().load(); }

scoped_kernel_calls::scoped_kernel_calls(kernel_calls& replacement)
    : previous(current_calls().exchange(&replacement)) {}

scoped_kernel_calls::~scoped_kernel_calls() { current_calls().store(previous); }

}  // namespace vorlake::tessaro

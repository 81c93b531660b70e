#include <vorlake/tessaro/unique_fd.hpp>

#include <fcntl.h>
#include <sys/mman.h>

#include "capture/kernel_calls.hpp"
#include "capture/unique_mapping.hpp"

namespace vorlake::tessaro {

void unique_fd::reset(int replacement) {
    if (fd >= 0)
        kernel().close(fd);
    fd = replacement < 0 ? -1 : replacement;
}

unique_fd open_device(const std::string& path, int flags) {
    return unique_fd(kernel().open(path.c_str(), flags | O_CLOEXEC));
}

unique_mapping::unique_mapping(void* address, std::size_t length)
    : address(address == MAP_FAILED ? nullptr : address), length(this->address ? length : 0) {}

void unique_mapping::reset() {
    if (address != nullptr)
        kernel().munmap(address, length);
    address = nullptr;
    length = 0;
}

}  // namespace vorlake::tessaro

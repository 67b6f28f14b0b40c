#include "stdout_writer.hpp"

#include <cerrno>
#include <mutex>
#include <system_error>

#include <unistd.h>

namespace aeso {

namespace {
std::mutex& output_lock() noexcept {
    static std::mutex lock;
    return lock;
}
}  // namespace

int write_piece(int fd, std::string_view text) noexcept {
    std::lock_guard<std::mutex> guard(output_lock());
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // a write that makes no progress would loop forever
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::string describe_os_error(int err) {
    return std::system_category().message(err) + " (os error " + std::to_string(err) + ")";
}

}  // namespace aeso

// Whole-piece writes to a file descriptor, serialised process-wide.
#pragma once

#include <string>
#include <string_view>

namespace aeso {

// Writes every byte of `text` to `fd` while holding one process-wide lock, so
// pieces written by different threads never interleave. Partial writes are
// continued and EINTR is retried. Returns 0, or the errno of the failure.
int write_piece(int fd, std::string_view text) noexcept;

// "Broken pipe (os error 32)": the system's description of an errno value.
std::string describe_os_error(int err);

}  // namespace aeso

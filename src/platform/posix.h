// What the POSIX sources of the seam share: descriptors, retried calls, and
// what the system records of a file. Only the seam's POSIX sources include it.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "platform/files.h"

namespace platform {

inline int fd_of(const File& file) { return static_cast<int>(file.handle()); }

// Makes the call again for as long as a signal interrupts it, and gives what
// the last call gave.
template <typename SystemCall>
auto retrying(SystemCall call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// A name that stays in the directory: no separator, and neither "." nor "..".
inline bool is_plain(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

inline FileId id_of(const struct stat& status) {
    return FileId{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

inline FileStatus status_of(const struct stat& status) {
    const std::int64_t modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    return FileStatus{static_cast<std::int64_t>(status.st_size), id_of(status), modified};
}

inline std::string name_text(std::string_view name) { return std::string(name); }

}  // namespace platform

// The part of the seam that is the same on every platform: owning and opening a file.
#include "platform/platform.h"

namespace platform {

// A file closed by its owner going away has nothing left to report: data that
// matters is closed with close_file() and the result checked before.
File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        static_cast<void>(close_file(*this));
        writes_ = other.writes_;
        handle_ = other.release();
    }
    return *this;
}

File::~File() { static_cast<void>(close_file(*this)); }

std::intptr_t File::release() {
    const std::intptr_t handle = handle_;
    handle_ = invalid_handle;
    return handle;
}

std::optional<File> open_file(const std::string& path, Access access) {
    std::optional<OpenedFile> opened = open_file_with_status(path, access);
    if (!opened) return std::nullopt;
    return std::move(opened->file);
}

}  // namespace platform

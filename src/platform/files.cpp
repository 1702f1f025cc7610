// The part of the seam that is the same on every platform: owning a file, and
// the steps made of the platform's own calls.
#include "platform/files.h"

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

bool is_still(const Directory& directory, std::string_view name, const FileId& id, Links links) {
    const std::optional<FileStatus> status = status_in(directory, name, links);
    return status && status->id == id;
}

bool sync_written_file(const Directory& directory, std::string_view name, const FileId& id) {
    std::optional<OpenedFile> opened = open_in(directory, name, Access::sync);
    if (!opened || opened->status.id != id) return sync_file_system(directory);
    const bool done = sync_file(opened->file);
    return close_file(opened->file) && done;
}

bool cut_back_file(const Directory& directory, std::string_view name, const FileId& id, std::int64_t length) {
    std::optional<OpenedFile> opened = open_in(directory, name, Access::rewrite);
    if (!opened || opened->status.id != id) return false;
    const bool done = truncate_file(opened->file, length) && sync_file(opened->file);
    return close_file(opened->file) && done;
}

std::optional<File> create_own_file(const Directory& directory, std::string_view name) {
    std::optional<OpenedFile> opened = open_in(directory, name, Access::own_new);
    if (!opened) return std::nullopt;
    return std::move(opened->file);
}

bool finish_own_file(const Directory& directory, File& file) {
    const bool synced = sync_file(file);
    return close_file(file) && synced && sync_directory(directory);
}

}  // namespace platform

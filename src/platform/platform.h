// The thin seam between the command and the operating system. Each platform
// implements it in a source file of its own; the build picks one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// Where the writes to a file land: where its position stands, or, for a file
// opened to append, at its end as it is at the moment of each write.
enum class Writes { at_position, at_end };

// An open file. Move-only; a file still open when it is destroyed is closed
// and the result of that close is lost, so data that matters is closed with
// close_file() and the result checked.
class File {
public:
    File() = default;
    explicit File(std::intptr_t handle, Writes writes = Writes::at_position) : handle_(handle), writes_(writes) {}
    File(File&& other) noexcept : handle_(other.handle_), writes_(other.writes_) { other.handle_ = invalid_handle; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    bool is_open() const { return handle_ != invalid_handle; }
    std::intptr_t handle() const { return handle_; }
    Writes writes() const { return writes_; }
    [[nodiscard]] std::intptr_t release();

    static constexpr std::intptr_t invalid_handle = -1;

private:
    std::intptr_t handle_ = invalid_handle;
    Writes writes_ = Writes::at_position;
};

enum class Access {
    read,    // an existing file, from its start
    create,  // created when absent, emptied when present
    append,  // created when absent; every write lands at the current end
};

// Opens a regular file; a directory, a device, a FIFO or any other kind of
// file is refused, and opening one never blocks. Other processes may read and
// write the file while it is open.
[[nodiscard]] std::optional<File> open_file(const std::string& path, Access access);

// Reads up to buffer.size() bytes: the count read, 0 at the end of the data,
// nothing on an error.
[[nodiscard]] std::optional<std::size_t> read_some(File& file, std::span<char> buffer);

// Writes every byte, or fails.
[[nodiscard]] bool write_all(File& file, std::span<const char> bytes);

// The position of the file's end: its length in bytes.
[[nodiscard]] std::optional<std::int64_t> end_position(File& file);

// Cuts the file to its first length bytes.
[[nodiscard]] bool truncate_file(File& file, std::int64_t length);

// Releases the file; false when the system reports an error while doing so.
[[nodiscard]] bool close_file(File& file);

// Takes an exclusive lock on the whole file without waiting: false when
// another open file holds one. The lock lasts until the file is closed.
[[nodiscard]] bool lock_exclusively(File& file);

// Identifies a file independently of the path by which it was reached.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};
[[nodiscard]] std::optional<FileId> file_id(const File& file);

// What the file system records of the regular file at path, read without
// opening it, so that it works on a file that cannot be read. Nothing when
// no regular file is there.
struct FileStatus {
    std::int64_t size = 0;
    FileId id;
};
[[nodiscard]] std::optional<FileStatus> regular_file_status(const std::string& path);

// A file opened by open_file_with_status, with its size and identity as the
// open found them (after the truncation of Access::create).
struct OpenedFile {
    File file;
    FileStatus status;
};

// Opens as open_file does, and reads the status from the open file itself:
// it describes the very file that will be written, and costs no extra lookup
// of the path.
[[nodiscard]] std::optional<OpenedFile> open_file_with_status(const std::string& path, Access access);

[[nodiscard]] bool path_exists(const std::string& path);
[[nodiscard]] bool remove_file(const std::string& path);

// Starts writing the file's changed data to storage and returns without
// waiting for it, so that a later sync_file has less to wait for. A system
// without such a call does nothing.
void start_write_back(File& file);

// Brings the file's data, and the directory's entries, to stable storage.
// A file system that cannot sync a directory counts as done.
[[nodiscard]] bool sync_file(const std::string& path);
[[nodiscard]] bool sync_directory(const std::string& directory_text);

// The separator that ends the directory text.
extern const std::string_view directory_separator;

// Which names the system takes for something other than a plain file of the
// directory they stand in: the rules of this platform's file system.
enum class FileNameRules { posix, windows };
extern const FileNameRules file_name_rules;

// How the writing of a listing ended.
enum class Listing {
    written,
    not_opened,   // listing_path could not be created or emptied, or is no regular file
    not_written,  // the names could not be written to it
    no_interpreter,  // no command interpreter could be started to list the directory
};

// Writes to listing_path the names of the entries of the directory that match
// "*." + extension, one per line, each ended by CR LF; an empty file when none
// matches or the directory cannot be read. listing_path is never followed
// through a symbolic link, and a listing left by an earlier run never stays.
[[nodiscard]] Listing write_listing(const std::string& directory_text, const std::string& extension,
                                    const std::string& listing_path);

// The command interpreter by the name a user would look for when none could
// be started: the program that COMSPEC names, else cmd.exe. Empty where the
// directory is listed without one.
[[nodiscard]] std::string interpreter_program();

// Whether name is one that a listing of "*." + extension may hold, as this
// platform matches names against the pattern.
[[nodiscard]] bool matches_listing_pattern(std::string_view name, std::string_view extension);

// Standard output, and whether it is a console (a character device) that must
// show every message at once.
File standard_output();
bool is_character_device(const File& file);

// Process-wide settings made once at start: a closed pipe or a file-size
// limit must surface as a failed write that the command reports, not as a
// signal that ends the process halfway through a run; and a standard stream
// that was closed is opened on the null device, so that no data file can take
// its place and receive console messages.
void prepare_process();

}  // namespace platform

// The thin seam between the command and the operating system. Each platform
// implements it in a source file of its own; the build picks one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
// file is refused, and opening one never blocks. Other processes may read the
// file while it is open, and write it too, except where the system can keep
// writers from a file opened to read (Windows), which it then does.
[[nodiscard]] std::optional<File> open_file(const std::string& path, Access access);

// Reads up to buffer.size() bytes: the count read, 0 at the end of the data,
// nothing on an error.
[[nodiscard]] std::optional<std::size_t> read_some(File& file, std::span<char> buffer);

// The same from the given offset. Where the file's position stands afterwards
// is not to be relied on.
[[nodiscard]] std::optional<std::size_t> read_at(File& file, std::int64_t offset, std::span<char> buffer);

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
    auto operator<=>(const FileId&) const = default;
};

// What the file system records of a regular file: its size, its identity,
// and when its data last changed, in the system's own units.
struct FileStatus {
    std::int64_t size = 0;
    FileId id;
    std::int64_t modified = 0;
    bool operator==(const FileStatus&) const = default;
};

// The status of the regular file at path, read without opening it, so that
// it works on a file that cannot be read. Nothing when no regular file is there.
[[nodiscard]] std::optional<FileStatus> regular_file_status(const std::string& path);

// The status of an open file.
[[nodiscard]] std::optional<FileStatus> file_status(const File& file);

// Whether the open file still has a name in some directory: false once
// every name of it is removed, and it lives on only while it is held open.
[[nodiscard]] bool has_a_name(const File& file);

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

// Removes a file the command made itself, such as an SDF file it created or
// its journal: false when it is still there.
[[nodiscard]] bool remove_own_file(const std::string& path);

// The names of the entries of the directory; none when it cannot be read.
[[nodiscard]] std::vector<std::string> directory_entries(const std::string& directory_text);

// Starts writing the file's changed data to storage and returns without
// waiting for it, so that a later sync has less to wait for. A system
// without such a call does nothing.
void start_write_back(File& file);

// Brings the data of the file written as name in the directory to stable
// storage. It needs no write access to the file; when the file is no longer
// at its name (a reader took it away meanwhile), the whole file system that
// holds the directory is synced instead.
[[nodiscard]] bool sync_written_file(const std::string& directory_text, const std::string& name, const FileId& id);

// Brings the directory's entries to stable storage. A file system that cannot
// sync a directory counts as done.
[[nodiscard]] bool sync_directory(const std::string& directory_text);

// Cuts the file at path, if it is still the file id, back to its first length
// bytes and brings that to stable storage. Never creates a file.
[[nodiscard]] bool cut_back_file(const std::string& path, const FileId& id, std::int64_t length);

// Writes a new file of the command's own into the directory and brings it,
// and its entry in the directory, to stable storage before it returns. The
// file is hidden from every listing: its name starts with "." and, on
// Windows, it carries the hidden attribute. Fails when the file exists.
[[nodiscard]] bool write_own_file_durably(const std::string& directory_text, const std::string& name,
                                          std::string_view bytes);

// ---- Turns: runs of the command wait for each other -------------------------

// A run's turn on its data directory, held from before the listing to the
// end of the run, so that no two runs write one SDF file at once. Closing
// the file ends the turn; so does the end of the process, however it ends.
struct DirectoryTurn {
    enum class State { held, no_directory, failed } state = State::failed;
    File held;
};

// Waits until no other run holds the directory's turn, and takes it.
// no_directory when there is no directory to take a turn on.
[[nodiscard]] DirectoryTurn wait_for_directory_turn(const std::string& directory_text);

// Waits for the turn on the listing file at path, which it opens (creating
// it) without following a symbolic link: runs that share a current directory
// take turns from writing the listing to reading its first line. Others'
// reads and writes of the file are not hindered. Nothing when the path cannot
// be opened or is no regular file.
[[nodiscard]] std::optional<File> wait_for_listing_turn(const std::string& path);

// ---- The deletion of the merged file ----------------------------------------

enum class Removal {
    removed,      // the file read is gone from its path
    not_removed,  // it is still at its path
    changed,      // it was changed since it was read, and is left at its path
    replaced,     // another file is at the path now, and is left there
    gone,         // nothing is at the path: the file read was taken away
    left_aside,   // what was at the path stands at aside_path, as it could not be put back
};

// Removes from path the file that read holds open, but only that file, and
// only when it is still as as_read describes it: its size and last change.
// aside_path, in the same directory, is a name of the command's own where
// the file may stand for a moment: a crash leaves it there, and put_back()
// or remove_own_file() settles it.
[[nodiscard]] Removal remove_file_read(const std::string& path, const std::string& aside_path,
                                       const FileStatus& as_read, File& read);

// Moves the file at aside_path back to path, unless path is taken. False
// when the file is not back at path, or is still at aside_path too.
[[nodiscard]] bool put_back(const std::string& aside_path, const std::string& path);

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

// The seam to the operating system, files and directories: open, read,
// write, sync and look at the files of the directory a run holds, and the
// rules of names. Each platform implements it in a source file of its own,
// which the build picks (files_posix.cpp, files_win32.cpp); the steps that are
// the same on both, made of those, are in files.cpp.
#pragma once

#include <cstdint>
#include <memory>
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

// The data directory of a run, held open from its start to its end. Every
// file in it is reached through it by a plain name, never by a path.
struct Directory {
    File handle;
    std::string text;  // argument 1 and the separator: for messages, and on Windows the files' paths
};

// Opens the directory that directory_text names, one component at a time
// where the system allows it, so that no limit on the length of a path
// applies. Nothing when there is no directory there or it cannot be read.
[[nodiscard]] std::optional<Directory> open_directory(const std::string& directory_text);

// Whether a symbolic link (a reparse point on Windows) at a name is followed
// to the file it names, or the name is refused. A link is followed only when
// it belongs to the user the run runs as: one that others may write the
// directory to plant is never followed with the run's rights.
enum class Links { followed, refused };

enum class Access {
    read,     // an existing file, from its start
    create,   // created when absent, emptied when present
    // Created when nothing is at the name, exclusively, so that the run knows
    // the file is one it made (OpenedFile::created); every write lands at the
    // end as it is at that moment. When another run may reach the file by
    // another name (this one is a symbolic link, or the file has more than
    // one), and on Windows always, its turn is taken before its status is
    // read (see wait_for_file_turn), so that the status is the one this run
    // writes after.
    append,
    rewrite,  // an existing file, written where its position stands: to cut it back
    // An existing file, as a sync of it needs it: for reading where any
    // descriptor of a file may sync it (POSIX), for writing where only a writer
    // may (Windows), so there a file made read-only since it was written fails.
    sync,
    // A new file of the command's own: fails when the name is taken. Only its
    // owner may write it; on Windows it is hidden.
    own_new,
};

// What the file system records of a file: its size, its identity, and when
// its data last changed, in the system's own units.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t index = 0;  // the inode, or the file index: the same whatever device number a remount gives
    auto operator<=>(const FileId&) const = default;
};

struct FileStatus {
    std::int64_t size = 0;
    FileId id;
    std::int64_t modified = 0;
    bool operator==(const FileStatus&) const = default;
};

// A regular file just opened, with its status as the open left it (after the
// emptying of Access::create, and the turn of Access::append).
struct OpenedFile {
    File file;
    FileStatus status;
    bool created = false;  // Access::append: this open made the file
    bool in_turn = false;  // Access::append: the file's turn is taken
};

// Opens a regular file of the directory, or a file by its path. A directory,
// a device, a FIFO or any other kind of file is refused, and opening one
// never blocks. A file is never created through a symbolic link: a link
// whose file is absent is refused. Other processes may read the file while
// it is open, and write it too, except where the system can keep writers
// from a file opened to read (Windows), which it then does.
[[nodiscard]] std::optional<OpenedFile> open_in(const Directory& directory, std::string_view name, Access access,
                                                Links links = Links::followed);
[[nodiscard]] std::optional<OpenedFile> open_path(const std::string& path, Access access);

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

// Brings the file's data to stable storage.
[[nodiscard]] bool sync_file(File& file);

// Starts writing the file's changed data to storage and returns without
// waiting for it, so that a later sync has less to wait for. A system
// without such a call does nothing.
void start_write_back(File& file);

// The status of the regular file at name; read without opening it, so that
// it works on a file that cannot be read. Nothing when no regular file is
// there, or when a link is there and links are refused.
[[nodiscard]] std::optional<FileStatus> status_in(const Directory& directory, std::string_view name,
                                                  Links links = Links::followed);

// Whether the open file is one this command could have made for itself: a
// regular file with one name, no link, owned by the user the run runs as, and
// writable by no one else.
[[nodiscard]] bool is_own_file(const File& file);

// The status of an open regular file.
[[nodiscard]] std::optional<FileStatus> file_status(const File& file);

// Whether anything at all is at name, a dangling link included.
[[nodiscard]] bool name_taken(const Directory& directory, std::string_view name);

// Whether the open file still has a name in some directory: false once
// every name of it is removed, and it lives on only while it is held open.
[[nodiscard]] bool has_a_name(const File& file);

// Removes name, a file of the command's own that held holds open, and closes
// held: false when the name is still there. Where a name can go while its
// file is held (POSIX), it goes first, so that a run waiting for the file's
// claim finds it gone.
[[nodiscard]] bool remove_held(const Directory& directory, std::string_view name, File& held);

// Removes the name from the directory, whatever file it names: false when
// it is still there.
[[nodiscard]] bool remove_name(const Directory& directory, std::string_view name);

// Gives the file at from the name to, unless to is taken: false when the
// file is not at to, or is still at from too.
[[nodiscard]] bool move_unless_taken(const Directory& directory, std::string_view from, std::string_view to);

// ---- One pass over a directory ---------------------------------------------

// An entry as a pass over a directory finds it; "." and ".." are left out.
struct DirectoryEntry {
    std::string name;
    bool listed = true;      // one a listing may hold: on Windows, neither hidden nor a file of the system
};

struct DirectoryPass;
struct DirectoryPassEnd {
    void operator()(DirectoryPass* pass) const;
};
using DirectoryReading = std::unique_ptr<DirectoryPass, DirectoryPassEnd>;

// Starts a pass over the directory's entries, in the order the file system
// gives them; none when it cannot be read.
[[nodiscard]] DirectoryReading read_directory(const Directory& directory);

// Takes the next entry of the pass; false when none is left.
[[nodiscard]] bool next_entry(DirectoryReading& reading, DirectoryEntry& entry);

// Brings the directory's entries to stable storage. Where the system keeps
// them in a journal of its own and a directory cannot be synced (Windows), or
// where the file system cannot sync a directory, this counts as done.
[[nodiscard]] bool sync_directory(const Directory& directory);

// Brings everything the file system of the directory holds to stable storage:
// for a file that can no longer be reached by its name. False where the system
// allows it only to an administrator (Windows).
[[nodiscard]] bool sync_file_system(const Directory& directory);

// ---- The same on every platform (files.cpp) ---------------------------------

// Whether name still names the file id.
[[nodiscard]] bool is_still(const Directory& directory, std::string_view name, const FileId& id,
                            Links links = Links::followed);

// Brings the data of the file written as name, the file id, to stable
// storage; when name no longer leads to it (a reader took it away), the whole
// file system is synced instead.
[[nodiscard]] bool sync_written_file(const Directory& directory, std::string_view name, const FileId& id);

// Cuts the file at name, if it is still the file id, back to its first length
// bytes and brings that to stable storage. Never creates a file.
[[nodiscard]] bool cut_back_file(const Directory& directory, std::string_view name, const FileId& id,
                                 std::int64_t length);

// A new file of the command's own (Access::own_new), to be written a piece
// at a time; finish_own_file brings it, and its name in the directory, to
// stable storage, and closes it.
[[nodiscard]] std::optional<File> create_own_file(const Directory& directory, std::string_view name);
[[nodiscard]] bool finish_own_file(const Directory& directory, File& file);

// ---- Names ------------------------------------------------------------------

// The separator that ends the directory text.
extern const std::string_view directory_separator;

// Which names the system takes for something other than a plain file of the
// directory they stand in: the rules of this platform's file system.
enum class FileNameRules { posix, windows };
extern const FileNameRules file_name_rules;

}  // namespace platform

// The thin seam between the command and the operating system. Each platform
// implements it in a source file of its own, which the build picks; the steps
// that are the same on both, made of the ones below, are in file.cpp.
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

// Takes an exclusive claim on the whole file without waiting: false when
// another open file holds one. The claim lasts until the file is closed.
[[nodiscard]] bool claim_exclusively(File& file);

// The same, waiting for as long as another open file holds a claim.
[[nodiscard]] bool wait_to_claim(File& file);

// Waits for the file's turn, as runs that append to one SDF file from
// different directories take it, and holds it until the file is closed. Reads
// and writes of others are not hindered: the turn keeps runs of this command
// apart, nothing else.
[[nodiscard]] bool wait_for_file_turn(File& file);

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
    std::string short_name;  // Windows: the 8.3 name it has, if any, which dir matches a pattern against too
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

// ---- The same on every platform (file.cpp) ----------------------------------

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

// The whole content of the regular file at name; nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> read_whole_file(const Directory& directory, std::string_view name);

// ---- Turns: runs of the command wait for each other -------------------------

// The hidden file in the data directory that carries its turn: not the
// directory itself, which an operator may lock around a run.
inline constexpr std::string_view directory_turn_name = ".vrtl_sdf.lock";

// Waits until no other run holds the directory's turn, and takes it: held
// from before the listing to the end of the run, so that runs on one
// directory wait for each other. The end of the process ends the turn,
// however it ends. A turn's file whose name moves on while a run waits (its
// holder removed it at its end, or someone else did) is waited on no longer:
// the run takes the turn of the file at the name then. The file can be
// opened by every user who may write the directory, whatever the umask.
// Nothing when the turn's file cannot be opened or is no regular file.
//
// Anyone who may write the directory can remove the turn's name while a run
// holds it, so the turn alone never lets a run act on another's work: the
// journal, held by its run, is what keeps two runs apart (exactly_once.h).
[[nodiscard]] std::optional<File> wait_for_directory_turn(const Directory& directory);

// Ends the turn, and takes its file away with it where no other run holds it.
[[nodiscard]] bool end_directory_turn(const Directory& directory, File& turn);

// Waits for the turn on the listing file at path, which it opens for reading
// (creating it, readable and writable by its owner whatever the umask), and
// through which the run reads the listing back: runs that share a current
// directory take turns from writing the listing to reading its first line.
// Others' reads and writes of the file are not hindered. Nothing when the
// path cannot be opened, is a link, or is no regular file with one name.
[[nodiscard]] std::optional<File> wait_for_listing_turn(const std::string& path);

// ---- The deletion of the merged file ----------------------------------------

enum class Removal {
    ready,        // the file read, as it was read, is ready to be removed
    removed,      // the file read is gone from its name
    not_removed,  // it is still at its name
    changed,      // it was changed since it was read, and is left at its name
    replaced,     // another file is at the name now, and is left there
    gone,         // nothing is at the name: the file read was taken away
    left_aside,   // what was at the name stands at aside, as it could not be given its name back
    aside_taken,  // aside cannot be used: something else stands there, and nothing was moved
};

// The removal of the file read from name comes in two steps, so that the
// caller can record between them that the removal is under way. The first
// makes sure that what stands at name is the file that read holds open,
// still as as_read describes it: Removal::ready, or why not, with the file
// left at its name. Where the system can only remove a name, not a file
// (POSIX), the file first moves to aside, a name of the command's own in the
// directory, so that what is removed is exactly what was looked at; a crash
// can leave it there. Where it can remove the file held (Windows), aside is
// not used.
[[nodiscard]] Removal prepare_removal(const Directory& directory, std::string_view name, std::string_view aside,
                                      const FileStatus& as_read, File& read);

// The second step, after Removal::ready: removes the file. Removal::removed,
// or, when it cannot be, the file given its name back (not_removed or
// left_aside).
[[nodiscard]] Removal remove_prepared(const Directory& directory, std::string_view name, std::string_view aside,
                                      File& read);

// Undoes the first step when the caller decides against the removal: the
// file gets its name back (not_removed or left_aside).
[[nodiscard]] Removal cancel_removal(const Directory& directory, std::string_view name, std::string_view aside);

// ---- Names and the listing --------------------------------------------------

// The separator that ends the directory text.
extern const std::string_view directory_separator;

// Which names the system takes for something other than a plain file of the
// directory they stand in: the rules of this platform's file system.
enum class FileNameRules { posix, windows };
extern const FileNameRules file_name_rules;

// Opens the listing file at path for writing, created or emptied, so that a
// listing left by an earlier run never stays; never through a link. Nothing
// when it cannot be, or is no regular file with one name.
[[nodiscard]] std::optional<File> open_listing(const std::string& path);

// Whether a listing holds its names by byte value, as a shell's glob does
// (POSIX), or in the order of the file system, as dir does (Windows).
extern const bool listing_sorted;

// Whether name is one that a listing of "*." + extension may hold, as this
// platform matches names against the pattern.
[[nodiscard]] bool matches_listing_pattern(std::string_view name, std::string_view extension);

// An argument of the command line, in the code page the file functions take
// names in.
struct Argument {
    std::string text;
    // False when a character of it has no form in that code page: text shows
    // it as "?", and a look-alike ("c" for "\u010d") would name another file.
    bool exact = true;
};

// The arguments after the program name, as typed: on Windows from the
// command line in UTF-16, each converted without the system's best fit.
[[nodiscard]] std::vector<Argument> command_line_arguments(int argc, char* argv[]);

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

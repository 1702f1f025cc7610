// Deliberately simple models of the DOS text rules and of the record
// distribution, written apart from the command's own code: they work byte by
// byte over whole strings, with no pieces, buffers or limits to get wrong, so
// that the fuzz targets can hold the real code against them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace model {

// What a text reader sees of a file's bytes: everything before the first
// 0x1A, with each CR directly followed by LF dropped. A bytes reader sees
// the file as it is.
enum class Reading { text, bytes };
std::string readable_data(std::string_view file, Reading reading);

// Whether a mode string asks for bytes: a "b" right after the kind letter.
Reading reading_of_mode(std::string_view mode);

// The outcome of one line read with a limit.
struct LineRead {
    bool delivered = false;
    std::string line;
    bool at_end = false;  // the end indication after the read
};

// Every read of a line, with limit, from the start of data until the end
// indication comes on (at most max_reads reads).
std::vector<LineRead> line_reads(std::string_view data, std::int32_t limit, std::size_t max_reads);

// The bytes a text writer stores for text: each LF as CR LF.
std::string stored_text(std::string_view text);

// A directory entry as the distribution may meet it.
struct Entry {
    enum class Kind { file, directory, link };
    Kind kind = Kind::file;
    std::string bytes;   // of a file
    std::string target;  // of a link: a name in the same directory
    bool operator==(const Entry&) const = default;
};
using Directory = std::map<std::string, Entry>;

// The step that ended a split early, and the SDF file name it concerns.
struct Failure {
    enum class Step { opening, writing };
    Step step;
    std::string name;
};

struct Split {
    std::string console;  // as stored: CR LF line ends
    Directory after;
    std::int64_t sdf_files_opened = 0;
    std::optional<Failure> failure;
};

// Splits the merged file named merged_name in directory: every line of its
// text (a last line without LF completed with one) goes to the SDF file that
// its first 8 characters name; consecutive lines of one name form a run.
// A run whose file would grow past size_limit fails, and its file is left
// as the run found it (created, when it was absent); earlier runs stay.
Split split(const Directory& before, const std::string& merged_name, std::optional<std::int64_t> size_limit);

// A journal as its writer writes it: a first line, the merged file's line,
// then parts, each of lines for SDF files ("sdf": index and length; "new":
// index of a file the run made) and perhaps "finished" with the merged
// file's size and last change as read, which stand for those claimed from
// then on, closed by the sum of all before its last line. Numbers in their shortest decimal form, names
// after their length.
struct JournalEntry {
    std::uint64_t index = 0;
    std::int64_t length = 0;
    bool created = false;
    bool operator==(const JournalEntry&) const = default;
};
struct Journal {
    enum class State { unfinished, refused, found } state = State::unfinished;
    std::string merged_name{};
    std::uint64_t merged_index = 0;
    std::int64_t merged_size = 0;
    std::int64_t merged_modified = 0;
    std::vector<JournalEntry> sdf_files{};  // of the whole parts, in the order of the text
    bool finished = false;
};

// What a reader makes of the bytes: found when they begin with a journal as
// above, with names of files of the directory (SDF files' ending in ".sdf"),
// and at least one whole part, whatever follows the last; refused at the
// first other name, read before anything else wrong; unfinished otherwise.
Journal read_journal(std::string_view bytes);

// Whether a name is one the journal holds: one of a file of the directory.
bool names_a_file_here(std::string_view name);

}  // namespace model

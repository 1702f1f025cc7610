// The journal: what a run must know to put its SDF files back, kept on stable
// storage in the data directory from before the first byte reaches an SDF
// file until the merged file is gone or every SDF file is put back
// (exactly_once.h). It knows a file by its index in the file system (the
// inode), which stays the same when the file system comes back under another
// device number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// The journal's name in the data directory. It starts with ".", so that no
// listing takes it for a merged file.
inline constexpr std::string_view journal_name = ".vrtl_sdf.journal";

// An SDF file as it was before the run. Its name is in the journal's file,
// for an operator to read; recovery knows the file by its index.
struct JournaledFile {
    std::uint64_t index = 0;
    std::int64_t length = 0;
};

struct Journal {
    std::string merged_name;  // as listed, in the data directory
    std::uint64_t merged_index = 0;
    std::int64_t merged_size = 0;      // as the run claimed it
    std::int64_t merged_modified = 0;
    std::vector<JournaledFile> sdf_files;  // every SDF file of the directory, by index
};

// Writes the journal of a run about to distribute the merged file: it records
// each SDF file named in sdf_names (each name ended by a NUL), as it is now,
// and it is on stable storage when this returns. It is written a piece at a
// time, so that a directory of many SDF files takes bounded memory. Nothing
// when it cannot be written.
[[nodiscard]] std::optional<Journal> write_journal(const platform::Directory& directory,
                                                   const std::string& merged_name, const platform::FileStatus& merged,
                                                   std::string_view sdf_names);

// Whether the journal's merged file is the file status describes, and
// whether it is still as it was when it was claimed.
[[nodiscard]] bool is_journaled_merged_file(const Journal& journal, const platform::FileStatus& status);
[[nodiscard]] bool is_journaled_merged_file_unchanged(const Journal& journal, const platform::FileStatus& status);

// The length the file id had before the run; nothing when the journal does
// not know it.
[[nodiscard]] std::optional<std::int64_t> journaled_length(const Journal& journal, const platform::FileId& id);

// What is found of the directory's journal. A journal whose writing never
// finished (empty, cut short, its checksum wrong) is as good as none. One
// that this command could not have written (not its own file, or naming a
// file outside the directory), or that cannot be read, is refused.
struct FoundJournal {
    enum class State { none, unfinished, refused, found } state = State::none;
    Journal journal;
};
[[nodiscard]] FoundJournal read_journal(const platform::Directory& directory);

// Removes the directory's journal; true when none is left.
[[nodiscard]] bool remove_journal(const platform::Directory& directory);

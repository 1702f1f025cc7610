// The journal: what a distribution must be able to undo, kept on stable
// storage in the data directory from before its first byte reaches an SDF
// file until the merged file is gone or everything is put back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// Names of the command's own in the data directory. They start with ".", so
// that no listing takes them for a merged file.
inline constexpr std::string_view journal_name = ".vrtl_sdf.journal";
// Where the merged file stands for a moment while it is deleted.
inline constexpr std::string_view aside_name = ".vrtl_sdf.deleting";

// An SDF file as it was before the distribution.
struct RecordedFile {
    platform::FileId id;
    std::int64_t length = 0;
    std::string name;
};

struct Journal {
    std::string merged_name;       // as listed, in the data directory
    platform::FileStatus merged;   // as the run found it when it opened it
    std::vector<RecordedFile> sdf_files;  // every SDF file of the directory
};

// The journal of a distribution of merged_name about to start: it records
// every SDF file the directory holds now.
[[nodiscard]] Journal journal_before_distribution(const std::string& directory_text, const std::string& merged_name,
                                                  const platform::FileStatus& merged);

// Whether the file id was in the directory before the distribution, with the
// length it had then.
[[nodiscard]] std::optional<std::int64_t> length_before(const Journal& journal, const platform::FileId& id);

// Writes the journal into the directory and brings it to stable storage.
[[nodiscard]] bool write_journal(const std::string& directory_text, const Journal& journal);

// What is found of the directory's journal. A journal whose writing never
// finished is as good as none: no SDF file was touched after it.
struct FoundJournal {
    enum class State { none, unfinished, unreadable, found } state = State::none;
    Journal journal;
};
[[nodiscard]] FoundJournal read_journal(const std::string& directory_text);

// Removes the directory's journal; true when none is left.
[[nodiscard]] bool remove_journal(const std::string& directory_text);

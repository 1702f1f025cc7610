// The journal: what a run must know to put its SDF files back, kept on stable
// storage in the data directory from before the first byte reaches an SDF
// file until the merged file is gone or every SDF file is put back
// (exactly_once.h). It knows a file by its index in the file system (the
// inode), which stays the same when the file system comes back under another
// device number.
//
// The run that writes it holds it, claimed, until it removes it; a run that
// finds one reads it only once it holds that claim itself, so a journal is
// never taken for one a crash left while its run is still at work.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

// The journal's name in the data directory. It starts with ".", so that no
// listing takes it for a merged file.
inline constexpr std::string_view journal_name = ".vrtl_sdf.journal";

// SDF file names: the directory's, or those a merged file names, for the
// journal to record. Held as one text, each name ended by a NUL, which takes
// little memory for a folder of many files.
struct SdfNames {
    std::string joined;

    void add(std::string_view name);
    [[nodiscard]] std::size_t count() const;
};

// An SDF file as the run first opened it. Its name is in the journal's file,
// for an operator to read; recovery knows the file by its index.
struct JournaledFile {
    std::uint64_t index = 0;
    std::int64_t length = 0;  // before the run's first byte
    bool created = false;     // the run made it
};

struct Journal {
    std::string merged_name;  // as listed, in the data directory
    std::uint64_t merged_index = 0;
    // As the run claimed it; once finished, as it read it to its end.
    std::int64_t merged_size = 0;
    std::int64_t merged_modified = 0;
    std::vector<JournaledFile> sdf_files;  // sorted by index, one entry a file
    // Every record was on stable storage when the removal of the merged file
    // began: what is left is to finish it, never to put anything back.
    bool finished = false;

    // Held, and claimed, for as long as the run or recovery works with it.
    platform::File file{};
    // Of all its file holds: the checksum that the next part's last line
    // carries, and the length, and both before the mark of the removal.
    struct Extent {
        std::uint64_t checksum = 0;
        std::int64_t length = 0;
    };
    Extent written{};
    Extent before_finished{};
};

// Writes the journal of a run about to distribute the merged file: it records
// each SDF file named in sdf_names, as it is now, and it is on stable storage
// when this returns. It is written a piece at a time, so that a directory of
// many SDF files takes bounded memory. Nothing when it cannot be written,
// with nothing of it left behind.
[[nodiscard]] std::optional<Journal> write_journal(const platform::Directory& directory,
                                                   const std::string& merged_name, const platform::FileStatus& merged,
                                                   const SdfNames& sdf_names);

// Rule 2's other half: makes sure the journal records the file status, as
// the run first opened it, before the run writes a byte to it. The journal
// grows by a line, on stable storage, only for a file it does not record as
// that: one the run made, one named by what the merged file grew by, or one
// another program made or wrote to meanwhile. False when it cannot.
[[nodiscard]] bool record_first_open(Journal& journal, const platform::FileStatus& status, std::string_view name,
                                     bool created);

// Records on stable storage that the removal of the merged file begins, of
// the file as the run read it to its end, and takes that back. False when
// the journal cannot be written.
[[nodiscard]] bool mark_finished(Journal& journal, const platform::FileStatus& as_read);
[[nodiscard]] bool unmark_finished(Journal& journal);

// Whether the journal's merged file is the file status describes, and
// whether it is still as it was when it was claimed.
[[nodiscard]] bool is_journaled_merged_file(const Journal& journal, const platform::FileStatus& status);
[[nodiscard]] bool is_journaled_merged_file_unchanged(const Journal& journal, const platform::FileStatus& status);

// The file id as the run first opened it; nothing when the journal does not
// know it, that is, when the run never wrote to it.
[[nodiscard]] std::optional<JournaledFile> journaled(const Journal& journal, const platform::FileId& id);

// What is found of the directory's journal. A journal whose first part was
// never finished (empty, cut short, its checksum wrong) is as good as none;
// a part added later that a crash cut short is left out. One that this
// command could not have written (not its own file, or naming a file outside
// the directory) is refused.
struct FoundJournal {
    enum class State { none, unfinished, refused, unreadable, found } state = State::none;
    Journal journal;
};
[[nodiscard]] FoundJournal read_journal(const platform::Directory& directory);

// Removes the journal the run holds; true when it is gone.
[[nodiscard]] bool remove_journal(const platform::Directory& directory, Journal& journal);

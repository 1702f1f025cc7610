// Exactly once: every record of a merged file reaches its SDF file once,
// whatever stops a run (a fault, a kill, a power loss, another run at the
// same time). This is the protocol that keeps that promise; recovery.h is
// its other half, run by the next run.
//
// The rules. Every step below keeps them, and recovery relies on them.
//  1. Runs take turns. A run holds its directory's turn from before its
//     recovery to its end. A run of records holds its SDF file's turn while it
//     has the file open, so that runs from other directories writing one SDF
//     file never tear each other's records.
//  2. The journal is on stable storage before the first byte reaches an SDF
//     file. It names the merged file (index, size, last change) and every SDF
//     file the distribution may write to, with its length: those the merged
//     file names, or every SDF file of the directory where that costs less.
//     Its last line is a checksum: a journal cut short counts as none, since
//     no SDF file was touched after it.
//  3. Every SDF file the run wrote, and the directory's entries, are on stable
//     storage before the merged file moves.
//  4. The merged file is removed only while it is the file read, as it was
//     when the run read its last byte. Where the system removes names, not
//     files (POSIX), it first moves to the aside name, so that what is
//     checked is what is removed, and a file put in its place is never
//     removed. A file that grew meanwhile has the rest of its records
//     distributed first; one that changed otherwise is put back at its name.
//  5. Putting an SDF file back takes only the run's own bytes: the file goes
//     back to its length before the run (removed, when the run made it) only
//     while it holds nothing but what the run left there, or, in recovery,
//     while every byte past that length is shown to be what distributing the
//     merged file writes there. A file another program wrote keeps its bytes.
//  6. The journal goes last: after the merged file is gone and that is on
//     stable storage, or after every SDF file is put back. A run that cannot
//     do either leaves it for the next run.
//
// A crash, a kill or a power loss at each step, and what the next run does:
//  - while the journal is written: no SDF file was touched (2); a journal
//    that fails its checksum is removed, and the run goes on.
//  - while the records are distributed or synced: the merged file is at its
//    name, and the journal says how long each SDF file was (2); recovery
//    shows by content that all past those lengths is the start of what
//    distributing the file writes, puts every SDF file back (5), and the run
//    distributes the file whole.
//  - after the merged file moved aside: every record was on stable storage
//    (3); recovery removes the file and the journal.
//  - after the merged file is gone, before the journal is: no merged file is
//    left to put back for; what was written stays.
//  - while a failed run puts its SDF files back, or while recovery does: the
//    journal is still there (6), and the next run puts back the rest.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "console/failure.h"
#include "distribute/distribute.h"
#include "distribute/journal.h"
#include "platform/platform.h"
#include "textfile/text_stream.h"

// Where the merged file stands for a moment on its way out (rule 4). It
// starts with ".", so that no listing takes it for a merged file.
inline constexpr std::string_view aside_name = ".vrtl_sdf.deleting";

// A merged file a run has claimed: open, held exclusively, as it was then.
struct ClaimedFile {
    std::string name;  // as listed, in the data directory
    TextStream stream;
    platform::FileStatus as_claimed;
    std::optional<platform::FileId> listing;  // the run's listing, which no SDF name may lead to
};

// Distributes the claimed merged file into its SDF files and deletes it,
// keeping the rules above: on success every record is in its SDF file once,
// on stable storage, and the merged file is gone (kept when it held no line);
// on a failure every SDF file is as the run found it. sdf_names are the SDF
// files of the directory, each name ended by a NUL, for the journal.
[[nodiscard]] std::optional<Failure> split_exactly_once(const platform::Directory& directory, ClaimedFile& merged,
                                                        std::string_view sdf_names, Console& console);

// Puts every touched file back as it was before the run (rule 5): cut back
// to its length before, or removed when the run made it, which the journal
// tells. A file is touched only while it is still the file written and holds
// exactly what the run left in it; one the run made is removed only while its
// name is that file itself, never a link in its place. Gives the name of a
// file it could not put back.
[[nodiscard]] std::optional<std::string> put_back(const platform::Directory& directory,
                                                  const std::vector<TouchedFile>& touched, const Journal& journal);

// Gives the file at the aside name the name name back, so that a listing
// takes it again; when name is taken meanwhile by another file, a name like
// it with a number before its extension. Done at once when name already leads
// to that file. False when it is still at the aside name.
[[nodiscard]] bool give_back_name(const platform::Directory& directory, const std::string& name);

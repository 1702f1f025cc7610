// Exactly once: every record of a merged file reaches its SDF file once,
// whatever stops a run (a fault, a kill, a power loss, another run at the
// same time). This is the protocol that keeps that promise; recovery.h is
// its other half, run by the next run. Each rule names the function that
// keeps it.
//
// The rules. Every step below keeps them, and recovery relies on them.
//  1. Runs take turns. A run holds its directory's turn from before its
//     recovery to its end (platform::wait_for_directory_turn). Since anyone
//     who may write the directory can remove the turn's name, the journal is
//     what keeps runs apart: its run holds it claimed from its writing to its
//     removal (write_journal), and a journal is read, and taken as left by a
//     crash, only by a run that holds that claim (read_journal). A batch of
//     records that reaches its SDF file in more than one write holds the
//     file's turn from before the first (text_reopen_for_appending), so that
//     runs from other directories that write one SDF file never tear each
//     other's records.
//  2. The journal records every SDF file before the run writes a byte to it:
//     its index, and its length as the run first opened it, or that the run
//     made it (record_first_open, in the distribution's note_touched). The
//     first part, written before the distribution starts, names the merged
//     file (index, size, last change) and the SDF files it names, or every
//     SDF file of the directory where that costs less (write_journal); a file
//     it does not know as first opened gets a part of its own, on stable
//     storage, before its first byte. Each part ends with a checksum: a first
//     part cut short counts as none, a later one as not written, since no SDF
//     file was touched after it.
//  3. Every SDF file the run wrote, and the directory's entries, are on stable
//     storage before the merged file moves (make_durable).
//  4. The merged file is removed only while it is the file read, as it was
//     when the run read its last byte (delete_merged_file). Where the system
//     removes names, not files (POSIX), it first moves to the aside name, so
//     that what is checked is what is removed, and a file put in its place is
//     never removed. A file that grew meanwhile has the rest of its records
//     distributed first (distribute_to_the_end); one that changed otherwise
//     is put back at its name. The journal is marked finished, on stable
//     storage, before the file is removed (mark_finished), and that is taken
//     back if it cannot be: from the mark on, the next run only finishes the
//     removal, whatever file stands at the merged file's name by then.
//  5. Putting an SDF file back takes only the run's own bytes (put_back): the
//     file goes back to its length at the run's first open (removed, when the
//     run made it) only while it holds nothing but what the run left there,
//     or, in recovery, while every byte past that length is shown to be what
//     distributing the merged file writes there. A file another program wrote
//     keeps its bytes, and one the run never wrote is never touched.
//  6. The journal goes last (remove_journal): after the merged file is gone
//     and that is on stable storage, or after every SDF file is put back. A
//     run that cannot do either leaves it for the next run.
//
// A crash, a kill or a power loss at each step, and what the next run does:
//  - while the journal's first part is written: no SDF file was touched (2);
//    a journal that fails its checksum is removed, and the run goes on.
//  - while the records are distributed or synced: the merged file is at its
//    name, and the journal says how long each SDF file was (2); recovery
//    shows by content that all past those lengths is the start of what
//    distributing the file writes, puts every SDF file back (5), and the run
//    distributes the file whole.
//  - after the merged file moved aside: every record was on stable storage
//    (3); recovery removes the file and the journal.
//  - after the journal is marked finished: recovery removes the file read,
//    if it still stands aside or at its name as it was read, and the journal;
//    a new delivery at the merged file's name, on the freed index too, is
//    left for the run to distribute.
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
#include "platform/files.h"
#include "textfile/text_stream.h"

// Where the merged file stands for a moment on its way out (rule 4). It
// starts with ".", so that no listing takes it for a merged file.
inline constexpr std::string_view aside_name = ".vrtl_sdf.deleting";

// A merged file a run has claimed: open, held exclusively, as it was then.
struct ClaimedFile {
    std::string name;  // its name in the data directory
    std::string path;  // as messages show it: the directory text and the name as the listing gave it back
    TextStream stream;
    platform::FileStatus as_claimed;
    OwnFiles own_files;  // the run's listing and turn, which no SDF name may lead to
};

// Distributes the claimed merged file into its SDF files and deletes it,
// keeping the rules above: on success every record is in its SDF file once,
// on stable storage, and the merged file is gone (kept when it held no line);
// on a failure every SDF file is as the run found it. sdf_names are the SDF
// files of the directory, for the journal.
[[nodiscard]] std::optional<Failure> split_exactly_once(const platform::Directory& directory, ClaimedFile& merged,
                                                        const SdfNames& sdf_names, Console& console);

// The files of the run's own that no SDF name may lead to, for the
// distribution and for recovery alike: those it holds (its turn, its
// listing), the journal, and whatever stands at the aside name, a file a
// crash left there or anyone put there.
[[nodiscard]] OwnFiles own_files_of(const platform::Directory& directory, const OwnFiles& held, const Journal& journal);

// Puts every touched file back as it was before the run (rule 5): cut back
// to its length at the run's first open, or removed when the run made it. A
// file is touched only while it is still the file written and holds exactly
// what the run left in it; one the run made is removed only while its name
// is that file itself, never a link in its place. The failure names a file
// it could not put back.
[[nodiscard]] std::optional<Failure> put_back(const platform::Directory& directory,
                                              const std::vector<TouchedFile>& touched);

// Gives the file at the aside name the name name back, so that a listing
// takes it again; when name is taken meanwhile by another file, a name like
// it with a number before its extension. Done at once when name already leads
// to that file. False when it is still at the aside name.
[[nodiscard]] bool give_back_name(const platform::Directory& directory, const std::string& name);

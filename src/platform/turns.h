// The seam to the operating system, turns and the checked removal: claims
// and turns by which runs of the command wait for each other, and the
// removal of the merged file that removes only the file read. Each platform
// implements it in a source file of its own (turns_posix.cpp,
// turns_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace platform {

// ---- Claims and turns on an open file ---------------------------------------

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

}  // namespace platform

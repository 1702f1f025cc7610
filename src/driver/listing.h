// The listing: the names of the files a run may take for its merged file,
// written to work1d.tmp in the current directory, as the one pass over the
// data directory that also finds its SDF files.
#pragma once

#include <optional>
#include <string>

#include "console/failure.h"
#include "distribute/journal.h"
#include "platform/files.h"

inline const std::string listing_path = "work1d.tmp";

struct Listed {
    std::optional<std::string> name;           // the first name listed, as read back: cut and trimmed
    // The file of the directory that name stands for: the first one listed,
    // when its name is read back whole; empty when name was cut, and is no
    // name that was listed.
    std::string file_name;
    std::optional<platform::FileId> listing;   // the listing file, which is never a merged file
    SdfNames sdf_names;                        // the directory's SDF files
};

// Lists the directory into a listing of this run's own and reads its first
// name. Runs that share the current directory take turns from the writing of
// the listing to that read, so that none takes another's listing.
[[nodiscard]] std::optional<Failure> list_directory(const platform::Directory& directory,
                                                    const std::string& extension, Listed& listed);

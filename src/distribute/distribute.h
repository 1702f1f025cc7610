// Distribution of a merged file's records into the SDF files they name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "console/console.h"
#include "console/messages.h"
#include "textfile/text_stream.h"

struct Distribution {
    std::int64_t sdf_files_opened = 0;
    std::optional<Failure> failure;  // set when the run must end with exit code 99
};

// Reads the merged stream to its end and appends every record to the SDF file
// its header names, in the directory that directory_text names. Consecutive
// records of one SDF file form a run, which opens the file once and reports
// its count. When it returns without a failure, every SDF file it wrote is
// closed and on stable storage. It does not close the merged stream.
Distribution distribute_records(TextStream& merged, const std::string& merged_path,
                                const std::string& directory_text, Console& console);

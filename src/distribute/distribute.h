// Distribution of a merged file's records into the SDF files they name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/messages.h"
#include "platform/platform.h"
#include "textfile/text_stream.h"

// An SDF file the distribution wrote to: enough to put it back as it was.
struct WrittenFile {
    std::string name;  // its SDF file name, as the run that first opened it spelt it
    platform::FileId id;
    std::int64_t length_before = 0;  // when the distribution first opened it
    std::int64_t length_after = 0;   // with every record the distribution wrote to it
};

struct Distribution {
    std::int64_t sdf_files_opened = 0;
    std::vector<WrittenFile> written;  // in the order they were first opened
    std::optional<Failure> failure;    // set when the run must end with exit code 99
};

// Reads the merged stream to its end and appends every record to the SDF file
// its header names, in the directory that directory_text names. Consecutive
// records of one SDF file form a run, which opens the file once and reports
// its count. When it returns without a failure, every SDF file it wrote is
// closed and on stable storage. A failed run leaves its own SDF file as it
// found it; the files of earlier runs are for the caller to put back. It does
// not close the merged stream.
Distribution distribute_records(TextStream& merged, const std::string& merged_path,
                                const std::string& directory_text, Console& console);

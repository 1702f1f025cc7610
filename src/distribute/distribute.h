// The record distribution: a merged file's records into the SDF files they
// name, a batch of consecutive records with one open of its file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/failure.h"
#include "distribute/journal.h"
#include "distribute/merged_walk.h"
#include "platform/files.h"

// An SDF file that a run touched: enough to put it back as it was.
struct TouchedFile {
    std::string name;  // its SDF file name, as the run that first opened it spelt it
    platform::FileId id;
    std::int64_t length_before = 0;  // its length before the run's first byte: what putting it back leaves
    std::int64_t length_after = 0;   // its length with every byte the run wrote to it
    bool created = false;            // the run made it: putting it back removes it
};

// The files of the run's own besides the merged file (its listing, its turn,
// its journal, whatever stands at the aside name): no SDF name may lead to one.
using OwnFiles = std::vector<platform::FileId>;

struct Distribution {
    OwnFiles own_files{};
    // Where each SDF file is recorded as first opened, before a byte is
    // written to it (exactly_once.h, rule 2); none for a distribution on its own.
    Journal* journal = nullptr;
    std::string journal_path{};  // for the message when it cannot be written
    std::int64_t sdf_files_opened = 0;
    std::vector<TouchedFile> touched{};  // in the order they were first opened, one entry a file
};

// Reads the merged file on to its end and appends every record to the SDF
// file its header names, in the directory. Each batch of records
// (merged_walk.h) opens its file once and reports its count. A batch that
// fails leaves its own SDF file as it found it, and its failure is given; the
// files of earlier batches are the caller's to put back. Called again with the same walk once the merged file has grown,
// it goes on where it stopped, adding to distribution. It neither closes the
// merged file nor brings the SDF files to stable storage.
[[nodiscard]] std::optional<Failure> distribute_records(MergedWalk& walk, const platform::Directory& directory,
                                                        Console& console, Distribution& distribution);

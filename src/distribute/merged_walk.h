// The one walk over a merged file, shared by the distribution and by the
// recovery that checks what a distribution wrote: asked for the next part, it
// says what the distribution does with it, and where a batch begins: the
// consecutive lines of one SDF name, which the distribution writes with one
// open of their SDF file. Lines come in pieces of at most one read, so that a
// record of any length takes bounded memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "textfile/text_stream.h"

// A line's header: the SDF name in 8 characters, then 2 not interpreted.
inline constexpr std::size_t header_width = 10;

enum class Part {
    record_start,  // a line that holds a record: its SDF name, and the record's first piece
    record_rest,   // the next piece of a record that did not fit one read
    short_line,    // a line shorter than the header: its SDF name, and no record ("?")
    end,           // the merged file has no more lines
    read_error,
};

struct MergedPart {
    Part part;
    bool starts_batch = false;  // record_start and short_line: its SDF name differs from the line's before
    std::string_view record{};  // record_start and record_rest: ends with its LF where the record ends
};

struct MergedWalk {
    TextStream& merged;
    std::string path;  // the merged file's path, for messages
    // The SDF file name of the batch under way, as the data spells it; empty
    // before the first line and once the data has ended.
    std::string file_name{};
    std::string line{};
    std::string piece{};
    bool record_goes_on = false;
    // The data ended inside a line, whose line feed the walk supplied: the
    // record is kept, and its SDF file stays well formed.
    bool completed_last_line = false;
};

// The next part of the merged file. What it points to stays valid until the
// next call.
[[nodiscard]] MergedPart next_part(MergedWalk& walk);

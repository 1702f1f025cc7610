// The one walk over a merged file, shared by the distribution and by the
// recovery that checks what a distribution wrote: asked for the next part, it
// says what the distribution does with it. Lines come in pieces of at most one
// read, so that a record of any length takes bounded memory.
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
    std::string_view sdf_name;  // record_start and short_line
    std::string_view record;    // record_start and record_rest: ends with its LF where the record ends
};

struct MergedWalk {
    TextStream& merged;
    std::string path;  // the merged file's path, for messages
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

// Whether file_name, an SDF file name or empty, is the one that sdf_name
// gives. Asked of every line, so it compares without composing the name.
[[nodiscard]] bool is_file_name_of(std::string_view file_name, std::string_view sdf_name);

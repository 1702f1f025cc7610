// Reading a merged file as the distribution sees it: lines in pieces of at
// most one read, the SDF name at the head of each line, and records of any
// length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "textfile/text_stream.h"

// A line's header: the SDF name in 8 characters, then 2 not interpreted.
inline constexpr std::size_t header_width = 10;

// How a piece of a line, as one read delivers it, ends.
enum class PieceEnd {
    line_feed,
    limit,  // the line goes on in the next piece
    nothing_left,
    read_error,
};

// Reads the first piece of the next line. A line that the end of the data
// (or a 0x1A) cuts short is completed with the line feed it lacks, so that its
// record is kept and its SDF file stays well formed.
[[nodiscard]] PieceEnd read_piece(TextStream& merged, std::string& piece);

// Reads the next piece of a line whose last piece ended at the limit: a line
// that the data ends right there gets its line feed as the piece.
[[nodiscard]] PieceEnd read_continuation(TextStream& merged, std::string& piece);

// The SDF name of a merged line: its first 8 characters up to a NUL, less
// trailing blanks. ".sdf" appended gives its SDF file name.
[[nodiscard]] std::string_view sdf_name_of(std::string_view line);

// Whether file_name, an SDF file name or empty, is the one that sdf_name
// gives. Asked of every line, so it compares without composing the name.
[[nodiscard]] bool is_file_name_of(std::string_view file_name, std::string_view sdf_name);

// Whether a line this long holds a record; a shorter one is marked "?".
[[nodiscard]] inline bool holds_record(std::string_view line) { return line.size() >= header_width; }

// The walk over a merged file's lines and records.
#include "distribute/merged_walk.h"

#include <cstdint>

#include "textfile/names.h"

namespace {

constexpr std::int32_t line_limit = 4010;
constexpr std::size_t name_width = 8;

// How a piece of a line, as one read delivers it, ends.
enum class PieceEnd { line_feed, limit, nothing_left, read_error };

// Reads into piece the next piece of a line. A line that the end of the data
// (or a 0x1A) cuts short is completed with the line feed it lacks.
PieceEnd read_piece(MergedWalk& walk, std::string& piece) {
    if (!text_read_line(piece, line_limit, walk.merged)) {
        piece.clear();
        return text_error(walk.merged) ? PieceEnd::read_error : PieceEnd::nothing_left;
    }
    if (piece.back() == '\n') return PieceEnd::line_feed;
    if (text_error(walk.merged)) return PieceEnd::read_error;
    if (!text_at_end(walk.merged)) return PieceEnd::limit;
    piece += '\n';
    walk.completed_last_line = true;
    return PieceEnd::line_feed;
}

// The SDF name of a merged line: its first 8 characters up to a NUL, less
// trailing blanks. ".sdf" appended gives its SDF file name.
std::string_view sdf_name_of(std::string_view line) { return trimmed(line.substr(0, name_width)); }

}  // namespace

MergedPart next_part(MergedWalk& walk) {
    if (walk.record_goes_on) {
        PieceEnd end = read_piece(walk, walk.piece);
        if (end == PieceEnd::nothing_left) {
            // The data ended right where the last piece stopped at the limit.
            walk.piece.assign(1, '\n');
            walk.completed_last_line = true;
            end = PieceEnd::line_feed;
        }
        if (end == PieceEnd::read_error) return {Part::read_error, {}, {}};
        walk.record_goes_on = end == PieceEnd::limit;
        return {Part::record_rest, {}, walk.piece};
    }
    const PieceEnd end = read_piece(walk, walk.line);
    if (end == PieceEnd::nothing_left) return {Part::end, {}, {}};
    if (end == PieceEnd::read_error) return {Part::read_error, {}, {}};
    const std::string_view line = walk.line;
    if (line.size() < header_width) return {Part::short_line, sdf_name_of(line), {}};
    walk.record_goes_on = end == PieceEnd::limit;
    return {Part::record_start, sdf_name_of(line), line.substr(header_width)};
}

bool is_file_name_of(std::string_view file_name, std::string_view sdf_name) {
    // An SDF file name always ends in the extension: the rest decides.
    return file_name.size() == sdf_name.size() + sdf_extension.size() && file_name.starts_with(sdf_name);
}

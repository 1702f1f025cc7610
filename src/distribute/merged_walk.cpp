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

// Whether file_name, an SDF file name or empty, is the one that sdf_name
// gives. Asked of every line, so it compares without composing the name.
bool is_file_name_of(std::string_view file_name, std::string_view sdf_name) {
    // An SDF file name always ends in the extension: the rest decides.
    return file_name.size() == sdf_name.size() + sdf_extension.size() && file_name.starts_with(sdf_name);
}

// A line with a header: the batch it belongs to, a new one when its SDF name
// is not the batch's.
MergedPart part_of_line(MergedWalk& walk, Part part, std::string_view record) {
    const std::string_view sdf_name = sdf_name_of(walk.line);
    const bool starts_batch = !is_file_name_of(walk.file_name, sdf_name);
    if (starts_batch) {
        walk.file_name = sdf_name;
        walk.file_name += sdf_extension;
    }
    return {part, starts_batch, record};
}

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
        if (end == PieceEnd::read_error) return {Part::read_error};
        walk.record_goes_on = end == PieceEnd::limit;
        return {Part::record_rest, false, walk.piece};
    }
    const PieceEnd end = read_piece(walk, walk.line);
    if (end == PieceEnd::nothing_left) {
        // What the merged file grows by later starts a batch of its own.
        walk.file_name.clear();
        return {Part::end};
    }
    if (end == PieceEnd::read_error) return {Part::read_error};
    if (walk.line.size() < header_width) return part_of_line(walk, Part::short_line, {});
    walk.record_goes_on = end == PieceEnd::limit;
    return part_of_line(walk, Part::record_start, std::string_view(walk.line).substr(header_width));
}

// Reading a merged file's lines and records.
#include "distribute/records.h"

#include <cstdint>

#include "textfile/names.h"

namespace {

constexpr std::int32_t line_limit = 4010;
constexpr std::size_t name_width = 8;

}  // namespace

PieceEnd read_piece(TextStream& merged, std::string& piece) {
    if (!text_read_line(piece, line_limit, merged)) {
        piece.clear();
        return text_error(merged) ? PieceEnd::read_error : PieceEnd::nothing_left;
    }
    if (piece.back() == '\n') return PieceEnd::line_feed;
    if (text_error(merged)) return PieceEnd::read_error;
    if (!text_at_end(merged)) return PieceEnd::limit;
    piece += '\n';
    return PieceEnd::line_feed;
}

PieceEnd read_continuation(TextStream& merged, std::string& piece) {
    const PieceEnd end = read_piece(merged, piece);
    if (end != PieceEnd::nothing_left) return end;
    piece.assign(1, '\n');
    return PieceEnd::line_feed;
}

std::string_view sdf_name_of(std::string_view line) { return trimmed(line.substr(0, name_width)); }

bool is_file_name_of(std::string_view file_name, std::string_view sdf_name) {
    // An SDF file name always ends in the extension: the rest decides.
    return file_name.size() == sdf_name.size() + sdf_extension.size() && file_name.starts_with(sdf_name);
}

// Fuzz target: the text writer against the model of the DOS text rules.
//
// Input: a byte choosing the open mode, a byte choosing what the file holds
// before, a byte choosing the size of the pieces handed to each write and
// whether the held output is flushed now and then, a byte choosing filler
// written first (to bring what follows to the edges of the 4096-byte holding
// buffer), then the text. The file must hold what it held before (when
// appended to), then the text with each LF stored as CR LF, or unchanged for
// a bytes stream.
#include <algorithm>
#include <array>
#include <filesystem>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "models.h"
#include "textfile/text_stream.h"

namespace {

constexpr std::array<std::string_view, 8> modes{"wa", "w", "wb", "wba", "aa", "a", "ab", "abb"};
constexpr std::array<std::string_view, 4> contents_before{"", "old\r\n", "old\x1a", "o"};
constexpr std::size_t holding = 4096;

bool appends(std::string_view mode) { return mode.front() == 'a'; }

std::string filler_of(std::uint8_t choice) {
    if ((choice & 0x80) == 0) return {};
    const std::size_t length = holding * (1 + ((choice >> 6) & 1)) - (choice & 0x3f);
    std::string filler(length, 'x');
    if (choice & 0x20) {
        for (std::size_t at = 7; at < length; at += 8) filler[at] = '\n';
    }
    return filler;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::InputReader reader = fuzzing::take_input(data, size);
    const std::string_view mode = modes[reader.byte() % modes.size()];
    const std::uint8_t before_choice = reader.byte();
    const std::uint8_t pieces_choice = reader.byte();
    const std::string filler = filler_of(reader.byte());
    const std::string_view text = reader.rest();

    const std::string path = fuzzing::scratch_root() + "/text";
    std::filesystem::remove(path);
    const bool file_present = (before_choice & 0x80) == 0;
    const std::string_view before = contents_before[before_choice % contents_before.size()];
    if (file_present) fuzzing::write_file(path, before);

    std::optional<TextStream> stream = text_open(path, mode);
    fuzzing::expect_true("the file opens", stream.has_value());
    const std::size_t piece_size = pieces_choice % 64 + 1;
    const bool flushes = (pieces_choice & 0x40) != 0;
    fuzzing::expect_true("the filler is taken", text_write(filler, *stream) == 0);
    std::size_t count = 0;
    for (std::string_view rest = text; !rest.empty(); rest.remove_prefix(std::min(piece_size, rest.size()))) {
        fuzzing::expect_true("every piece is taken", text_write(rest.substr(0, piece_size), *stream) == 0);
        if (flushes && ++count % 7 == 3) fuzzing::expect_true("the flush succeeds", text_flush(*stream) == 0);
    }
    fuzzing::expect_true("the stream closes", text_close(*stream) == 0);

    const std::string written = filler + std::string(text);
    std::string expected = file_present && appends(mode) ? std::string(before) : std::string();
    expected += model::reading_of_mode(mode) == model::Reading::bytes ? written : model::stored_text(written);
    fuzzing::expect_equal("the file", expected, fuzzing::read_file(path));
    return 0;
}

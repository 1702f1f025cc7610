// Fuzz target: the text reader against the model of the DOS text rules.
//
// Input: a byte choosing the line limit, a byte choosing the open mode, a byte
// choosing a run of filler bytes put in front of the data (to bring what
// follows to the edges of the 4096-byte pieces the reader fetches), then the
// file's data. The file is read line by line until the end indication comes
// on, and every line, every result and the end indication after each read
// must be what the model says; the length probe must give the file's size.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "models.h"
#include "textfile/text_stream.h"

namespace {

constexpr std::array<std::int32_t, 16> chosen_limits{-1, 0, 1, 2, 3, 4, 5, 10, 11, 20, 4009, 4010, 4095, 4096, 4097, 8193};
// The last four are no modes at all: the open must fail.
constexpr std::array<std::string_view, 12> modes{"ra", "r",  "rb", "rba", "rab", "rbx",
                                                 "rbb", "r+", "",   "x",   "Ra",  "+r"};
constexpr std::size_t piece = 4096;

// A byte below 128 picks one of the limits above; from 128 up, a small limit.
std::int32_t limit_of(std::uint8_t choice) {
    return choice < 128 ? chosen_limits[choice % chosen_limits.size()] : choice - 128 + 2;
}

// With the high bit set: filler that ends up to 31 bytes short of the end of
// the first or the second piece, made of one long line or of short CR LF lines.
std::string filler_of(std::uint8_t choice) {
    if ((choice & 0x80) == 0) return {};
    const std::size_t length = piece * (1 + ((choice >> 6) & 1)) - (choice & 0x1f);
    const std::string_view pattern = (choice & 0x20) ? "line\r\n" : "x";
    std::string filler(length, ' ');
    for (std::size_t at = 0; at < length; ++at) filler[at] = pattern[at % pattern.size()];
    return filler;
}

// Enough for every line of the largest input, each read at least one byte.
constexpr std::size_t max_reads = 1 << 20;
const std::string sentinel = "\x01untouched";

// One read as a report shows it.
std::string shown(const model::LineRead& read, bool error) {
    return std::string(read.delivered ? "delivered " : "nothing, the buffer holding ") + "\"" + read.line +
           "\", end " + (read.at_end ? "on" : "off") + (error ? ", error" : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::InputReader reader = fuzzing::take_input(data, size);
    const std::int32_t limit = limit_of(reader.byte());
    const std::string_view mode = modes[reader.byte() % modes.size()];
    std::string file = filler_of(reader.byte());
    file += reader.rest();

    const std::string path = fuzzing::scratch_root() + "/text";
    fuzzing::write_file(path, file);

    const std::vector<model::LineRead> expected =
        model::line_reads(model::readable_data(file, model::reading_of_mode(mode)), limit, max_reads);

    std::optional<TextStream> stream = text_open(path, mode);
    const bool valid_mode = !mode.empty() && mode.front() == 'r';
    fuzzing::expect_equal("the open with mode \"" + std::string(mode) + "\"", valid_mode ? "opened" : "refused",
                          stream ? "opened" : "refused");
    if (!valid_mode) return 0;
    fuzzing::expect_true("no end before the first read", !text_at_end(*stream));
    for (std::size_t index = 0; index < expected.size(); ++index) {
        model::LineRead actual;
        actual.line = sentinel;
        actual.delivered = text_read_line(actual.line, limit, *stream);
        actual.at_end = text_at_end(*stream);
        const model::LineRead& wanted = expected[index];
        const bool same = actual.delivered == wanted.delivered && actual.at_end == wanted.at_end &&
                          actual.line == (wanted.delivered ? wanted.line : sentinel) && !stream->error;
        if (!same) {
            fuzzing::fail_with_input("read " + std::to_string(index + 1) + " of the file, limit " +
                                         std::to_string(limit) + ", mode " + std::string(mode),
                                     shown(wanted, false), shown(actual, stream->error));
        }
    }
    if (expected.back().at_end) {
        std::string line = sentinel;
        fuzzing::expect_true("nothing after the end", !text_read_line(line, limit, *stream) && line == sentinel);
        fuzzing::expect_true("the end stays on", text_at_end(*stream));
    }
    fuzzing::expect_true("the stream closes", text_close(*stream) == 0);
    fuzzing::expect_equal("the length of the file", std::to_string(file.size()), std::to_string(file_length(path)));
    return 0;
}

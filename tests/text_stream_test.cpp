// The DOS text rules at the byte level: line reads, the end indication, writes,
// modes, the length probe and the trim; and what a name from data may become.
#include <gtest/gtest.h>

#include "support.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

using testing_support::escaped;
using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

namespace {

const std::string unchanged = "<as before>";
const std::string piece_minus_one(4095, 'x');  // one byte short of a 4096-byte piece

struct Read {
    std::int32_t limit;
    bool delivered;
    std::string line;  // what the buffer holds afterwards
    bool at_end;
};

struct ReadCase {
    const char* name;
    std::string file;
    std::vector<Read> reads;
};

void PrintTo(const ReadCase& test, std::ostream* out) { *out << test.name; }

class TextReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(TextReadTest, DeliversLinesAndEndAsTheDosRulesSay) {
    const ReadCase& test = GetParam();
    ScratchDir scratch;
    write_file(scratch / "in", test.file);
    std::optional<TextStream> stream = text_open(scratch / "in", "ra");
    ASSERT_TRUE(stream);

    std::string line = unchanged;
    for (std::size_t i = 0; i < test.reads.size(); ++i) {
        const Read& expected = test.reads[i];
        SCOPED_TRACE("read " + std::to_string(i + 1));
        EXPECT_EQ(text_read_line(line, expected.limit, *stream), expected.delivered);
        EXPECT_EQ(escaped(line), escaped(expected.line));
        EXPECT_EQ(text_at_end(*stream), expected.at_end);
    }
    EXPECT_EQ(text_close(*stream), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextReadTest,
    testing::Values(
        ReadCase{"last_line_without_terminator", "AB\r\nCD", {{4010, true, "AB\n", false}, {4010, true, "CD", true}}},
        ReadCase{"end_found_by_the_read_after_the_last_lf",
                 "AB\r\n",
                 {{4010, true, "AB\n", false}, {4010, false, "AB\n", true}}},
        ReadCase{"empty_file", "", {{4010, false, unchanged, true}}},
        ReadCase{"file_starting_with_eof_byte", "\x1a" "AB\r\n", {{4010, false, unchanged, true}}},
        ReadCase{"nothing_after_eof_byte",
                 "AB\r\n\x1a" "CD\r\n",
                 {{4010, true, "AB\n", false}, {4010, false, "AB\n", true}, {4010, false, "AB\n", true}}},
        ReadCase{"eof_byte_cuts_a_line", "AB\x1a" "CD", {{4010, true, "AB", true}}},
        ReadCase{"lone_cr_stays", "A\rB\r\n", {{4010, true, "A\rB\n", false}}},
        ReadCase{"cr_before_cr_lf_stays", "A\r\r\n", {{4010, true, "A\r\n", false}}},
        ReadCase{"cr_as_last_byte_stays", "AB\r", {{4010, true, "AB\r", true}}},
        ReadCase{"cr_before_eof_byte_stays", "AB\r\x1a\n", {{4010, true, "AB\r", true}}},
        ReadCase{"nul_is_data", std::string("A\0B\r\n", 5), {{4010, true, std::string("A\0B\n", 4), false}}},
        ReadCase{"high_bytes_are_data", "\xc8\xe8\xff\r\n", {{4010, true, "\xc8\xe8\xff\n", false}}},
        ReadCase{"long_line_arrives_in_pieces",
                 std::string(25, 'L') + "\r\n",
                 {{20, true, std::string(19, 'L'), false}, {20, true, "LLLLLL\n", false}, {20, false, "LLLLLL\n", true}}},
        ReadCase{"line_that_fills_the_limit_leaves_the_end_for_the_next_read",
                 "ABCD",
                 {{5, true, "ABCD", false}, {5, false, "ABCD", true}}},
        ReadCase{"line_shorter_than_the_limit_finds_the_end", "ABCD", {{4010, true, "ABCD", true}}},
        ReadCase{"limit_one_gives_an_empty_text_and_consumes_nothing",
                 "AB\r\n",
                 {{1, true, "", false}, {4010, true, "AB\n", false}}},
        ReadCase{"limit_zero_or_less_gives_nothing",
                 "AB\r\n",
                 {{0, false, unchanged, false}, {-5, false, unchanged, false}, {4010, true, "AB\n", false}}},
        ReadCase{"limit_stops_between_cr_and_lf",
                 "ABC\r\n",
                 {{4, true, "ABC", false}, {4, true, "\n", false}, {4, false, "\n", true}}},
        ReadCase{"cr_lf_split_across_two_pieces",
                 piece_minus_one + "\r\nY\r\n",
                 {{10000, true, piece_minus_one + "\n", false}, {10000, true, "Y\n", false}}},
        ReadCase{"cr_at_the_end_of_a_piece_before_another_byte",
                 piece_minus_one + "\rZ\r\n",
                 {{10000, true, piece_minus_one + "\rZ\n", false}}},
        ReadCase{"cr_at_the_end_of_a_piece_before_cr_lf",
                 piece_minus_one + "\r\r\n",
                 {{10000, true, piece_minus_one + "\r\n", false}}},
        ReadCase{"cr_at_the_end_of_a_piece_before_eof_byte",
                 piece_minus_one + "\r\x1a" "Z",
                 {{10000, true, piece_minus_one + "\r", true}}},
        ReadCase{"cr_as_the_last_byte_of_a_full_piece",
                 piece_minus_one + "\r",
                 {{10000, true, piece_minus_one + "\r", true}}},
        ReadCase{"eof_byte_in_a_later_piece",
                 std::string(9000, 'a') + "\x1a" "tail\r\n",
                 {{20000, true, std::string(9000, 'a'), true}}},
        ReadCase{"cr_lf_that_fills_the_limit",
                 "ABC\r\nD",
                 {{5, true, "ABC\n", false}, {5, true, "D", true}}},
        ReadCase{"lf_just_past_the_limit",
                 "ABCD\nE",
                 {{5, true, "ABCD", false}, {5, true, "\n", false}, {5, true, "E", true}}},
        ReadCase{"bare_lf_ends_a_line", "AB\nCD\r\n", {{4010, true, "AB\n", false}, {4010, true, "CD\n", false}}},
        ReadCase{"cr_lf_split_across_two_pieces_fills_the_limit",
                 piece_minus_one + "\r\nY",
                 {{4097, true, piece_minus_one + "\n", false}, {4097, true, "Y", true}}},
        ReadCase{"line_over_many_pieces",
                 std::string(10000, 'm') + "\r\n",
                 {{20000, true, std::string(10000, 'm') + "\n", false}, {20000, false, std::string(10000, 'm') + "\n", true}}}),
    [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

// What the DOS rules make of a whole file: cut at 0x1A, each CR LF one LF.
std::string translated(const std::string& file) {
    const std::string text = file.substr(0, file.find('\x1a'));
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) result += text[i];
    }
    return result;
}

// Random files dense in CR, LF and 0x1A, many crossing 4096-byte pieces, read
// with limits small and large: every read must deliver what the rules say of
// the translated text, and the end must show exactly when the data ran out.
TEST(TextRead, AgreesWithTheRulesOnRandomFiles) {
    std::uint64_t seed = 12345;
    const auto next = [&seed](std::uint64_t bound) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return (seed >> 33) % bound;
    };
    const std::string alphabet = "A\r\r\n\n";
    for (int round = 0; round < 200; ++round) {
        std::string file(next(round % 4 == 0 ? 13000 : 300), 'A');
        for (char& c : file) c = alphabet[next(alphabet.size())];
        if (next(8) == 0 && !file.empty()) file[next(file.size())] = '\x1a';
        const std::int32_t limits[] = {2, 3, 5, 17, 4010, 4097, 20000};
        const std::int32_t limit = limits[next(std::size(limits))];
        SCOPED_TRACE("round " + std::to_string(round) + ", limit " + std::to_string(limit));

        ScratchDir scratch;
        write_file(scratch / "in", file);
        std::optional<TextStream> stream = text_open(scratch / "in", "ra");
        ASSERT_TRUE(stream);
        const std::string text = translated(file);
        std::string_view expected = text;
        const auto wanted = static_cast<std::size_t>(limit - 1);
        std::string line;
        while (!expected.empty()) {
            const std::size_t lf = expected.find('\n');
            const std::size_t length = std::min(lf == std::string_view::npos ? expected.size() : lf + 1, wanted);
            ASSERT_TRUE(text_read_line(line, limit, *stream));
            ASSERT_EQ(escaped(line), escaped(expected.substr(0, length)));
            const bool ran_out = length == expected.size() && line.back() != '\n' && length < wanted;
            ASSERT_EQ(text_at_end(*stream), ran_out);
            expected.remove_prefix(length);
        }
        EXPECT_FALSE(text_read_line(line, limit, *stream));
        EXPECT_TRUE(text_at_end(*stream));
        EXPECT_EQ(text_close(*stream), 0);
    }
}

TEST(TextRead, BytesModeDeliversTheFileUntranslated) {
    ScratchDir scratch;
    write_file(scratch / "in", "A\r\n\x1a" "B");
    std::optional<TextStream> stream = text_open(scratch / "in", "rb");
    ASSERT_TRUE(stream);
    std::string line;
    ASSERT_TRUE(text_read_line(line, 4010, *stream));
    EXPECT_EQ(escaped(line), escaped("A\r\n"));
    ASSERT_TRUE(text_read_line(line, 4010, *stream));
    EXPECT_EQ(escaped(line), escaped("\x1a" "B"));
}

TEST(TextRead, ReadErrorSetsTheErrorIndicationNotTheEnd) {
    ScratchDir scratch;
    write_file(scratch / "in", "AB\r\n");
    TextStream stream;  // reading, but from a file opened only for writing
    stream.file = std::move(platform::open_path(scratch / "in", platform::Access::rewrite)->file);
    std::string line = unchanged;
    EXPECT_FALSE(text_read_line(line, 4010, stream));
    EXPECT_EQ(line, unchanged);
    EXPECT_TRUE(text_error(stream));
    EXPECT_FALSE(text_at_end(stream));
}

struct WriteCase {
    const char* name;
    std::vector<std::string> texts;
    std::string file;
};

void PrintTo(const WriteCase& test, std::ostream* out) { *out << test.name; }

class TextWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(TextWriteTest, StoresEachLfAsCrLf) {
    ScratchDir scratch;
    std::optional<TextStream> stream = text_open(scratch / "out", "wa");
    ASSERT_TRUE(stream);
    for (const std::string& text : GetParam().texts) EXPECT_EQ(text_write(text, *stream), 0);
    EXPECT_EQ(text_close(*stream), 0);
    EXPECT_EQ(escaped(read_file(scratch / "out").value_or("<absent>")), escaped(GetParam().file));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextWriteTest,
    testing::Values(WriteCase{"lf", {"X\n"}, "X\r\n"},
                    WriteCase{"cr_lf_gains_a_cr", {"X\r\n"}, "X\r\r\n"},
                    WriteCase{"bare_lf", {"\n", "\n"}, "\r\n\r\n"},
                    WriteCase{"nothing", {}, ""},
                    WriteCase{"other_bytes_unchanged",
                              {std::string("\0\x1a\xff\r", 4)},
                              std::string("\0\x1a\xff\r", 4)},
                    WriteCase{"cr_lf_split_by_a_full_holding_buffer",
                              {piece_minus_one + "\n", "Y\n"},
                              piece_minus_one + "\r\nY\r\n"},
                    WriteCase{"text_larger_than_the_holding_buffer",
                              {std::string(10000, 'w') + "\n"},
                              std::string(10000, 'w') + "\r\n"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

struct OpenCase {
    const char* name;
    std::string before;  // "<absent>" when there is no file
    std::string mode;
    bool opens;
    std::string after;  // the file once "N\n" is written, when it opens for writing
};

void PrintTo(const OpenCase& test, std::ostream* out) { *out << test.name; }

class TextOpenTest : public testing::TestWithParam<OpenCase> {};

TEST_P(TextOpenTest, OpensByTheModeString) {
    const OpenCase& test = GetParam();
    ScratchDir scratch;
    const std::string path = scratch / "f";
    if (test.before != "<absent>") write_file(path, test.before);
    std::optional<TextStream> stream = text_open(path, test.mode);
    ASSERT_EQ(stream.has_value(), test.opens);
    if (!stream) return;
    if (stream->direction == Direction::writing) {
        EXPECT_EQ(text_write("N\n", *stream), 0);
    }
    EXPECT_EQ(text_close(*stream), 0);
    EXPECT_EQ(escaped(read_file(path).value_or("<absent>")), escaped(test.after));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextOpenTest,
    testing::Values(OpenCase{"create_empties", "OLD\r\n", "wa", true, "N\r\n"},
                    OpenCase{"create_makes_absent", "<absent>", "wa", true, "N\r\n"},
                    OpenCase{"append_keeps", "OLD\r\n", "aa", true, "OLD\r\nN\r\n"},
                    OpenCase{"append_makes_absent", "<absent>", "aa", true, "N\r\n"},
                    OpenCase{"append_goes_past_eof_byte", "OLD\x1a", "aa", true, "OLD\x1aN\r\n"},
                    OpenCase{"read_needs_the_file", "<absent>", "ra", false, ""},
                    OpenCase{"read_keeps", "OLD\r\n", "r", true, "OLD\r\n"},
                    OpenCase{"unknown_modifier_ends_the_mode", "<absent>", "wxb", true, "N\r\n"},
                    OpenCase{"bytes_write_untranslated", "<absent>", "wb", true, "N\n"},
                    OpenCase{"empty_mode", "OLD", "", false, ""},
                    OpenCase{"unknown_kind", "OLD", "xa", false, ""},
                    OpenCase{"modifier_first", "OLD", "ba", false, ""}),
    [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST(TextOpen, RefusesDirectoriesForEveryKind) {
    ScratchDir scratch;
    for (const char* mode : {"ra", "wa", "aa", "rb"}) EXPECT_FALSE(text_open(scratch.path().string(), mode)) << mode;
}

TEST(FileLength, CountsStoredBytes) {
    ScratchDir scratch;
    write_file(scratch / "empty", "");
    write_file(scratch / "line", "AB\r\n");
    write_file(scratch / "eof", "AB\r\n\x1a" "CD\r\n");
    EXPECT_EQ(file_length(scratch / "absent"), 0);
    EXPECT_EQ(file_length(scratch / "empty"), 0);
    EXPECT_EQ(file_length(scratch.path().string()), 0);
    EXPECT_EQ(file_length(scratch / "line"), 4);
    EXPECT_EQ(file_length(scratch / "eof"), 9);
}

struct TrimCase {
    std::string text;
    std::string kept;
    std::ptrdiff_t last_index;
};

TEST(TrimTrailingBlanks, CutsControlsSpacesAndHighBytesAtTheEnd) {
    const std::vector<TrimCase> cases = {
        {"ABC  \t\n", "ABC", 2},
        {"A B ", "A B", 2},
        {"   ", "", -1},
        {"", "", -1},
        {"AB\xe8", "AB", 1},
        {"AB\x01", "AB", 1},
        {"ABC\xc8    ", "ABC", 2},
        {" \xe8Z\r\n", " \xe8Z", 2},
        {std::string("AB\0CD", 5), "AB", 1},
        {std::string("\0AB", 3), "", -1},
        {"\x7f", "\x7f", 0},
    };
    for (TrimCase test : cases) {
        const std::string given = test.text;
        EXPECT_EQ(trim_trailing_blanks(test.text), test.last_index) << escaped(given);
        EXPECT_EQ(escaped(test.text), escaped(test.kept)) << escaped(given);
    }
}

// Under Windows' rules a name from data never names a stream of another
// file, nor a device, in any letter case, with any extension and blanks
// before it; under POSIX's, both may be files. Separators: distribute_test.cpp.
TEST(PlainFileName, RefusesDevicesAndStreamsUnderWindowsRules) {
    const std::vector<std::pair<std::string, bool>> cases = {  // name, plain under Windows' rules
        {"NUL.sdf", false},     {"nul.sdf", false},    {"CON.sdf", false},      {"PRN.sdf", false},
        {"AUX.sdf", false},     {"COM1.sdf", false},   {"COM9.sdf", false},     {"COM0.sdf", false},
        {"LPT1.sdf", false},    {"LPT9.sdf", false},   {"LPT\xb2.x.sdf", false}, {"conin$.sdf", false},
        {"CONOUT$.sdf", false}, {"nul .x.sdf", false}, {"in.mrg:x.sdf", false}, {"A:x.sdf", false},
        {"COM10.sdf", true},    {"NULL.sdf", true},
    };
    for (const auto& [name, on_windows] : cases) {
        EXPECT_EQ(is_plain_file_name(name, platform::FileNameRules::windows), on_windows) << escaped(name);
        EXPECT_TRUE(is_plain_file_name(name, platform::FileNameRules::posix)) << escaped(name);
    }
}

}  // namespace

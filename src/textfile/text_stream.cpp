// DOS text streams over the platform's byte I/O.
#include "textfile/text_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/turns.h"

namespace {

constexpr char cr = '\r';
constexpr char lf = '\n';
constexpr char end_of_text = '\x1a';

// Slot 0 of the holding buffer is kept for a CR held back from the previous
// piece; pieces are read into the 4096 bytes after it.
constexpr std::size_t piece_start = 1;

char* holding_of(TextStream& stream) {
    if (!stream.holding) stream.holding = std::make_unique_for_overwrite<char[]>(piece_start + holding_size);
    return stream.holding.get();
}

struct Mode {
    platform::Access access;
    Direction direction;
    Translation translation;
};

std::optional<Mode> parse_mode(std::string_view mode) {
    if (mode.empty()) return std::nullopt;
    Mode parsed{platform::Access::read, Direction::reading, Translation::text};
    switch (mode.front()) {
    case 'r': break;
    case 'w': parsed = {platform::Access::create, Direction::writing, Translation::text}; break;
    case 'a': parsed = {platform::Access::append, Direction::writing, Translation::text}; break;
    default: return std::nullopt;
    }
    for (const char modifier : mode.substr(1)) {
        if (modifier != 'b') break;
        parsed.translation = Translation::bytes;
    }
    return parsed;
}

// A piece may yield no byte to deliver yet: a lone CR waits for the next one.
enum class Fetch { piece_taken, no_more_data, failed };

// Reads the next piece of the file into the holding buffer and cuts it at a
// 0x1A. A CR LF inside the piece is left for text_read_line to join as it
// copies the line out, which spares a pass over every byte; a CR that ends
// the piece waits for the next one, so that a CR LF split between two pieces
// is joined too.
Fetch fetch_piece(TextStream& stream) {
    char* const base = holding_of(stream);
    if (stream.text_ended) return Fetch::no_more_data;
    const std::optional<std::size_t> count =
        platform::read_some(stream.file, {base + piece_start, holding_size});
    if (!count) return Fetch::failed;
    stream.bytes_read += static_cast<std::int64_t>(*count);

    char* first = base + piece_start;
    char* last = first + *count;
    if (stream.translation == Translation::bytes) {
        stream.next = piece_start;
        stream.limit = piece_start + *count;
        return *count == 0 ? Fetch::no_more_data : Fetch::piece_taken;
    }

    if (void* found = std::memchr(first, end_of_text, *count)) {
        last = static_cast<char*>(found);
        stream.text_ended = true;
    }
    const bool data_ended = stream.text_ended || *count == 0;
    if (stream.cr_held_back) {
        stream.cr_held_back = false;
        const bool joins_lf = first != last && *first == lf;
        if (!joins_lf) *--first = cr;
    }
    if (!data_ended && last != first && last[-1] == cr) {
        stream.cr_held_back = true;
        --last;
    }
    stream.next = static_cast<std::size_t>(first - base);
    stream.limit = static_cast<std::size_t>(last - base);
    return first == last && data_ended ? Fetch::no_more_data : Fetch::piece_taken;
}

// Makes at least one byte ready to deliver. On false, the end or the error
// indication says why.
bool fill(TextStream& stream) {
    while (stream.next == stream.limit) {
        switch (fetch_piece(stream)) {
        case Fetch::piece_taken: break;
        case Fetch::no_more_data: stream.at_end = true; return false;
        case Fetch::failed: stream.error = true; return false;
        }
    }
    return true;
}

// Hands the first count held bytes to the file; the rest stay held.
bool hand_over(TextStream& stream, std::size_t count) {
    if (count == 0) return true;
    char* const base = stream.holding.get();
    const bool written = platform::write_all(stream.file, {base, count});
    if (written) stream.bytes_written += static_cast<std::int64_t>(count);
    std::memmove(base, base + count, stream.next - count);
    stream.next -= count;
    if (!written) stream.error = true;
    return written;
}

bool hand_over_held_output(TextStream& stream) { return hand_over(stream, stream.next); }

// How much of a full buffer goes to the file: what brings the file's end to
// a page boundary, then whole pages, so that no write but the first and the
// last of a stream straddles two pages of the file.
std::size_t whole_pages_part(const TextStream& stream) {
    const auto into_page = static_cast<std::size_t>((stream.written_from + stream.bytes_written) % holding_size);
    return holding_size - into_page;
}

// Takes the file's turn before the first of several writes.
bool take_turn_when_due(TextStream& stream) {
    if (!stream.turn_due) return true;
    stream.turn_due = false;
    if (platform::wait_for_file_turn(stream.file)) return true;
    stream.error = true;
    return false;
}

// Adds bytes to the held output. The buffer goes to the file only when it is
// full and more bytes come, so the file receives whole pages at a time.
bool hold(std::string_view bytes, TextStream& stream) {
    char* const base = holding_of(stream);
    if (bytes.empty()) return true;
    for (;;) {
        const std::size_t room = holding_size - stream.next;
        if (bytes.size() <= room) {
            std::memcpy(base + stream.next, bytes.data(), bytes.size());
            stream.next += bytes.size();
            return true;
        }
        std::memcpy(base + stream.next, bytes.data(), room);
        stream.next = holding_size;
        bytes.remove_prefix(room);
        if (!take_turn_when_due(stream) || !hand_over(stream, whole_pages_part(stream))) return false;
    }
}

// The one place of the line-end rule: text goes to put in the pieces that a
// text stream stores for it, each LF as stored_line_end. False as soon as put
// refuses a piece.
template <typename Put>
bool put_stored_form(std::string_view text, Put&& put) {
    for (;;) {
        const std::size_t at_lf = text.find(lf);
        if (at_lf == std::string_view::npos) return put(text);
        if (!put(text.substr(0, at_lf)) || !put(stored_line_end)) return false;
        text.remove_prefix(at_lf + 1);
    }
}

TextStream stream_on(platform::File file, const Mode& mode) {
    TextStream stream;
    stream.file = std::move(file);
    stream.direction = mode.direction;
    stream.translation = mode.translation;
    return stream;
}

}  // namespace

std::optional<TextStream> text_open(const std::string& path, std::string_view mode) {
    const std::optional<Mode> parsed = parse_mode(mode);
    if (!parsed) return std::nullopt;
    std::optional<platform::OpenedFile> opened = platform::open_path(path, parsed->access);
    if (!opened) return std::nullopt;
    return stream_on(std::move(opened->file), *parsed);
}

std::optional<TextStream> text_open_in(const platform::Directory& directory, std::string_view name,
                                       std::string_view mode, platform::Links links) {
    const std::optional<Mode> parsed = parse_mode(mode);
    if (!parsed) return std::nullopt;
    std::optional<platform::OpenedFile> opened = platform::open_in(directory, name, parsed->access, links);
    if (!opened) return std::nullopt;
    return stream_on(std::move(opened->file), *parsed);
}

TextStream text_stream_for_writing(platform::File file) {
    TextStream stream;
    stream.file = std::move(file);
    stream.direction = Direction::writing;
    return stream;
}

TextStream text_stream_for_reading(platform::File file) {
    TextStream stream;
    stream.file = std::move(file);
    return stream;
}

void text_reopen_for_writing(TextStream& closed, platform::File file) {
    std::unique_ptr<char[]> holding = std::move(closed.holding);
    closed = text_stream_for_writing(std::move(file));
    closed.holding = std::move(holding);
}

std::optional<OpenedToAppend> text_reopen_for_appending(TextStream& closed, const platform::Directory& directory,
                                                       std::string_view name) {
    std::optional<platform::OpenedFile> opened = platform::open_in(directory, name, platform::Access::append);
    if (!opened) return std::nullopt;
    text_reopen_for_writing(closed, std::move(opened->file));
    closed.written_from = opened->status.size;
    closed.turn_due = !opened->in_turn;
    return OpenedToAppend{opened->status, opened->created};
}

bool text_read_line(std::string& line, std::int32_t limit, TextStream& stream) {
    if (limit <= 0 || stream.direction != Direction::reading) return false;
    const auto wanted = static_cast<std::size_t>(limit - 1);
    if (wanted == 0) {
        line.clear();
        return true;
    }
    if (!fill(stream)) return false;

    line.clear();
    const char* const base = stream.holding.get();
    const bool joins_cr_lf = stream.translation == Translation::text;
    for (;;) {
        const char* from = base + stream.next;
        const std::size_t ready = stream.limit - stream.next;
        const std::size_t room = wanted - line.size();
        // A CR LF gives one character, so the line may end one byte past the room.
        const std::size_t window = std::min(room + 1, ready);
        if (const void* found = std::memchr(from, lf, window)) {
            const auto before_lf = static_cast<std::size_t>(static_cast<const char*>(found) - from);
            const bool after_cr = joins_cr_lf && before_lf > 0 && from[before_lf - 1] == cr;
            const std::size_t kept = before_lf - (after_cr ? 1 : 0);
            if (kept < room) {
                line.append(from, kept);
                line += lf;
                stream.next += before_lf + 1;
                return true;
            }
            // The LF lies just past the room: the line goes on in the next read.
        }
        const std::size_t taken = std::min(room, ready);
        line.append(from, taken);
        stream.next += taken;
        if (line.size() == wanted || !fill(stream)) return true;
    }
}

bool text_at_end(const TextStream& stream) { return stream.at_end; }

void text_read_on(TextStream& stream) {
    if (!stream.text_ended) stream.at_end = false;
}

bool text_error(const TextStream& stream) { return stream.error; }

bool text_is_open(const TextStream& stream) { return stream.file.is_open(); }

std::int64_t text_bytes_read(const TextStream& stream) { return stream.bytes_read; }

std::int64_t text_bytes_written(const TextStream& stream) { return stream.bytes_written; }

bool text_ended_by_end_of_text(const TextStream& stream) { return stream.text_ended; }

std::optional<platform::FileStatus> text_file_status(const TextStream& stream) {
    return platform::file_status(stream.file);
}

platform::File text_release(TextStream& stream) { return std::move(stream.file); }

bool text_claim_exclusively(TextStream& stream) { return platform::claim_exclusively(stream.file); }

int text_write(std::string_view text, TextStream& stream) {
    if (stream.direction != Direction::writing || stream.error) return -1;
    if (stream.translation == Translation::bytes) return hold(text, stream) ? 0 : -1;
    return put_stored_form(text, [&](std::string_view bytes) { return hold(bytes, stream); }) ? 0 : -1;
}

void text_stored_form(std::string_view text, std::string& stored) {
    put_stored_form(text, [&](std::string_view bytes) {
        stored += bytes;
        return true;
    });
}

int text_flush(TextStream& stream) {
    if (stream.direction != Direction::writing || stream.error) return -1;
    return hand_over_held_output(stream) ? 0 : -1;
}

void text_start_write_back(TextStream& stream) { platform::start_write_back(stream.file); }

int text_close(TextStream& stream) {
    bool failed = stream.error;
    if (stream.direction == Direction::writing && !stream.error && !hand_over_held_output(stream)) failed = true;
    if (!platform::close_file(stream.file)) failed = true;
    return failed ? -1 : 0;
}

int text_cut_back(TextStream& stream, std::int64_t length) {
    stream.next = 0;
    const bool cut = platform::truncate_file(stream.file, length);
    const bool closed = platform::close_file(stream.file);
    return cut && closed ? 0 : -1;
}

namespace {

std::int64_t length_of(std::optional<TextStream> stream) {
    if (!stream) return 0;
    const std::optional<std::int64_t> end = platform::end_position(stream->file);
    // Nothing was written, so the close has nothing to report that the length would not.
    static_cast<void>(text_close(*stream));
    return end ? *end : -1;
}

}  // namespace

std::int64_t file_length(const std::string& path) { return length_of(text_open(path, "rb")); }

std::int64_t file_length(const platform::Directory& directory, std::string_view name) {
    return length_of(text_open_in(directory, name, "rb"));
}

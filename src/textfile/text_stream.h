// DOS text streams: CR LF line ends on disk, LF in memory, 0x1A ends the text.
// The rules are applied here, over plain byte I/O, on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

enum class Direction { reading, writing };
enum class Translation { text, bytes };

inline constexpr std::size_t holding_size = 4096;

struct TextStream {
    platform::File file;
    Direction direction = Direction::reading;
    Translation translation = Translation::text;

    // Taken at the first read or write. One byte more than a piece read from
    // the file, so that a CR held back from the previous piece can go first.
    std::unique_ptr<char[]> holding;
    std::size_t next = 0;   // reading: next byte to deliver; writing: bytes held
    std::size_t limit = 0;  // reading: end of the bytes ready to deliver
    bool cr_held_back = false;  // a piece ended in CR: its fate rests on the next byte
    bool text_ended = false;    // a 0x1A was met; the file is not read again

    bool at_end = false;
    bool error = false;
    std::int64_t bytes_read = 0;     // taken from the file since the open
    std::int64_t bytes_written = 0;  // handed to the file since the open
    // Where a stream opened to append began writing: the file's length then,
    // so that its writes after the first fall on the file's page boundaries.
    std::int64_t written_from = 0;
    // Appending: the file's turn is still to be taken before a write that
    // more writes follow (text_reopen_for_appending).
    bool turn_due = false;
};

// What a text stream stores for a line feed.
inline constexpr std::string_view stored_line_end = "\r\n";

// Opens a stream. The first character of mode chooses the kind: "r" read,
// "w" create, "a" append; a following "b" asks for bytes instead of text, and
// the first other character ends the mode, so "ra", "wa" and "aa" are plain
// text modes. Nothing when the mode is invalid or the file cannot be opened.
[[nodiscard]] std::optional<TextStream> text_open(const std::string& path, std::string_view mode);

// The same for the file name of the directory.
[[nodiscard]] std::optional<TextStream> text_open_in(const platform::Directory& directory, std::string_view name,
                                                     std::string_view mode,
                                                     platform::Links links = platform::Links::followed);

// Wraps an already open file, such as standard output, as a text stream for
// writing, or one opened to read as a text stream for reading from where its
// position stands.
[[nodiscard]] TextStream text_stream_for_writing(platform::File file);
[[nodiscard]] TextStream text_stream_for_reading(platform::File file);

// Makes a closed stream a new one that writes to file, as
// text_stream_for_writing does, keeping the holding buffer it already has: a
// stream opened for every batch of records then costs no allocation.
void text_reopen_for_writing(TextStream& closed, platform::File file);

// Opens the file name of the directory for appending (creating it when
// nothing is there) as the closed stream's new file, keeping its holding
// buffer, and tells what the open found. Nothing when no regular
// file is there or it cannot be opened; the stream then stays closed.
//
// What the stream writes reaches the file in one write, when it closes, or
// in its turn: the turn is taken at the open where another run may reach the
// file by another name, else before the first write that more will follow.
// So a link made to the file meanwhile lets no other run's bytes land between
// the writes of a record.
struct OpenedToAppend {
    platform::FileStatus status;
    bool created = false;  // the open made the file
};
[[nodiscard]] std::optional<OpenedToAppend> text_reopen_for_appending(TextStream& closed,
                                                                     const platform::Directory& directory,
                                                                     std::string_view name);

// Delivers into line one line of at most limit - 1 characters, its LF
// included when it has one, and gives true. When the data has run out before
// a character was stored, gives false and leaves line as it was.
[[nodiscard]] bool text_read_line(std::string& line, std::int32_t limit, TextStream& stream);

// True once a read asked for more data and found none.
bool text_at_end(const TextStream& stream);

// Lets the reading of a stream whose file grew go on where it stopped: the
// end indication is cleared, unless a 0x1A ended the text for good.
void text_read_on(TextStream& stream);

// True once a read or a write of the stream failed.
bool text_error(const TextStream& stream);

// Whether the stream holds a file: from its open until its close or cut back.
bool text_is_open(const TextStream& stream);

// The bytes the stream has taken from its file, and handed to it, since it was opened.
std::int64_t text_bytes_read(const TextStream& stream);
std::int64_t text_bytes_written(const TextStream& stream);

// Whether a 0x1A ended the text: nothing after it is ever read.
bool text_ended_by_end_of_text(const TextStream& stream);

// The status of the stream's file, whatever path it was opened by: its size,
// identity and last change.
[[nodiscard]] std::optional<platform::FileStatus> text_file_status(const TextStream& stream);

// Takes the file out of a stream that is done with, for what is left to do
// with the file itself, such as deleting it while it is still held.
[[nodiscard]] platform::File text_release(TextStream& stream);

// Claims the stream's file exclusively without waiting; false when another
// holds a claim. The claim lasts until the stream is closed.
[[nodiscard]] bool text_claim_exclusively(TextStream& stream);

// Writes text, each LF as CR LF. 0 when every character was taken, -1 otherwise.
[[nodiscard]] int text_write(std::string_view text, TextStream& stream);

// Appends to stored the bytes that text_write stores for text.
void text_stored_form(std::string_view text, std::string& stored);

// Hands the held output to the file now. 0, or -1 on a write error.
[[nodiscard]] int text_flush(TextStream& stream);

// Starts bringing what the stream has handed to its file to storage, without
// waiting, so that a later sync has less left to wait for.
void text_start_write_back(TextStream& stream);

// Writes out the held output and releases the file. 0, or -1 on any error.
// The holding buffer stays with the object, for the reopen functions, until
// the object is destroyed.
[[nodiscard]] int text_close(TextStream& stream);

// Drops the held output, cuts the file back to its first length bytes and
// releases it: for output that must not stay. 0, or -1 on any error.
[[nodiscard]] int text_cut_back(TextStream& stream, std::int64_t length);

// The length in bytes of the file at path, or of the file name of the
// directory, as stored on disk: 0 when it is absent or cannot be opened (a
// directory, say), -1 when its end cannot be found.
std::int64_t file_length(const std::string& path);
std::int64_t file_length(const platform::Directory& directory, std::string_view name);

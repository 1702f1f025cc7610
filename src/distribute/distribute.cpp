// Record distribution: one pass over the merged file, one SDF file open at a time.
#include "distribute/distribute.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/messages.h"
#include "platform/platform.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

constexpr std::int32_t line_limit = 4010;
constexpr std::size_t name_width = 8;
constexpr std::size_t header_width = 10;
constexpr std::string_view sdf_extension = ".sdf";

struct State {
    TextStream& merged;
    const std::string& merged_path;
    const std::string& directory_text;
    Console& console;
    std::optional<platform::FileId> merged_id;

    std::string current_name{};  // the run's SDF file name; empty between runs
    TextStream sdf{};  // open during a run; closed, it keeps its buffer for the next
    std::int64_t length_before_run = 0;
    std::int64_t records_in_run = 0;
    std::int64_t sdf_files_opened = 0;
    // Every SDF file written, with the bytes written to it since its write-back
    // was last started.
    std::map<std::string, std::int64_t> names_written{};
    std::map<std::string, std::int64_t>::iterator current_file{};  // the run's entry there

    // Reused for every line, so that records cost no allocation.
    std::string line{};
    std::string piece{};
    std::string path{};
};

// How a piece of a line, as one read delivers it, ends.
enum class PieceEnd {
    line_feed,
    limit,  // the line goes on in the next piece
    nothing_left,
    read_error,
};

// Reads the next piece of a line. A line that the end of the data (or a
// 0x1A) cuts short is completed with the line feed it lacks, so that its
// record is kept and its SDF file stays well formed.
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

// The SDF name of a merged line: its first 8 characters up to a NUL, less
// trailing blanks. ".sdf" appended gives its SDF file name.
std::string_view sdf_name_of(std::string_view line) { return trimmed(line.substr(0, name_width)); }

// Looked at for every line, so it compares without composing the file name.
bool continues_run(const State& state, std::string_view sdf_name) {
    const std::string_view current = state.current_name;
    return current.size() == sdf_name.size() + sdf_extension.size() && current.starts_with(sdf_name);
}

// Every run opens its SDF file for appending, the one found empty too: its
// records then go to its start all the same, and the open itself tells the
// file's length, so that a run costs no lookup of the path besides the open.
// Gives the length the run starts from; nothing when the file is refused. A
// name that the data makes up is opened only when it names a plain file here.
std::optional<std::int64_t> open_sdf_file(State& state) {
    if (!is_plain_file_name(state.current_name)) return std::nullopt;
    const std::optional<platform::FileStatus> opened = text_reopen_for_appending(state.sdf, state.path);
    if (!opened) return std::nullopt;
    // Nothing is ever written into the file being read.
    if (state.merged_id && opened->id == *state.merged_id) {
        static_cast<void>(text_close(state.sdf));  // nothing was written, so nothing to report
        return std::nullopt;
    }
    return opened->size;
}

// The length of an SDF file that could not be opened, as the file system
// records it: a file that holds data counts as such even when it cannot be
// opened, and is reported as one to append to.
std::int64_t recorded_length(const State& state) {
    if (!is_plain_file_name(state.current_name)) return 0;
    const std::optional<platform::FileStatus> status = platform::regular_file_status(state.path);
    return status ? status->size : 0;
}

// A run that fails leaves its SDF file as it found it. Its records are all
// still in the merged file, which is kept; left in place, a record cut short
// would run into the first record of the next attempt. The run's failure is
// what gets reported; a failed cut cannot be reported besides it.
void abandon_run(State& state) {
    if (!text_is_open(state.sdf)) return;
    static_cast<void>(text_discard(state.sdf, state.length_before_run));
}

Failure fail_writing(State& state) {
    abandon_run(state);
    return Failure{FailedStep::writing, state.current_name};
}

Failure fail_reading(State& state) {
    abandon_run(state);
    return Failure{FailedStep::reading, state.merged_path};
}

// An SDF file that has taken much data since its write-back last started has
// it started now, while the distribution goes on, so that the syncs at the end
// find little left to write.
constexpr std::int64_t write_back_step = 256 << 10;

void start_write_back_when_due(State& state) {
    std::int64_t& not_started = state.current_file->second;
    not_started += text_bytes_written(state.sdf);
    if (not_started < write_back_step) return;
    text_start_write_back(state.sdf);
    not_started = 0;
}

std::optional<Failure> end_run(State& state) {
    if (!text_is_open(state.sdf)) return std::nullopt;
    // Flushed before the close, so that a failed write can still be undone.
    if (text_flush(state.sdf) != 0) return fail_writing(state);
    start_write_back_when_due(state);
    if (text_close(state.sdf) != 0) return Failure{FailedStep::writing, state.current_name};
    print(state.console, messages::records_in_run, {decimal(state.records_in_run)});
    return std::nullopt;
}

std::optional<Failure> start_run(State& state, std::string_view sdf_name) {
    if (std::optional<Failure> failure = end_run(state)) return failure;
    state.current_name = sdf_name;
    state.current_name += sdf_extension;
    state.path = state.directory_text;
    state.path += state.current_name;

    const std::optional<std::int64_t> opened_length = open_sdf_file(state);
    const std::int64_t length = opened_length ? *opened_length : recorded_length(state);
    print(state.console, length > 0 ? messages::appending : messages::creating, {state.current_name});
    if (!opened_length) return Failure{FailedStep::opening, state.current_name};
    state.length_before_run = length;
    state.records_in_run = 0;
    ++state.sdf_files_opened;
    state.current_file = state.names_written.try_emplace(state.current_name, 0).first;
    return std::nullopt;
}

// Writes a record that begins with first_part and ends as end says, reading
// the rest of a long line piece by piece, so that no line, however long, is
// held whole.
std::optional<Failure> copy_record(State& state, std::string_view first_part, PieceEnd end) {
    std::string_view part = first_part;
    for (;;) {
        if (end == PieceEnd::read_error) return fail_reading(state);
        if (end == PieceEnd::nothing_left) part = "\n";  // the data ended a long line
        if (text_write(part, state.sdf) != 0) return fail_writing(state);
        if (end != PieceEnd::limit) return std::nullopt;
        end = read_piece(state.merged, state.piece);
        part = state.piece;
    }
}

std::optional<Failure> distribute_lines(State& state) {
    for (;;) {
        const PieceEnd end = read_piece(state.merged, state.line);
        if (end == PieceEnd::nothing_left) return std::nullopt;
        if (end == PieceEnd::read_error) return fail_reading(state);

        const std::string_view sdf_name = sdf_name_of(state.line);
        if (!continues_run(state, sdf_name)) {
            if (std::optional<Failure> failure = start_run(state, sdf_name)) return failure;
        }

        if (state.line.size() < header_width) {
            print(state.console, messages::short_line);
            continue;
        }
        const std::string_view record = std::string_view(state.line).substr(header_width);
        if (std::optional<Failure> failure = copy_record(state, record, end)) return failure;
        ++state.records_in_run;
    }
}

// Once the merged file is deleted, its records live only in the SDF files:
// they must be on stable storage first.
std::optional<Failure> make_durable(State& state) {
    for (const auto& written : state.names_written) {
        const std::string& name = written.first;
        if (!platform::sync_file(state.directory_text + name)) return Failure{FailedStep::writing, name};
    }
    if (!state.names_written.empty() && !platform::sync_directory(state.directory_text)) {
        return Failure{FailedStep::writing, state.directory_text};
    }
    return std::nullopt;
}

}  // namespace

Distribution distribute_records(TextStream& merged, const std::string& merged_path,
                                const std::string& directory_text, Console& console) {
    State state{.merged = merged,
                .merged_path = merged_path,
                .directory_text = directory_text,
                .console = console,
                .merged_id = text_file_id(merged)};
    std::optional<Failure> failure = distribute_lines(state);
    if (!failure) failure = end_run(state);
    if (!failure) failure = make_durable(state);
    return Distribution{state.sdf_files_opened, std::move(failure)};
}

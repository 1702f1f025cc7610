// Record distribution: one pass over the merged file, one SDF file open at a time.
#include "distribute/distribute.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "console/messages.h"
#include "distribute/records.h"
#include "platform/platform.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

// An SDF file of this distribution, with the bytes handed to it since its
// write-back was last started.
struct SdfFile {
    WrittenFile file;
    std::int64_t not_written_back = 0;
};

struct State {
    TextStream& merged;
    const std::string& merged_path;
    const std::string& directory_text;
    Console& console;
    std::optional<platform::FileStatus> merged_status;

    std::string current_name{};  // the run's SDF file name; empty between runs
    TextStream sdf{};  // open during a run; closed, it keeps its buffer for the next
    std::int64_t length_before_run = 0;
    std::int64_t records_in_run = 0;
    std::int64_t sdf_files_opened = 0;
    std::vector<SdfFile> opened{};
    std::map<platform::FileId, std::size_t> opened_index{};
    std::size_t current = 0;  // the run's file in opened

    // Reused for every line, so that records cost no allocation.
    std::string line{};
    std::string piece{};
    std::string path{};
};

// Every run opens its SDF file for appending, the one found empty too: its
// records then go to its start all the same, and the open itself tells the
// file's length, so that a run costs no lookup of the path besides the open.
// Gives the file's status as the open found it; nothing when the file is
// refused. A name that the data makes up is opened only when it names a plain
// file here.
std::optional<platform::FileStatus> open_sdf_file(State& state) {
    if (!is_plain_file_name(state.current_name)) return std::nullopt;
    const std::optional<platform::FileStatus> opened = text_reopen_for_appending(state.sdf, state.path);
    if (!opened) return std::nullopt;
    // Nothing is ever written into the file being read.
    if (state.merged_status && opened->id == state.merged_status->id) {
        static_cast<void>(text_close(state.sdf));  // nothing was written, so nothing to report
        return std::nullopt;
    }
    return opened;
}

// Finds the run's file among those opened before, or adds it: one entry a
// file, whatever letter case its runs spell its name in.
void note_opened(State& state, const platform::FileStatus& status) {
    const auto [found, added] = state.opened_index.try_emplace(status.id, state.opened.size());
    if (added) state.opened.push_back({WrittenFile{state.current_name, status.id, status.size, status.size}});
    state.current = found->second;
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
    std::int64_t& not_started = state.opened[state.current].not_written_back;
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
    state.opened[state.current].file.length_after += text_bytes_written(state.sdf);
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

    const std::optional<platform::FileStatus> opened = open_sdf_file(state);
    const std::int64_t length = opened ? opened->size : recorded_length(state);
    print(state.console, length > 0 ? messages::appending : messages::creating, {state.current_name});
    if (!opened) return Failure{FailedStep::opening, state.current_name};
    note_opened(state, *opened);
    state.length_before_run = length;
    state.records_in_run = 0;
    ++state.sdf_files_opened;
    return std::nullopt;
}

// Writes a record that begins with first_part and ends as end says, reading
// the rest of a long line piece by piece, so that no line, however long, is
// held whole.
std::optional<Failure> copy_record(State& state, std::string_view first_part, PieceEnd end) {
    std::string_view part = first_part;
    for (;;) {
        if (end == PieceEnd::read_error) return fail_reading(state);
        if (text_write(part, state.sdf) != 0) return fail_writing(state);
        if (end != PieceEnd::limit) return std::nullopt;
        end = read_continuation(state.merged, state.piece);
        part = state.piece;
    }
}

std::optional<Failure> distribute_lines(State& state) {
    for (;;) {
        const PieceEnd end = read_piece(state.merged, state.line);
        if (end == PieceEnd::nothing_left) return std::nullopt;
        if (end == PieceEnd::read_error) return fail_reading(state);

        const std::string_view sdf_name = sdf_name_of(state.line);
        if (!is_file_name_of(state.current_name, sdf_name)) {
            if (std::optional<Failure> failure = start_run(state, sdf_name)) return failure;
        }

        if (!holds_record(state.line)) {
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
    for (const SdfFile& opened : state.opened) {
        const WrittenFile& file = opened.file;
        if (!platform::sync_written_file(state.directory_text, file.name, file.id)) {
            return Failure{FailedStep::writing, file.name};
        }
    }
    if (!state.opened.empty() && !platform::sync_directory(state.directory_text)) {
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
                .merged_status = text_file_status(merged)};
    std::optional<Failure> failure = distribute_lines(state);
    if (!failure) failure = end_run(state);
    if (!failure) failure = make_durable(state);
    Distribution distribution{state.sdf_files_opened, {}, std::move(failure)};
    for (SdfFile& opened : state.opened) distribution.written.push_back(std::move(opened.file));
    return distribution;
}

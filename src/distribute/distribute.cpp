// Record distribution: one pass over the merged file, one SDF file open at a time.
#include "distribute/distribute.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/messages.h"
#include "platform/files.h"
#include "textfile/names.h"
#include "textfile/text_stream.h"

namespace {

// A write-back is started once a file has taken this much since the last.
constexpr std::int64_t write_back_step = 256 << 10;

struct State {
    MergedWalk& walk;
    const platform::Directory& directory;
    Console& console;
    Distribution& done;
    std::optional<platform::FileStatus> merged_status;

    std::string file_name{};  // the batch's SDF file name
    TextStream sdf{};  // open during a batch; closed, it keeps its buffer for the next
    std::int64_t length_before_batch = 0;
    std::int64_t records_in_batch = 0;
    std::map<platform::FileId, std::size_t> touched_index{};
    std::size_t current = 0;  // the batch's file in done.touched
    std::map<platform::FileId, std::int64_t> not_written_back{};  // bytes since the last write-back started
};

// A batch that fails leaves its SDF file as it found it. Its records are all
// still in the merged file, which is kept; left in place, a record cut short
// would run into the first record of the next attempt. The batch's failure is
// what gets reported; a failed cut cannot be reported besides it.
Failure failed(State& state, Failure failure) {
    if (text_is_open(state.sdf)) static_cast<void>(text_cut_back(state.sdf, state.length_before_batch));
    return failure;
}

// Every batch opens its SDF file for appending, the one found empty too: its
// records then go to its start all the same, and the open itself tells the
// file's length, so that a batch costs no lookup of the path besides
// the open. Gives what the open found; nothing when the file is refused. A
// name that the data makes up is opened only when it names a plain file
// here, and never leads to the merged file itself or another file of the
// run's own.
std::optional<OpenedToAppend> open_sdf_file(State& state) {
    if (!is_plain_file_name(state.file_name)) return std::nullopt;
    const std::optional<OpenedToAppend> opened =
        text_reopen_for_appending(state.sdf, state.directory, state.file_name);
    if (!opened) return std::nullopt;
    const OwnFiles& own = state.done.own_files;
    if ((state.merged_status && opened->status.id == state.merged_status->id) ||
        std::find(own.begin(), own.end(), opened->status.id) != own.end()) {
        static_cast<void>(text_close(state.sdf));  // nothing was written, so nothing to report
        return std::nullopt;
    }
    return opened;
}

// One entry a file, whatever letter case its batches spell its name in; the
// first open tells what putting it back leaves, and the journal records it
// so before a byte is written (exactly_once.h, rule 2).
std::optional<Failure> note_touched(State& state, const OpenedToAppend& opened) {
    const auto [found, added] = state.touched_index.try_emplace(opened.status.id, state.done.touched.size());
    state.current = found->second;
    if (!added) return std::nullopt;
    state.done.touched.push_back(
        {state.file_name, opened.status.id, opened.status.size, opened.status.size, opened.created});
    if (state.done.journal &&
        !record_first_open(*state.done.journal, opened.status, state.file_name, opened.created)) {
        return failed(state, {FailedStep::writing, state.done.journal_path});
    }
    return std::nullopt;
}

// The length of an SDF file that could not be opened, as the file system
// records it: a file that holds data counts as such even when it cannot be
// opened, and is reported as one to append to.
std::int64_t recorded_length(const State& state) {
    if (!is_plain_file_name(state.file_name)) return 0;
    const std::optional<platform::FileStatus> status = platform::status_in(state.directory, state.file_name);
    return status ? status->size : 0;
}

Failure failed_writing(State& state) { return failed(state, {FailedStep::writing, state.file_name}); }

Failure failed_reading(State& state) {
    return failed(state, {FailedStep::reading, state.walk.path});
}

// A file that has taken much data since its write-back last started has it
// started now, while the distribution goes on, so that the syncs at the end
// find little left to write.
void start_write_back_when_due(State& state, std::int64_t written) {
    std::int64_t& not_started = state.not_written_back[state.done.touched[state.current].id];
    not_started += written;
    if (not_started < write_back_step) return;
    text_start_write_back(state.sdf);
    not_started = 0;
}

std::optional<Failure> end_batch(State& state) {
    if (!text_is_open(state.sdf)) return std::nullopt;
    // Flushed before the close, so that a failed write can still be put back.
    if (text_flush(state.sdf) != 0) return failed_writing(state);
    const std::int64_t written = text_bytes_written(state.sdf);
    start_write_back_when_due(state, written);
    state.done.touched[state.current].length_after += written;
    if (text_close(state.sdf) != 0) return Failure{FailedStep::writing, state.file_name};
    print(state.console, messages::records_in_batch, {decimal(state.records_in_batch)});
    return std::nullopt;
}

std::optional<Failure> start_batch(State& state) {
    state.file_name = state.walk.file_name;
    const std::optional<OpenedToAppend> opened = open_sdf_file(state);
    const std::int64_t length = opened ? opened->status.size : recorded_length(state);
    print(state.console, length > 0 ? messages::appending : messages::creating, {state.file_name});
    if (!opened) return Failure{FailedStep::opening, state.file_name};
    state.length_before_batch = length;
    if (std::optional<Failure> failure = note_touched(state, *opened)) return failure;
    state.records_in_batch = 0;
    ++state.done.sdf_files_opened;
    return std::nullopt;
}

std::optional<Failure> distribute_parts(State& state) {
    for (;;) {
        const MergedPart next = next_part(state.walk);
        switch (next.part) {
        case Part::end: return end_batch(state);
        case Part::read_error: return failed_reading(state);
        case Part::record_start:
        case Part::short_line:
            if (next.starts_batch) {
                std::optional<Failure> failure = end_batch(state);
                if (!failure) failure = start_batch(state);
                if (failure) return failure;
            }
            if (next.part == Part::short_line) {
                print(state.console, messages::short_line);
                continue;
            }
            ++state.records_in_batch;
            break;
        case Part::record_rest: break;
        }
        if (text_write(next.record, state.sdf) != 0) return failed_writing(state);
    }
}

}  // namespace

std::optional<Failure> distribute_records(MergedWalk& walk, const platform::Directory& directory, Console& console,
                                          Distribution& distribution) {
    State state{.walk = walk,
                .directory = directory,
                .console = console,
                .done = distribution,
                .merged_status = text_file_status(walk.merged)};
    for (std::size_t i = 0; i < distribution.touched.size(); ++i) state.touched_index[distribution.touched[i].id] = i;
    return distribute_parts(state);
}

// Runs that overlap or die: runs started together, and runs crashed, struck
// by a power loss or torn in a write, at each step that changes a file.
// Whatever happens, every run that ends, ends with 0, or the next run does,
// and then every record is in its SDF file exactly once.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "fault_environment.h"
#include "large_merged.h"
#include "run_binary.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

Invocation split_in(const ScratchDir& scratch, const std::string& directory, const std::string& output) {
    return {.arguments = {directory, "mrg"}, .working_directory = scratch.path(), .output_file = scratch / output};
}

// The SDF files that a split of merged alone, into an empty directory, makes.
Files split_alone(const std::string& merged) {
    ScratchDir scratch;
    fs::create_directory(scratch.path() / "data");
    write_file(scratch / "data/in.mrg", merged);
    EXPECT_EQ(run_command(split_in(scratch, "data", "out")).exit_code, 0);
    return files_in(scratch.path() / "data");
}

// ---- Runs at once ---------------------------------------------------------------

struct Placed {
    std::string path;  // below the working directory
    MergedLayout layout;
};

struct AtOnceCase {
    const char* name;
    std::vector<Placed> merged;
    std::vector<std::vector<std::string>> runs;  // the arguments of each run, all started together
    std::vector<std::string> fault{};  // for the injector, in every run: a race made wide
    // An SDF file that directories share, below the working directory: it
    // exists empty, and each link names it in a directory of the runs.
    struct Shared {
        std::string file;
        std::vector<std::string> links;
        bool hard_links = false;  // names of the file itself, it among them
    };
    std::optional<Shared> shared{};
    // Done once every run but the last has started, before the last starts.
    std::function<void(const fs::path& scratch)> before_the_last_run{};
};

// Whether text is made of the lines of every part, each part's lines in
// their order, none torn, none twice: runs of different directories take
// turns on a shared SDF file, so theirs may alternate.
testing::AssertionResult interleaves(const std::string& text, const std::vector<std::string>& parts) {
    std::vector<std::size_t> next(parts.size(), 0);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at) + 1;
        const std::string_view line(text.data() + at, end - at);
        std::size_t part = 0;
        while (part < parts.size() && std::string_view(parts[part]).substr(next[part], line.size()) != line) ++part;
        if (end == 0 || part == parts.size()) return testing::AssertionFailure() << "no part goes on with " << escaped(line);
        next[part] += line.size();
        at = end;
    }
    for (std::size_t part = 0; part < parts.size(); ++part) {
        if (next[part] != parts[part].size()) return testing::AssertionFailure() << "part " << part << " is not whole";
    }
    return testing::AssertionSuccess();
}

void PrintTo(const AtOnceCase& test, std::ostream* out) { *out << test.name; }

class RunsAtOnceTest : public testing::TestWithParam<AtOnceCase> {};

// Waits until the file at path holds data: a run has begun writing it.
void wait_for_data_in(const fs::path& path) {
    const auto given_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (std::error_code absent; std::chrono::steady_clock::now() < given_up;) {
        if (const auto size = fs::file_size(path, absent); !absent && size > 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Long enough that runs started together overlap.
MergedLayout racing(std::uint64_t seed, std::int64_t lines = 30000) {
    return {.names = {"NORTH", "SOUTH", "EAST"}, .lines = lines, .lines_per_run = lines / 10, .seed = seed};
}

// Runs take turns: each SDF file holds the split of each merged file of its
// directory whole, one after the other, in the order the runs took turns.
TEST_P(RunsAtOnceTest, EveryRecordLandsOnceAndEveryRunEndsWithZero) {
    const AtOnceCase& test = GetParam();
    ScratchDir scratch;
    std::map<fs::path, std::vector<Files>> splits;  // by directory, of each merged file there
    for (const Placed& placed : test.merged) {
        const fs::path path = scratch.path() / placed.path;
        fs::create_directories(path.parent_path());
        write_merged_file(path.string(), placed.layout);
        splits[path.parent_path()].push_back(split_alone(*read_file(path.string())));
    }
    std::vector<std::string> shared_parts;  // what each merged file writes to the shared file
    if (test.shared) {
        fs::create_directories((scratch.path() / test.shared->file).parent_path());
        write_file(scratch / test.shared->file, "");
        for (const fs::path link : test.shared->links) {
            const fs::path file = scratch.path() / test.shared->file;
            if (test.shared->hard_links && file != scratch.path() / link) fs::create_hard_link(file, scratch.path() / link);
            if (!test.shared->hard_links && !test.before_the_last_run) {
                fs::create_symlink(fs::relative(file, (scratch.path() / link).parent_path()), scratch.path() / link);
            }
            for (Files& split : splits[(scratch.path() / link).parent_path()]) {
                shared_parts.push_back(split[link.filename().string()]);
                split.erase(link.filename().string());
            }
        }
    }

    std::vector<StartedCommand> started;
    for (std::size_t i = 0; i < test.runs.size(); ++i) {
        if (i + 1 == test.runs.size() && test.before_the_last_run) test.before_the_last_run(scratch.path());
        started.push_back(start_command({.arguments = test.runs[i],
                                         .working_directory = scratch.path(),
                                         .output_file = scratch / ("out" + std::to_string(i)),
                                         .environment = test.fault}));
    }
    for (std::size_t i = 0; i < started.size(); ++i) {
        EXPECT_EQ(wait_for_command(started[i]).exit_code, 0) << escaped(*read_file(scratch / ("out" + std::to_string(i))));
    }

    for (auto& [directory, of_each] : splits) {
        Files found = files_in(directory);
        for (const fs::path link : test.shared ? test.shared->links : std::vector<std::string>{}) {
            if (scratch.path() / link.parent_path() == directory) found.erase(link.filename().string());
        }
        std::sort(of_each.begin(), of_each.end());
        bool one_order_fits = false;
        do {
            Files expected;
            for (const Files& split : of_each) {
                for (const auto& [name, bytes] : split) expected[name] += bytes;
            }
            one_order_fits = one_order_fits || found == expected;
        } while (std::next_permutation(of_each.begin(), of_each.end()));
        EXPECT_TRUE(one_order_fits) << directory << " holds other than the splits, whole and in some order";
    }
    if (test.shared) {
        EXPECT_TRUE(interleaves(*read_file(scratch / test.shared->file), shared_parts));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunsAtOnceTest,
    testing::Values(AtOnceCase{"two_runs_on_one_merged_file", {{"data/in.mrg", racing(1)}}, {{"data", "mrg"}, {"data", "mrg"}}},
                    AtOnceCase{"different_extensions_on_one_sdf_file",
                               {{"data/in.mrg", racing(2)}, {"data/in.xyz", racing(3)}},
                               {{"data", "mrg"}, {"data", "xyz"}}},
                    AtOnceCase{"four_runs_on_two_merged_files",
                               {{"data/a.mrg", racing(4)}, {"data/b.mrg", racing(5)}},
                               {{"data", "mrg"}, {"data", "mrg"}, {"data", "mrg"}, {"data", "mrg"}}},
                    // Each run pauses after writing its listing: another that
                    // wrote its own meanwhile would be read in its place.
                    AtOnceCase{"two_directories_from_one_current_directory",
                               {{"north/n.mrg", racing(6)}, {"south/s.mrg", racing(7)}},
                               {{"north", "mrg"}, {"south", "mrg"}},
                               fault_environment("pause_after_write", "work1d.tmp")},
                    // Each run pauses after each write to the shared file: the
                    // other's records would land between its writes.
                    AtOnceCase{"two_directories_sharing_an_sdf_file",
                               {{"north/n.mrg", racing(8, 1500)}, {"south/s.mrg", racing(9, 1500)}},
                               {{"north", "mrg"}, {"south", "mrg"}},
                               fault_environment("pause_after_write", "shared/NORTH.sdf"),
                               AtOnceCase::Shared{"shared/NORTH.sdf", {"north/NORTH.sdf", "south/NORTH.sdf"}}},
                    // Runs of one record each, whose every write is whole, beside
                    // runs of many writes, which may not let them in between.
                    AtOnceCase{"sdf_file_with_two_names",
                               {{"north/n.mrg", {.names = {"NORTH", "SOUTH"}, .lines = 40, .lines_per_run = 1, .seed = 13}},
                                {"south/s.mrg", racing(14, 600)}},
                               {{"north", "mrg"}, {"south", "mrg"}},
                               fault_environment("pause_after_write", "north/NORTH.sdf"),
                               AtOnceCase::Shared{"north/NORTH.sdf", {"north/NORTH.sdf", "south/NORTH.sdf"}, true}},
                    // The second name is made while the first run writes through the first.
                    AtOnceCase{"link_made_while_a_run_writes",
                               {{"north/n.mrg", racing(10, 1500)}, {"south/s.mrg", racing(11, 1500)}},
                               {{"north", "mrg"}, {"south", "mrg"}},
                               fault_environment("pause_after_write", "north/NORTH.sdf"),
                               AtOnceCase::Shared{"north/NORTH.sdf", {"north/NORTH.sdf", "south/NORTH.sdf"}},
                               [](const fs::path& scratch) {
                                   wait_for_data_in(scratch / "north/NORTH.sdf");
                                   fs::create_hard_link(scratch / "north/NORTH.sdf", scratch / "south/NORTH.sdf");
                               }},
                    // Someone removes the turn's name while the first run holds it: the journal keeps them apart.
                    AtOnceCase{"turn_removed_while_a_run_holds_it",
                               {{"data/in.mrg", racing(12, 1500)}},
                               {{"data", "mrg"}, {"data", "mrg"}},
                               fault_environment("pause_after_write", "data/NORTH.sdf"),
                               std::nullopt,
                               [](const fs::path& scratch) {
                                   wait_for_data_in(scratch / "data/NORTH.sdf");
                                   fs::remove(scratch / "data/.vrtl_sdf.lock");
                               }}),
    [](const testing::TestParamInfo<AtOnceCase>& info) { return std::string(info.param.name); });

// ---- A crash at each step that changes a file -------------------------------------

// Runs of a new file, of one that holds data and of one that is empty, a
// record longer than a write, and a short line.
const std::string crashed_merged = "A       01a1\r\nA       01a2\r\nB       01b1\r\nA       01" + std::string(9000, 'L') +
                                   "\r\nC       01c1\r\nB       01b2\r\nB\r\nA       01a3\r\n";
// More SDF files than the merged file names, so that its journal records
// only those it names; the others, X and Y, it never touches, and ADDED only
// where a producer adds a record for it.
const Files crashed_before = {{"in.mrg", crashed_merged}, {"B.sdf", "old\r\n"}, {"C.sdf", ""},
                              {"X.sdf", "x\r\n"},         {"Y.sdf", ""},        {"ADDED.sdf", "theirs\r\n"}};

// Where the crash strikes: in a run; in a run that fails at its deletion,
// while it puts its SDF files back; or in the run after a crash, while it
// recovers. Each is the crash of a run that starts in its own scratch copy.
struct Phase {
    const char* name;
    std::string fault;  // besides the crash, in the crashed run: what makes the phase come
    bool after_a_crash;  // the crashed run follows one killed with every SDF file written
    std::vector<std::string> kinds;  // of the calls it makes
};

const Phase phases[] = {
    {"in_a_run", "", false, {"create", "write", "truncate", "sync", "rename", "unlink"}},
    {"putting_back_a_failed_run", "rename_error", false, {"create", "write", "truncate", "sync", "unlink"}},
    {"in_recovery", "", true, {"create", "write", "truncate", "sync", "rename", "unlink"}},
    // Its producer adds a record as the merged file moves aside: the file goes
    // back to its name, and a later run takes it whole.
    {"giving_a_changed_file_its_name_back", "append_before_rename", false,
     {"create", "write", "truncate", "sync", "rename", "unlink", "link"}},
    // Its producer adds a record once the run has read to the end, for an SDF
    // file that the journal's first part does not record.
    {"growing_by_a_file_the_journal_does_not_list", "append_after_end", false,
     {"create", "write", "truncate", "sync", "rename", "unlink"}},
};

// Whether the producer's record reached the merged file before the crash:
// it is there still, or distributed already.
bool producer_added_a_record(const fs::path& data) {
    for (const char* name : {"in.mrg", ".vrtl_sdf.deleting", "ADDED.sdf"}) {
        if (read_file((data / name).string()).value_or("").find("producer") != std::string::npos) return true;
    }
    return false;
}

struct CrashRun {
    ScratchDir scratch;
    Invocation split{.arguments = {"data", "mrg"}, .working_directory = scratch.path()};

    explicit CrashRun(const Phase& phase) {
        fs::create_directory(scratch.path() / "data");
        write_files(scratch.path() / "data", crashed_before);
        if (!phase.after_a_crash) return;
        Invocation first = split;
        first.environment = fault_environment("crash_at=rename:1", "");  // as the merged file was to move aside
        EXPECT_EQ(run_command(first).exit_code, -1) << "the first crash did not come";
    }

    int run_with(const Phase& phase, const std::string& crash) {
        Invocation crashed = split;
        const std::string fault = phase.fault.empty() || crash.empty() ? phase.fault + crash : phase.fault + "," + crash;
        if (!fault.empty()) crashed.environment = fault_environment(fault, "data/in.mrg");
        return run_command(crashed).exit_code;
    }

    // Runs without faults until the merged file is gone: at most two runs.
    int finish() {
        int exit_code = run_command(split).exit_code;
        if (exit_code == 0 && fs::exists(scratch.path() / "data/in.mrg")) exit_code = run_command(split).exit_code;
        return exit_code;
    }
};

// The directory once the phase's run, without a crash, and the runs after
// it are done.
Files whole_after(const Phase& phase) {
    CrashRun run(phase);
    run.run_with(phase, "");
    EXPECT_EQ(run.finish(), 0);
    return files_in(run.scratch.path() / "data");
}

// How many calls of the kind the crashed run of the phase makes.
long calls_of_a_run(const Phase& phase, const std::string& kind) {
    CrashRun run(phase);
    const std::string counts_path = run.scratch / "counts";
    run.run_with(phase, "count_calls=" + counts_path);
    const std::string counts = "\n" + read_file(counts_path).value_or("");
    const std::size_t at = counts.find("\n" + kind + " ");
    return at == std::string::npos ? 0 : std::atol(counts.c_str() + at + kind.size() + 2);
}

struct CrashCase {
    Phase phase;
    std::string kind;
};

std::vector<CrashCase> crash_cases() {
    std::vector<CrashCase> cases;
    for (const Phase& phase : phases) {
        for (const std::string& kind : phase.kinds) cases.push_back({phase, kind});
    }
    return cases;
}

class CrashTest : public testing::TestWithParam<CrashCase> {};

// Killed before the Nth call of the kind, for every N the run makes, with the
// changes not yet synced kept (a kill) or dropped (a power loss), and killed
// in the Nth write once part of its bytes has moved (a tear): the next run,
// and at most one more, leave every record in its SDF file exactly once.
TEST_P(CrashTest, NextRunMakesItExactlyOnce) {
    const auto& [phase, kind] = GetParam();
    const Files whole = whole_after(phase);
    const Files whole_as_delivered = whole_after(phases[0]);
    const long calls = calls_of_a_run(phase, kind);
    ASSERT_GT(calls, 0) << "no call of " << kind << " " << phase.name;
    std::vector<std::string> crashes = {"crash_at=", "power_off_at="};
    if (kind == "write") crashes.push_back("tear_at=");
    for (const std::string& crash : crashes) {
        for (long n = 1; n <= calls; ++n) {
            const std::string fault = crash + kind + ":" + std::to_string(n);
            SCOPED_TRACE(fault);
            CrashRun run(phase);
            EXPECT_EQ(run.run_with(phase, fault), -1) << "the crash did not come";
            const bool added = producer_added_a_record(run.scratch.path() / "data");
            EXPECT_EQ(run.finish(), 0);
            EXPECT_TRUE(holds_exactly(run.scratch.path() / "data", added ? whole : whole_as_delivered));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashTest, testing::ValuesIn(crash_cases()),
                         [](const testing::TestParamInfo<CrashCase>& info) {
                             return std::string(info.param.phase.name) + "_" + info.param.kind;
                         });

}  // namespace

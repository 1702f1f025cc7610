// A crash, a power loss or a torn write at each step that changes a file:
// whatever stops a run, the next run makes it exactly once.
#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "console_texts.h"
#include "fault_environment.h"
#include "run_binary.h"
#include "support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
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

void PrintTo(const CrashCase& test, std::ostream* out) { *out << test.phase.name << " " << test.kind; }

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

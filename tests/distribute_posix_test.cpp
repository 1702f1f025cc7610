// Distribution on what only a POSIX system offers: FIFOs, links to devices,
// read errors from /proc/self/mem.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "distribute_support.h"

using namespace testing_support;

namespace {

INSTANTIATE_TEST_SUITE_P(
    PosixFiles, RefusedSdfFileTest,
    testing::Values(
        RefusedCase{"fifo", line("F", "r"), [](const ScratchDir& d) { mkfifo((d / "F.sdf").c_str(), 0644); },
                    created("F.sdf"), "F.sdf"},
        RefusedCase{"symlink_to_a_device", line("N", "r"),
                    [](const ScratchDir& d) { symlink("/dev/null", (d / "N.sdf").c_str()); }, created("N.sdf"),
                    "N.sdf"},
        RefusedCase{"link_to_the_merged_file", line("M", "r"),
                    [](const ScratchDir& d) { symlink("in.mrg", (d / "M.sdf").c_str()); }, appended("M.sdf"),
                    "M.sdf"}),
    refused_case_name);

TEST(Distribute, ReadErrorLeavesTheSdfFileAsTheRunFoundIt) {
    // A merged file whose data breaks off with an I/O error: a mapped page of
    // lines, read through /proc/self/mem, followed by an unmapped one.
    const long page = sysconf(_SC_PAGESIZE);
    char* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    munmap(pages + page, page);
    const std::string record(100, 'r');
    const std::string whole_line = line("A", record);
    const std::size_t whole_lines = static_cast<std::size_t>(page) / whole_line.size();
    std::string data;
    for (std::size_t i = 0; i < whole_lines; ++i) data += whole_line;
    data += "A       01";  // a last line that the error cuts short
    data.resize(static_cast<std::size_t>(page), 'x');
    std::copy(data.begin(), data.end(), pages);

    const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (memory == -1 || lseek(memory, reinterpret_cast<off_t>(pages), SEEK_SET) == -1) {
        GTEST_SKIP() << "no /proc/self/mem";
    }
    TextStream merged;
    merged.file = platform::File(memory);

    ScratchDir directory;
    ScratchDir console_directory;
    Console console{*text_open(console_directory / "console", "wa"), Showing::held};
    const std::optional<platform::Directory> held = platform::open_directory(directory.path().string() + "/");
    MergedWalk walk{merged, "merged"};
    Distribution distribution;
    const std::optional<Failure> failure = distribute_records(walk, *held, console, distribution);
    close_console(console);
    munmap(pages, page);

    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->step, FailedStep::reading);
    EXPECT_EQ(failure->subject, "merged");
    EXPECT_EQ(escaped(*read_file(console_directory / "console")), escaped(created("A.sdf")));
    EXPECT_EQ(read_file(directory / "A.sdf").value_or("<absent>"), "");
}

}  // namespace

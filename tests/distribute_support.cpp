// Helpers of the distribution tests.
#include "distribute_support.h"

#include "test_platform.h"

namespace testing_support {

std::string line(std::string name, std::string_view record) {
    name.resize(8, ' ');
    return name + "01" + std::string(record) + "\r\n";
}

Outcome distribute(const std::string& merged, const Files& before, const Files& after,
                   const std::function<void(const ScratchDir&)>& prepare) {
    ScratchDir directory;
    ScratchDir console_directory;
    write_files(directory.path(), before);
    if (prepare) prepare(directory);
    write_file(directory / "in.mrg", merged);

    Console console{*text_open(console_directory / "console", "wa"), Showing::held};
    std::optional<TextStream> stream = text_open(directory / "in.mrg", "ra");
    const std::optional<platform::Directory> held = platform::open_directory(path_in(directory.path().string(), ""));
    MergedWalk walk{*stream, directory / "in.mrg"};
    Distribution distribution;
    const std::optional<Failure> failure = distribute_records(walk, *held, console, distribution);
    EXPECT_EQ(text_close(*stream), 0);
    close_console(console);

    Outcome outcome;
    outcome.console = *read_file(console_directory / "console");
    Files expected = after;
    expected["in.mrg"] = merged;
    EXPECT_TRUE(holds_exactly(directory.path(), expected));
    outcome.sdf_files_opened = distribution.sdf_files_opened;
    if (failure) {
        outcome.failed_step = failure->step;
        outcome.failure_subject = failure->subject;
    }
    return outcome;
}

}  // namespace testing_support

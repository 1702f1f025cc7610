// The console on a terminal: every message shows before print() returns.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "console/console.h"
#include "console_texts.h"
#include "escaped.h"

using testing_support::escaped;

namespace {

// What the terminal has been shown so far, without waiting for more.
std::string shown_so_far(int terminal) {
    std::string shown;
    char bytes[256];
    pollfd ready{terminal, POLLIN, 0};
    while (poll(&ready, 1, 0) == 1) {
        const ssize_t count = read(terminal, bytes, sizeof bytes);
        if (count <= 0) break;
        shown.append(bytes, static_cast<std::size_t>(count));
    }
    return shown;
}

TEST(ConsoleOnATerminal, ShowsEachMessageAtOnce) {
    int terminal = -1;
    int output = -1;
    termios raw{};
    cfmakeraw(&raw);  // no LF to CR LF of its own: the bytes arrive as written
    if (openpty(&terminal, &output, nullptr, &raw, nullptr) != 0) GTEST_SKIP() << "no terminals here";

    Console console = console_on(platform::File(output));
    print(console, "  %d zapisov. \n", {"7"});
    EXPECT_EQ(escaped(shown_so_far(terminal)), escaped(testing_support::count(7)));
    close_console(console);
    close(terminal);
}

}  // namespace

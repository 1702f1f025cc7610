// The console: standard output as a DOS text stream. On a console every
// message shows before print() returns; redirected output is held in the
// stream's buffer and written when it fills and at the end of the run.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "textfile/text_stream.h"

enum class Showing { at_once, held };

struct Console {
    TextStream stream;
    Showing showing = Showing::held;
};

// A console on output: it shows every message at once when output is a
// character device, a terminal say, and holds them otherwise.
Console console_on(platform::File output);
Console console_on_standard_output();

// Prints pattern with each "%s" or "%d" in it replaced by the next argument.
void print(Console& console, std::string_view pattern, std::initializer_list<std::string_view> arguments = {});

// A number as "%d" shows it, without any locale.
std::string decimal(std::int64_t number);

// Writes out what is held. The console's failures cannot be reported on the
// console itself; they change neither the work done nor the exit code.
void close_console(Console& console);

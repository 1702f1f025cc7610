// Printing of the command's messages.
#include "console/console.h"

#include <charconv>

#include "platform/process.h"

// The console's failures cannot be reported on the console itself, and they
// change neither the work done nor the exit code: the results of its writes
// are not examined.

Console console_on(platform::File output) {
    const Showing showing = platform::is_character_device(output) ? Showing::at_once : Showing::held;
    return Console{text_stream_for_writing(std::move(output)), showing};
}

Console console_on_standard_output() { return console_on(platform::standard_output()); }

void print(Console& console, std::string_view pattern, std::initializer_list<std::string_view> arguments) {
    constexpr std::size_t directive_width = 2;
    for (const std::string_view argument : arguments) {
        const std::size_t directive = pattern.find('%');
        static_cast<void>(text_write(pattern.substr(0, directive), console.stream));
        static_cast<void>(text_write(argument, console.stream));
        pattern.remove_prefix(directive + directive_width);
    }
    static_cast<void>(text_write(pattern, console.stream));
    if (console.showing == Showing::at_once) static_cast<void>(text_flush(console.stream));
}

std::string decimal(std::int64_t number) {
    char digits[24];
    const std::to_chars_result converted = std::to_chars(std::begin(digits), std::end(digits), number);
    return std::string(digits, converted.ptr);
}

void close_console(Console& console) { static_cast<void>(text_close(console.stream)); }

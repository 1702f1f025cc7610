// Printing of the command's messages.
#include "driver/console.h"

#include <charconv>

Console console_on_standard_output() {
    platform::File output = platform::standard_output();
    const Showing showing = platform::is_character_device(output) ? Showing::at_once : Showing::held;
    return Console{text_stream_for_writing(std::move(output)), showing};
}

void print(Console& console, std::string_view pattern, std::initializer_list<std::string_view> arguments) {
    constexpr std::size_t directive_width = 2;
    for (const std::string_view argument : arguments) {
        const std::size_t directive = pattern.find('%');
        text_write(pattern.substr(0, directive), console.stream);
        text_write(argument, console.stream);
        pattern.remove_prefix(directive + directive_width);
    }
    text_write(pattern, console.stream);
    if (console.showing == Showing::at_once) text_flush(console.stream);
}

std::string decimal(std::int64_t number) {
    char digits[24];
    const std::to_chars_result converted = std::to_chars(std::begin(digits), std::end(digits), number);
    return std::string(digits, converted.ptr);
}

void close_console(Console& console) { text_close(console.stream); }

// Trimming of names, and the one rule for names that come from data.
#include "textfile/names.h"

#include <algorithm>
#include <array>

namespace {

bool is_blank(char c) { return static_cast<signed char>(c) <= 32; }

char upper_case(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return upper_case(x) == upper_case(y); });
}

// Windows takes these for devices in every directory, with any extension and
// blanks before it: "nul.sdf" and "COM1 .x" are the null device and a serial
// port. The digits include the superscripts 1, 2 and 3 of the ANSI code page.
bool names_a_device(std::string_view file_name) {
    std::string_view base = file_name.substr(0, file_name.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> plain_devices{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::any_of(plain_devices.begin(), plain_devices.end(),
                    [&](std::string_view device) { return equal_ignoring_case(base, device); })) {
        return true;
    }
    static constexpr std::string_view port_digits = "0123456789\xb9\xb2\xb3";
    return base.size() == 4 && (equal_ignoring_case(base.substr(0, 3), "COM") ||
                                equal_ignoring_case(base.substr(0, 3), "LPT")) &&
           port_digits.find(base[3]) != std::string_view::npos;
}

}  // namespace

std::string_view trimmed(std::string_view text) {
    std::size_t kept = text.find('\0');
    if (kept == std::string_view::npos) kept = text.size();
    while (kept > 0 && is_blank(text[kept - 1])) --kept;
    return text.substr(0, kept);
}

std::ptrdiff_t trim_trailing_blanks(std::string& text) {
    const std::size_t kept = trimmed(text).size();
    text.resize(kept);
    return static_cast<std::ptrdiff_t>(kept) - 1;
}

bool has_sdf_extension(std::string_view name, platform::FileNameRules rules) {
    if (name.size() < sdf_extension.size()) return false;
    const std::string_view extension = name.substr(name.size() - sdf_extension.size());
    return rules == platform::FileNameRules::windows ? equal_ignoring_case(extension, sdf_extension)
                                                     : extension == sdf_extension;
}

bool is_plain_file_name(std::string_view file_name, platform::FileNameRules rules) {
    // Both separators on every platform: a merged file may travel between them.
    if (file_name.find_first_of("/\\") != std::string_view::npos) return false;
    if (rules == platform::FileNameRules::posix) return true;
    return file_name.find(':') == std::string_view::npos && !names_a_device(file_name);
}

// Trimming of names.
#include "textfile/names.h"

namespace {

bool is_blank(char c) { return static_cast<signed char>(c) <= 32; }

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

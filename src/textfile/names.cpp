// Trimming of names.
#include "textfile/names.h"

namespace {

bool is_blank(char c) { return static_cast<signed char>(c) <= 32; }

}  // namespace

std::ptrdiff_t trim_trailing_blanks(std::string& text) {
    std::size_t kept = text.find('\0');
    if (kept == std::string::npos) kept = text.size();
    while (kept > 0 && is_blank(text[kept - 1])) --kept;
    text.resize(kept);
    return static_cast<std::ptrdiff_t>(kept) - 1;
}

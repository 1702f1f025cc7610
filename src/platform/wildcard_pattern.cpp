// Wildcard patterns as Windows matches long file names.
#include "platform/wildcard_pattern.h"

#include <vector>

namespace platform {

bool matches_wildcard_pattern(std::string_view name, std::string_view pattern) {
    const auto folded = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    const std::size_t n = name.size();
    const std::size_t p = pattern.size();
    // matches[i * (p + 1) + j]: whether name from i on matches pattern from j
    // on; filled from the ends, so that no pattern takes more than n * p steps.
    std::vector<bool> matches((n + 1) * (p + 1), false);
    const auto at = [&](std::size_t i, std::size_t j) { return matches[i * (p + 1) + j]; };
    for (std::size_t i = n + 1; i-- > 0;) {
        for (std::size_t j = p + 1; j-- > 0;) {
            const bool name_left = i < n;
            bool match = false;
            if (j == p) {
                match = !name_left;
            } else if (pattern[j] == '*') {
                match = at(i, j + 1) || (name_left && at(i + 1, j));
            } else if (pattern[j] == '?') {
                match = (name_left && at(i + 1, j + 1)) || ((!name_left || name[i] == '.') && at(i, j + 1));
            } else if (pattern[j] == '.') {
                match = (name_left && name[i] == '.' && at(i + 1, j + 1)) || (!name_left && at(i, j + 1));
            } else {
                match = name_left && folded(name[i]) == folded(pattern[j]) && at(i + 1, j + 1);
            }
            matches[i * (p + 1) + j] = match;
        }
    }
    return at(0, 0);
}

}  // namespace platform

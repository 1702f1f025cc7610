// Wildcard patterns as Windows matches long file names: the pattern is first
// translated as FindFirstFile translates it, then matched as the file system
// matches such an expression (FsRtlIsNameInExpression).
#include "platform/wildcard_pattern.h"

#include <string>
#include <vector>

namespace platform {

namespace {

// The wildcards of an expression: the pattern's own, and those that stand
// for the pattern's "*" before a dot, its "?" and its dot before a wildcard.
constexpr char any_characters = '*';      // none or more characters
constexpr char one_character = '?';       // exactly one character
constexpr char up_to_final_dot = '<';     // none or more characters, never the name's final dot
constexpr char one_before_dot = '>';      // one character, or none at a dot or the name's end
constexpr char dot_or_end = '"';          // a dot, or nothing at the name's end

// The pattern as Windows hands it to the file system: a trailing dot goes,
// but a "*" before it still stops at the final dot; every "?" matches one
// character or none before a dot; a dot before a wildcard also matches the
// end of a name. (Windows makes "*.*" a plain "*", which matches alike.)
std::string expression_of(std::string_view pattern) {
    const bool ended_with_dot = pattern.ends_with('.');
    if (ended_with_dot) pattern.remove_suffix(1);
    std::string expression(pattern);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const bool last = i + 1 == pattern.size();
        const char next = last ? '\0' : pattern[i + 1];
        if (pattern[i] == '?') expression[i] = one_before_dot;
        if (pattern[i] == '*' && (next == '.' || (last && ended_with_dot))) expression[i] = up_to_final_dot;
        if (pattern[i] == '.' && (next == '*' || next == '?')) expression[i] = dot_or_end;
    }
    return expression;
}

char folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether name matches the expression: matches[i][j] says whether the name
// from i on matches the expression from j on, filled from the ends, so that
// no expression takes more than n * m steps.
bool matches_expression(std::string_view name, std::string_view expression) {
    const std::size_t n = name.size();
    const std::size_t m = expression.size();
    const std::size_t final_dot = name.rfind('.');  // npos when the name has none
    std::vector<bool> matches((n + 1) * (m + 1), false);
    const auto at = [&](std::size_t i, std::size_t j) { return static_cast<bool>(matches[i * (m + 1) + j]); };
    for (std::size_t i = n + 1; i-- > 0;) {
        const bool name_left = i < n;
        const bool at_dot_or_end = !name_left || name[i] == '.';
        for (std::size_t j = m + 1; j-- > 0;) {
            bool match = false;
            if (j == m) {
                match = !name_left;
            } else {
                switch (expression[j]) {
                case any_characters: match = at(i, j + 1) || (name_left && at(i + 1, j)); break;
                case one_character: match = name_left && at(i + 1, j + 1); break;
                case up_to_final_dot:
                    match = at(i, j + 1) || (name_left && i != final_dot && at(i + 1, j));
                    break;
                case one_before_dot: match = at_dot_or_end ? at(i, j + 1) : at(i + 1, j + 1); break;
                case dot_or_end: match = name_left ? name[i] == '.' && at(i + 1, j + 1) : at(i, j + 1); break;
                default: match = name_left && folded(name[i]) == folded(expression[j]) && at(i + 1, j + 1);
                }
            }
            matches[i * (m + 1) + j] = match;
        }
    }
    return at(0, 0);
}

}  // namespace

bool matches_wildcard_pattern(std::string_view name, std::string_view pattern) {
    return matches_expression(name, expression_of(pattern));
}

}  // namespace platform

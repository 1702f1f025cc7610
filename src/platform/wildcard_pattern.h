// How Windows matches a long file name against a wildcard pattern. Plain text
// work, so it is built and tested on every host.
#pragma once

#include <string_view>

namespace platform {

// Whether name matches pattern as Windows matches a long name (FindFirstFile,
// dir): "*" stands for any characters, "?" for one character or for none
// before a "." or the end, and a "." also for none where the name has ended,
// as in "*." for names without an extension. Letters compare without regard
// to case; only ASCII letters are folded here, so a caller folds other
// letters of its code page first.
[[nodiscard]] bool matches_wildcard_pattern(std::string_view name, std::string_view pattern);

}  // namespace platform

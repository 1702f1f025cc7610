// How Windows matches a long file name against a wildcard pattern. Plain text
// work, so it is built and tested on every host.
#pragma once

#include <string_view>

namespace platform {

// Whether name matches pattern as Windows matches a long name (FindFirstFile,
// dir): "*" stands for any characters, but in "*." and before a dot it
// never passes the name's final dot, so that "*.mrg" is no "x.mrgx" and "*."
// names without an extension; "?" stands for one character, or for none
// before a dot or the name's end; "*.*" stands for every name. Letters
// compare without regard to case; only ASCII letters are folded here, so a
// caller folds other letters of its code page first.
[[nodiscard]] bool matches_wildcard_pattern(std::string_view name, std::string_view pattern);

}  // namespace platform

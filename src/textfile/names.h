// Names taken from fixed-width fields and listings, and what such a name may
// become.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/files.h"

// Cuts the text at its first NUL, then cuts every trailing blank: a byte that,
// read as a signed 8-bit number, is at most 32. So controls, the space, line
// ends and every byte from 0x80 up go. Gives the index of the last character
// kept, -1 when none is left.
std::ptrdiff_t trim_trailing_blanks(std::string& text);

// The part of text that trim_trailing_blanks keeps, without copying it.
std::string_view trimmed(std::string_view text);

// What an SDF name becomes the name of its file with.
inline constexpr std::string_view sdf_extension = ".sdf";

// Whether name is that of an SDF file: it ends in ".sdf", in any letter case
// where the rules fold case.
[[nodiscard]] bool has_sdf_extension(std::string_view name, platform::FileNameRules rules = platform::file_name_rules);

// Whether file_name, made from data, names a plain file of the directory it is
// put in under the given rules: no separator that would reach into another
// directory, and on Windows neither a stream of another file ("in.mrg:x") nor
// a name the system maps to a device (NUL, CON, COM1, ...), whatever its
// extension and letter case.
[[nodiscard]] bool is_plain_file_name(std::string_view file_name,
                                      platform::FileNameRules rules = platform::file_name_rules);

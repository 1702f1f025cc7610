// Names taken from fixed-width fields and listings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Cuts the text at its first NUL, then cuts every trailing blank: a byte that,
// read as a signed 8-bit number, is at most 32. So controls, the space, line
// ends and every byte from 0x80 up go. Gives the index of the last character
// kept, -1 when none is left.
std::ptrdiff_t trim_trailing_blanks(std::string& text);

// The part of text that trim_trailing_blanks keeps, without copying it.
std::string_view trimmed(std::string_view text);

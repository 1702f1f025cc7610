// Bytes made readable for a report of a failed test or fuzz input.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

// The bytes with every control and high byte escaped, so that a CR, a NUL or
// a 0x1A shows in a report.
std::string escaped(std::string_view bytes);

}  // namespace testing_support

// Bytes made readable for a report of a failed test or fuzz input.
#include "escaped.h"

#include <cstdio>

namespace testing_support {

std::string escaped(std::string_view bytes) {
    std::string shown;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\r': shown += "\\r"; break;
        case '\n': shown += "\\n"; break;
        case '\t': shown += "\\t"; break;
        case '\\': shown += "\\\\"; break;
        default:
            if (byte < 0x20 || byte >= 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                shown += hex;
            } else {
                shown += c;
            }
        }
    }
    return shown;
}

}  // namespace testing_support

// The console texts the tests expect, as they reach standard output.
#pragma once

#include <string>
#include <string_view>

#include "console/version.h"

namespace testing_support {

inline const std::string banner =
    "Vortel SDF datotek " + std::string(messages::version) + "                    \tVse pravice pridrzane.   \r\n";
inline const std::string usage = "\r\n Napaka! Format komande je :   vrtl_sdf <out-in-path> <extenzija>\r\n";

inline std::string report(std::string_view name, long long length) {
    return "Ime vhodne datoteke je " + std::string(name) + ", dolzina je " + std::to_string(length) + " bytov. \r\n";
}
inline std::string created(std::string_view name) { return "  Kreiram datoteko " + std::string(name) + " .... "; }
inline std::string appended(std::string_view name) { return "  APPEND v datoteko " + std::string(name) + " .... "; }
inline std::string count(long long records) { return "  " + std::to_string(records) + " zapisov. \r\n"; }
inline std::string deleting(std::string_view path) { return "\r\nBrisem obdelano datoteko " + std::string(path) + ".\r\n"; }
inline std::string error(std::string_view what, std::string_view name) {
    return "\r\nERROR " + std::string(what) + " : " + std::string(name) + " \r\n";
}

}  // namespace testing_support

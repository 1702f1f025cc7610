// Every text the command shows, exactly as its users see it. "%s" and "%d"
// mark where a name or a number goes; each LF reaches the console as CR LF.
#pragma once

#include <string>
#include <string_view>

#include "console/version.h"

namespace messages {

inline constexpr std::string_view banner =
    "Vortel SDF datotek %s                    \tVse pravice pridrzane.   \n";
inline constexpr std::string_view usage =
    "\n Napaka! Format komande je :   vrtl_sdf <out-in-path> <extenzija>\n";
inline constexpr std::string_view input_report = "Ime vhodne datoteke je %s, dolzina je %d bytov. \n";
inline constexpr std::string_view deleting = "\nBrisem obdelano datoteko %s.\n";

inline constexpr std::string_view appending = "  APPEND v datoteko %s .... ";
inline constexpr std::string_view creating = "  Kreiram datoteko %s .... ";
inline constexpr std::string_view records_in_batch = "  %d zapisov. \n";
inline constexpr std::string_view short_line = "?";

inline constexpr std::string_view error_opening = "\nERROR opening : %s \n";
inline constexpr std::string_view error_reading = "\nERROR reading : %s \n";
inline constexpr std::string_view error_writing = "\nERROR writing : %s \n";
inline constexpr std::string_view error_deleting = "\nERROR deleting : %s \n";

}  // namespace messages

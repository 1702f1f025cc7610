// The environment that loads the fault injector into the command, and what
// the fault tests share: a run with a fault, and a merged file of three batches.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "run_binary.h"
#include "support.h"

namespace testing_support {

// An AddressSanitizer build insists on coming first in the list of libraries
// and refuses to start behind a preloaded one; the injector itself is built
// without sanitizers and only passes calls on, so the check is turned off.
inline std::vector<std::string> fault_environment(const std::string& fault, const std::string& path) {
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + FAULT_SHIM, "VRTL_FAULT=" + fault, "VRTL_FAULT_PATH=" + path,
            std::string("ASAN_OPTIONS=") + (asan_options ? std::string(asan_options) + ":" : "") +
                "verify_asan_link_order=0"};
}

inline Result run_with_fault(const ScratchDir& scratch, const std::string& fault, const std::string& path) {
    return run_command({.arguments = {"data", "mrg"},
                        .working_directory = scratch.path(),
                        .environment = fault_environment(fault, path)});
}

inline Files with(Files files, const Files& more) {
    for (const auto& [name, bytes] : more) files[name] = bytes;
    return files;
}

inline const std::string three_runs = "A       01a1\r\nA       01a2\r\nB       01b1\r\nC       01c1\r\n";
inline const Files three_runs_written = {{"A.sdf", "a1\r\na2\r\n"}, {"B.sdf", "b1\r\n"}, {"C.sdf", "c1\r\n"}};

}  // namespace testing_support

// The environment that loads the fault injector into the command.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

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

}  // namespace testing_support

// What the tests expect of the platform they run on, so that a case whose
// outcome differs between platforms is written once.
#pragma once

#include <string>
#include <string_view>

namespace testing_support {

enum class ListingOrder { by_byte_value, ignoring_case };

struct TestPlatform {
    std::string_view separator;  // ends the directory text
    bool names_fold_case;        // "ABC.sdf" and "abc.sdf" name one file
    ListingOrder listing_order;  // of the names in work1d.tmp
};

extern const TestPlatform test_platform;

// The path of name in directory, as the command writes it.
inline std::string path_in(std::string_view directory, std::string_view name) {
    return std::string(directory) + std::string(test_platform.separator) + std::string(name);
}

}  // namespace testing_support

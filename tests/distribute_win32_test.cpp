// Distribution on Windows: device names are never SDF files.
#include <gtest/gtest.h>

#include "distribute_support.h"

using namespace testing_support;

namespace {

RefusedCase device(const char* test_name, const char* sdf_name) {
    const std::string file = std::string(sdf_name) + ".sdf";
    return RefusedCase{test_name, line(sdf_name, "r"), {}, created(file), file};
}

// Each of these names a device in every directory, whatever extension follows.
INSTANTIATE_TEST_SUITE_P(Devices, RefusedSdfFileTest,
                         testing::Values(device("nul", "NUL"), device("nul_in_lower_case", "nul"),
                                         device("con", "CON"), device("prn", "PRN"), device("aux", "AUX"),
                                         device("com1", "COM1"), device("com9", "COM9"), device("lpt1", "LPT1"),
                                         device("lpt9", "LPT9")),
                         refused_case_name);

}  // namespace

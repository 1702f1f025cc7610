// Distribution on Windows: device names and streams of other files are never SDF files.
#include <gtest/gtest.h>

#include "distribute_support.h"

using namespace testing_support;

namespace {

RefusedCase refused(const char* test_name, const char* sdf_name) {
    const std::string file = std::string(sdf_name) + ".sdf";
    return RefusedCase{test_name, line(sdf_name, "r"), {}, created(file), file};
}

// Each of these names a device in every directory, whatever extension follows.
INSTANTIATE_TEST_SUITE_P(Devices, RefusedSdfFileTest,
                         testing::Values(refused("nul", "NUL"), refused("nul_in_lower_case", "nul"),
                                         refused("con", "CON"), refused("prn", "PRN"), refused("aux", "AUX"),
                                         refused("com1", "COM1"), refused("com9", "COM9"), refused("lpt1", "LPT1"),
                                         refused("lpt9", "LPT9"), refused("com0", "COM0"),
                                         refused("console_input", "conin$"), refused("superscript_port", "LPT\xb2.x"),
                                         refused("blank_before_the_extension", "nul .x")),
                         refused_case_name);

// "in.mrg:x.sdf" would be a stream of the merged file, deleted with it.
INSTANTIATE_TEST_SUITE_P(Streams, RefusedSdfFileTest,
                         testing::Values(refused("stream_of_the_merged_file", "in.mrg:x"),
                                         refused("stream_of_another_file", "A:x")),
                         refused_case_name);

}  // namespace

// Distribution on Windows: the rule for names from data is the Windows one.
#include <gtest/gtest.h>

#include "distribute_support.h"

using namespace testing_support;

namespace {

// A device the system itself does not refuse to open, so that only the rule
// for names refuses it; the rule's cases are in text_stream_test.cpp.
INSTANTIATE_TEST_SUITE_P(Devices, RefusedSdfFileTest,
                         testing::Values(RefusedCase{"com0", line("COM0", "r"), {}, created("COM0.sdf"), "COM0.sdf"}),
                         refused_case_name);

}  // namespace

// POSIX: "/", names as they are spelt.
#include "test_platform.h"

namespace testing_support {

const TestPlatform test_platform{.separator = "/", .names_fold_case = false, .listing_order = ListingOrder::by_byte_value};

}  // namespace testing_support

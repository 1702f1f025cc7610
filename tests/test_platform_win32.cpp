// Windows: "\", names in any letter case.
#include "test_platform.h"

namespace testing_support {

const TestPlatform test_platform{.separator = "\\", .names_fold_case = true,
                                 .listing_order = ListingOrder::ignoring_case};

}  // namespace testing_support

// Whether this test build runs under a sanitizer, where the command is much
// slower and its resident memory says nothing of the command itself.
#pragma once

namespace testing_support {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized_build = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized_build = true;
#else
inline constexpr bool sanitized_build = false;
#endif
#else
inline constexpr bool sanitized_build = false;
#endif

}  // namespace testing_support

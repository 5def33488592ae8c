#pragma once

// Whether this build runs under AddressSanitizer, whose allocator keeps
// freed memory in quarantine: resident-memory figures mean little there.

#if defined(__SANITIZE_ADDRESS__)
#define TRELVANE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRELVANE_TEST_SANITIZED 1
#endif
#endif
#ifndef TRELVANE_TEST_SANITIZED
#define TRELVANE_TEST_SANITIZED 0
#endif

inline constexpr bool kTestSanitized = TRELVANE_TEST_SANITIZED != 0;

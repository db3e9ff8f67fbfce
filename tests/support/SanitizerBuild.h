#pragma once

// Whether the tests are built under AddressSanitizer or ThreadSanitizer:
// GCC says so with __SANITIZE_ADDRESS__ and __SANITIZE_THREAD__, clang only
// through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QDK_ADDRESS_SANITIZER 1
#endif
#if defined(__SANITIZE_THREAD__)
#define QDK_THREAD_SANITIZER 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(QDK_ADDRESS_SANITIZER)
#define QDK_ADDRESS_SANITIZER 1
#endif
#if __has_feature(thread_sanitizer) && !defined(QDK_THREAD_SANITIZER)
#define QDK_THREAD_SANITIZER 1
#endif
#endif

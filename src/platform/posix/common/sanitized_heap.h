// OSTREL_SANITIZED_HEAP: defined in a build with a sanitizer that keeps its own allocator,
// which the program's own memory functions must then leave in place.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(thread_sanitizer)
#define OSTREL_SANITIZED_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTREL_SANITIZED_HEAP 1
#endif

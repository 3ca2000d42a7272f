// Memory kept for reuse after it was freed is poisoned under
// AddressSanitizer, so that a use after free is still reported although
// the memory stays allocated; elsewhere the macros do nothing.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QUORVEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QUORVEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define QUORVEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QUORVEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#endif
#endif
#ifndef QUORVEL_POISON
#define QUORVEL_POISON(p, n) ((void)(p), (void)(n))
#define QUORVEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

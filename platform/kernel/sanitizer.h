// LMSCR_ASAN is defined when AddressSanitizer instruments the build (g++ says so by a macro,
// clang++ by a feature), with the sanitizer's interface for memory it must be told about: the
// stacks fibers switch between, and IRP memory kept poisoned between its uses.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define LMSCR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LMSCR_ASAN 1
#endif
#endif

#ifdef LMSCR_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

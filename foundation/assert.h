#pragma once
// Programmer-error checks: an assert with a message in debug builds; release builds
// compile it away, and the caller follows it with a safe return.
//
//   TALLOW_ASSERT(!_locked, "array locked while iterating");
//   if (_locked) return {};

namespace tallow {
/// Logs the failed condition with its place and aborts. Debug builds only.
[[noreturn]] void assert_failed(const char *condition, const char *message, const char *file, int line);
} // namespace tallow

#ifdef NDEBUG
#define TALLOW_ASSERT(condition, ...) ((void)0)
#else
#define TALLOW_ASSERT(condition, ...)                                                        \
    ((condition) ? (void)0 : ::tallow::assert_failed(#condition, "" __VA_ARGS__, __FILE__, __LINE__))
#endif

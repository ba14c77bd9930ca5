#pragma once
// The process-wide allocator set: built first by the program entry, torn down last.

#include "foundation/allocator.h"

namespace tallow {

/// Builds the global allocators. Call once, before any other engine code.
void memory_globals_init();
/// Destroys the global allocators in reverse order; everything must have been returned.
void memory_globals_shutdown();
/// The default allocator ("generic_allocator"). Valid between init and shutdown.
Allocator &default_allocator();
/// Destroys `object` and frees it through the default allocator.
template <typename T> void delete_with_default_allocator(T *object) { delete_with_allocator(default_allocator(), object); }

} // namespace tallow

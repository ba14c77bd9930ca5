#pragma once
// The process-wide allocator set: built first by the program entry, torn down last.
//
//   memory_globals_init();
//   Foo *foo = make_new<Foo>(default_allocator());
//   ...
//   memory_globals_shutdown();
//
// The getters are valid between init and shutdown (default_allocator() builds the set
// on first use if the entry has not); every global allocator is locked, so any thread
// may use them.

#include "foundation/memory/allocator.h"

namespace tallow {

/// Builds the global allocators. Call once, before any other engine code; a second call
/// does nothing.
void memory_globals_init();
/// Destroys every thread's scratch pool, then the global allocators in reverse order of
/// creation; everything must have been returned. Nothing is reported about what is left.
void memory_globals_shutdown();
/// True between memory_globals_init and memory_globals_shutdown.
bool memory_globals_initialized();

/// The default allocator ("generic_allocator").
Allocator &default_allocator();
/// Whole pages from the operating system, 64 KiB aligned ("page_allocator").
Allocator &page_allocator();
/// The C runtime heap ("system_allocator").
Allocator &system_allocator();
/// Slots of 4 to 1024 bytes ("slot_allocator").
Allocator &slot_allocator();
/// The general-purpose region heap over the page allocator ("heap_allocator").
Allocator &heap_allocator();
/// An arena that frees nothing until shutdown ("application_static_allocator").
Allocator &application_static_allocator();

/// Destroys `object` and frees it through the default allocator.
template <typename T> void delete_with_default_allocator(T *object) { delete_with_allocator(default_allocator(), object); }

} // namespace tallow

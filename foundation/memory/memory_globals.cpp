#include "foundation/memory/memory_globals.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/memory/arena_allocator.h"
#include "foundation/memory/generic_allocator.h"
#include "foundation/memory/heap_allocator.h"
#include "foundation/memory/page_allocator.h"
#include "foundation/memory/scratch_pool.h"
#include "foundation/memory/slot_allocator.h"
#include "foundation/memory/system_allocator.h"

#include "foundation/log.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace tallow {

namespace {
constexpr u64 bootstrap_size = 61388;
constexpr u64 heap_first_region = 0x200000;
constexpr u64 application_static_block = 0x20000;

// The bootstrap heap cannot grow: it holds the allocator objects and the allocator list.
alignas(64) unsigned char bootstrap_buffer[bootstrap_size];
alignas(HeapAllocator) unsigned char bootstrap_storage[sizeof(HeapAllocator)];

struct Globals {
    HeapAllocator *bootstrap = nullptr;
    PageAllocator *page = nullptr;
    SystemAllocator *system = nullptr;
    SlotAllocator *slot = nullptr;
    HeapAllocator *heap = nullptr;
    ArenaAllocator *application_static = nullptr;
    GenericAllocator *generic = nullptr;
};
Globals globals;
std::mutex globals_lock;
std::atomic<GenericAllocator *> default_pointer{nullptr};

template <typename T, typename... Args> T *make_global(Args &&...args)
{
    T *object = make_new<T>(*globals.bootstrap, std::forward<Args>(args)...);
    if (!object) { // the bootstrap buffer is sized to hold every global object
        log_message("memory", "bootstrap heap too small for the global allocators");
        abort();
    }
    return object;
}

template <typename T> void destroy_global(T *&object)
{
    delete_with_allocator(*globals.bootstrap, object);
    object = nullptr;
}
} // namespace

void memory_globals_init()
{
    std::lock_guard<std::mutex> guard(globals_lock);
    if (globals.generic)
        return;
    globals.bootstrap = new (bootstrap_storage) HeapAllocator(nullptr, bootstrap_buffer, bootstrap_size);
    allocator_list_create(*globals.bootstrap);
    globals.page = make_global<PageAllocator>("page_allocator");
    globals.system = make_global<SystemAllocator>("system_allocator");
    globals.slot = make_global<SlotAllocator>("slot_allocator", *globals.page);
    globals.heap = make_global<HeapAllocator>("heap_allocator", *globals.page, heap_first_region);
    globals.application_static =
        make_global<ArenaAllocator>("application_static_allocator", *globals.page, application_static_block);
    globals.generic = make_global<GenericAllocator>("generic_allocator", *globals.page, *globals.heap, *globals.slot,
                                                       true, true);
    default_pointer.store(globals.generic, std::memory_order_release);
}

void memory_globals_shutdown()
{
    destroy_thread_scratch_pools();
    std::lock_guard<std::mutex> guard(globals_lock);
    if (!globals.generic)
        return;
    default_pointer.store(nullptr, std::memory_order_release);
    destroy_global(globals.generic);
    destroy_global(globals.application_static);
    destroy_global(globals.heap);
    destroy_global(globals.slot);
    destroy_global(globals.system);
    destroy_global(globals.page);
    allocator_list_destroy();
    globals.bootstrap->~HeapAllocator();
    globals.bootstrap = nullptr;
}

bool memory_globals_initialized() { return default_pointer.load(std::memory_order_acquire) != nullptr; }

Allocator &default_allocator()
{
    GenericAllocator *generic = default_pointer.load(std::memory_order_acquire);
    if (!generic) {
        memory_globals_init();
        generic = default_pointer.load(std::memory_order_acquire);
    }
    return *generic;
}

Allocator &page_allocator()
{
    default_allocator();
    return *globals.page;
}

Allocator &system_allocator()
{
    default_allocator();
    return *globals.system;
}

Allocator &slot_allocator()
{
    default_allocator();
    return *globals.slot;
}

Allocator &heap_allocator()
{
    default_allocator();
    return *globals.heap;
}

Allocator &application_static_allocator()
{
    default_allocator();
    return *globals.application_static;
}

} // namespace tallow

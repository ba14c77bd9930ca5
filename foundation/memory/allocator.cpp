#include "foundation/memory/allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/containers/array.h"

#include <cstdlib>
#include <malloc.h>
#include <mutex>

namespace tallow {

namespace {
// The list lives between memory_globals_init and memory_globals_shutdown; allocators
// made outside that span (static objects, test fixtures built early) go unlisted.
std::mutex list_lock;
Array<Allocator *> *list = nullptr;
alignas(Array<Allocator *>) unsigned char list_storage[sizeof(Array<Allocator *>)];
} // namespace

void *malloc_aligned(u64 size, u32 align)
{
    if (align < min_alignment)
        align = min_alignment;
    void *p = nullptr;
    if (posix_memalign(&p, align, size ? size : 1) != 0)
        return nullptr;
    return p;
}

u64 malloc_size(const void *p) { return p ? malloc_usable_size(const_cast<void *>(p)) : 0; }

void malloc_free(void *p) { free(p); }

void allocator_list_create(Allocator &storage)
{
    std::lock_guard<std::mutex> guard(list_lock);
    if (!list)
        list = new (list_storage) Array<Allocator *>(storage);
}

void allocator_list_destroy()
{
    std::lock_guard<std::mutex> guard(list_lock);
    if (list) {
        list->~Array<Allocator *>();
        list = nullptr;
    }
}

Allocator::Allocator(const char *name) : _name(name)
{
    if (!name)
        return;
    std::lock_guard<std::mutex> guard(list_lock);
    if (list)
        (void)list->push_back(this); // a full bootstrap heap only costs the listing
}

Allocator::~Allocator()
{
    if (!_name)
        return;
    std::lock_guard<std::mutex> guard(list_lock);
    if (list)
        (void)list->remove_value(this);
}

u64 Allocator::allocated_size(const void *) { return 0; }

u64 Allocator::total_allocated() { return 0; }

void Allocator::backing_allocators(Array<Allocator *> &) {}

void copy_allocator_list(Array<Allocator *> &out_allocators)
{
    std::lock_guard<std::mutex> guard(list_lock);
    if (!list)
        return;
    for (Allocator *a : *list)
        out_allocators.push_back(a);
}

u32 allocator_list_count()
{
    std::lock_guard<std::mutex> guard(list_lock);
    return list ? list->size() : 0;
}

} // namespace tallow

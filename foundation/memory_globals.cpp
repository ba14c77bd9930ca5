// Provisional global set: a malloc-backed default allocator until the real set lands.
#include "foundation/memory_globals.h"

#include <cstdlib>

namespace tallow {

namespace {
class MallocAllocator final : public Allocator {
  public:
    void *allocate(u64 size, u32 align) override
    {
        if (align < alignof(void *))
            align = alignof(void *);
        void *p = nullptr;
        if (posix_memalign(&p, align, size ? size : 1) != 0)
            return nullptr;
        return p;
    }
    void deallocate(void *p) override { free(p); }
};
MallocAllocator *provisional = nullptr;
alignas(MallocAllocator) unsigned char provisional_storage[sizeof(MallocAllocator)];
} // namespace

void memory_globals_init()
{
    if (!provisional)
        provisional = new (provisional_storage) MallocAllocator();
}

void memory_globals_shutdown()
{
    if (provisional) {
        provisional->~MallocAllocator();
        provisional = nullptr;
    }
}

Allocator &default_allocator()
{
    memory_globals_init();
    return *provisional;
}

} // namespace tallow

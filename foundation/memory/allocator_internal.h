#pragma once
// Shared pieces of the allocator implementations; not for use outside foundation/.

#include "foundation/threads/spin_mutex.h"
#include "foundation/types.h"

#include <cstddef>

namespace tallow {

class Allocator;

// Sanitizer builds define TALLOW_MALLOC_ALLOCATORS: every allocator that owns memory
// then hands each request to malloc, so the sanitizer sees every allocation on its own.
#ifdef TALLOW_MALLOC_ALLOCATORS
inline constexpr bool malloc_allocators = true;
#else
inline constexpr bool malloc_allocators = false;
#endif

/// The alignment every allocator gives at least.
inline constexpr u32 min_alignment = alignof(std::max_align_t);

/// malloc-family allocation with `align` honoured (at least min_alignment); null on failure.
void *malloc_aligned(u64 size, u32 align);
/// Usable bytes of a block from malloc_aligned; 0 for null.
u64 malloc_size(const void *p);
void malloc_free(void *p);

inline bool is_power_of_two(u64 x) { return x && !(x & (x - 1)); }
inline u64 align_up(u64 x, u64 align) { return (x + align - 1) & ~(align - 1); }
inline u8 *align_up(u8 *p, u64 align) { return reinterpret_cast<u8 *>(align_up(reinterpret_cast<u64>(p), align)); }

/// Takes `mutex` for its scope when `locked` is set (the allocators' lock flag).
class OptionalLock {
  public:
    OptionalLock(SpinMutex &mutex, bool locked) : _mutex(locked ? &mutex : nullptr)
    {
        if (_mutex)
            _mutex->lock();
    }
    ~OptionalLock()
    {
        if (_mutex)
            _mutex->unlock();
    }
    OptionalLock(const OptionalLock &) = delete;
    OptionalLock &operator=(const OptionalLock &) = delete;

  private:
    SpinMutex *_mutex;
};

/// malloc_aligned for a malloc-routed allocator: adds the block's usable size to `total`
/// under the allocator's lock. Null on failure, with `total` unchanged.
inline void *malloc_counted(u64 size, u32 align, SpinMutex &mutex, bool locked, u64 &total)
{
    void *p = malloc_aligned(size, align);
    if (p) {
        OptionalLock guard(mutex, locked);
        total += malloc_size(p);
    }
    return p;
}

/// Frees a block from malloc_counted, taking its usable size off `total` first.
inline void malloc_free_counted(void *p, SpinMutex &mutex, bool locked, u64 &total)
{
    {
        OptionalLock guard(mutex, locked);
        total -= malloc_size(p);
    }
    malloc_free(p);
}

/// Creates the allocator list on `storage` (the bootstrap heap); called by memory_globals_init.
void allocator_list_create(Allocator &storage);
/// Frees the list; allocators destroyed afterwards are simply not found.
void allocator_list_destroy();

} // namespace tallow

#pragma once
// The memory interface every engine allocation goes through.
//
//   Foo *foo = make_new<Foo>(allocator, args...);
//   ...
//   delete_with_allocator(allocator, foo);
//
// A new allocator implements allocate and deallocate; allocated_size, total_allocated
// and backing_allocators have neutral defaults. Allocators constructed with a name are
// recorded in the global allocator list for inspection; the name is not copied.

#include "foundation/types.h"

#include <new>
#include <type_traits>
#include <utility>

namespace tallow {

template <typename T> class Array;

class Allocator {
  public:
    /// A non-null `name` lists the allocator in the global allocator list (while the
    /// global allocators exist); the text must outlive the allocator.
    explicit Allocator(const char *name = nullptr);
    virtual ~Allocator();
    Allocator(const Allocator &) = delete;
    Allocator &operator=(const Allocator &) = delete;

    /// Returns `size` bytes aligned to `align` (a power of two), or null on failure.
    /// Every allocator returns null for 0 bytes, without touching its state or counts.
    virtual void *allocate(u64 size, u32 align = alignof(std::max_align_t)) = 0;
    /// Returns memory from `allocate`; null is ignored.
    virtual void deallocate(void *p) = 0;
    /// Bytes really reserved for `p`; 0 when the allocator does not know.
    virtual u64 allocated_size(const void *p);
    /// Bytes this allocator currently holds.
    virtual u64 total_allocated();
    /// Appends the allocators this one draws from.
    virtual void backing_allocators(Array<Allocator *> &out_allocators);

    const char *name() const { return _name; }

  protected:
    const char *_name; // not owned; may be null
};

/// Allocates and constructs a T; returns null when the allocator fails.
template <typename T, typename... Args> T *make_new(Allocator &allocator, Args &&...args)
{
    void *p = allocator.allocate(sizeof(T), alignof(T));
    if (!p)
        return nullptr;
    return new (p) T(std::forward<Args>(args)...);
}

/// Runs the object's destructor, then returns its memory to `allocator`. Null is ignored.
/// `object` may point to a base class (with a virtual destructor) of what make_new made.
template <typename T> void delete_with_allocator(Allocator &allocator, T *object)
{
    if (!object)
        return;
    // Through a base that is not the first, the object starts after the block make_new took:
    // give back the block, found from the whole object.
    void *block;
    if constexpr (std::is_polymorphic_v<T>)
        block = const_cast<void *>(dynamic_cast<const volatile void *>(object));
    else
        block = const_cast<void *>(static_cast<const volatile void *>(object));
    object->~T();
    allocator.deallocate(block);
}

/// Copies the named allocators alive right now, in construction order, into
/// `out_allocators` (appended). For inspection only; safe from any thread. The pointers
/// are only valid while their owners keep the allocators alive.
void copy_allocator_list(Array<Allocator *> &out_allocators);

/// Number of allocators in the allocator list; safe from any thread.
u32 allocator_list_count();

} // namespace tallow

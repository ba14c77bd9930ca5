#pragma once
// A counted handle to an object made from an allocator: the last release destroys the
// object (virtual destructor) and frees it, and the count, through that allocator.
//
//   SharedReference<InputBuffer> buffer = make_shared_reference<MemoryInputBuffer>(a, data, size);
//   InputArchive archive(buffer);   // the archive holds its own reference
//
// The count is not atomic: a reference and its copies belong to one thread at a time.

#include "foundation/memory/allocator.h"
#include "foundation/types.h"

#include <type_traits>
#include <utility>

namespace tallow {

template <typename T> class SharedReference {
  public:
    SharedReference() = default;

    /// Takes ownership of `object`, made from `allocator`; the count (set to 1) comes from
    /// the same allocator. When the count cannot be allocated the object is destroyed and
    /// the reference stays null.
    SharedReference(T *object, Allocator &allocator)
    {
        if (!object)
            return;
        void *count = allocator.allocate(sizeof(u32), alignof(u32));
        if (!count) {
            delete_with_allocator(allocator, object);
            return;
        }
        _object = object;
        _allocator = &allocator;
        _count = new (count) u32(1);
    }

    SharedReference(const SharedReference &other) { acquire(other._object, other._allocator, other._count); }
    SharedReference(SharedReference &&other) noexcept { take(other); }

    /// A reference to a derived object converts to a reference to its base; both share the count.
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U *, T *>>>
    SharedReference(const SharedReference<U> &other)
    {
        acquire(other._object, other._allocator, other._count);
    }

    SharedReference &operator=(const SharedReference &other)
    {
        if (this != &other) {
            SharedReference copy(other);
            release();
            take(copy);
        }
        return *this;
    }
    SharedReference &operator=(SharedReference &&other) noexcept
    {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~SharedReference() { release(); }

    /// Drops this reference; the last one destroys the object. The reference becomes null.
    void release()
    {
        if (_count && --*_count == 0) {
            delete_with_allocator(*_allocator, _object);
            _allocator->deallocate(_count);
        }
        _object = nullptr;
        _allocator = nullptr;
        _count = nullptr;
    }

    T *get() const { return _object; }
    T *operator->() const { return _object; }
    T &operator*() const { return *_object; }
    explicit operator bool() const { return _object != nullptr; }
    bool is_null() const { return _object == nullptr; }
    /// How many references share the object (0 for a null reference).
    u32 count() const { return _count ? *_count : 0; }

  private:
    template <typename U> friend class SharedReference;

    void acquire(T *object, Allocator *allocator, u32 *count)
    {
        _object = object;
        _allocator = allocator;
        _count = count;
        if (_count)
            ++*_count;
    }
    void take(SharedReference &other)
    {
        _object = other._object;
        _allocator = other._allocator;
        _count = other._count;
        other._object = nullptr;
        other._allocator = nullptr;
        other._count = nullptr;
    }

    T *_object = nullptr;
    Allocator *_allocator = nullptr; // made the object and the count
    u32 *_count = nullptr;
};

/// Makes a T from `allocator` and wraps it; null when either allocation fails.
template <typename T, typename... Args> SharedReference<T> make_shared_reference(Allocator &allocator, Args &&...args)
{
    return SharedReference<T>(make_new<T>(allocator, std::forward<Args>(args)...), allocator);
}

} // namespace tallow

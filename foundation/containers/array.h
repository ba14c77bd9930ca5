#pragma once
// Growable contiguous array drawing from a named allocator.
//
//   Array<u32> ids(allocator);
//   ids.push_back(7);
//   for (u32 id : ids)
//       ...
//
// Grows to 2 x capacity + 10 (or to the needed size when larger); shrinking the size
// keeps the memory. Storage is aligned to alignof(T). On reallocation trivially
// copyable elements move by a byte copy, others by their move constructor (so types
// holding pointers into themselves stay correct). New elements from `resize` are
// value-initialised (0 for numbers and pointers, the type's own default for records),
// or constructed with the array's allocator when the element type takes one.
// A copy-constructed array uses the source's allocator; assignment keeps its own.
// When the allocator fails, growing operations return false (or leave the size as it
// was) and the array stays valid. Not thread-safe.

#include "foundation/memory/allocator.h"
#include "foundation/assert.h"
#include "foundation/types.h"

#include <cstring>
#include <type_traits>
#include <utility>

namespace tallow {

/// A default T, built with `allocator` when T takes one (strings, arrays, records
/// holding them), otherwise value-initialised (0 for numbers and pointers).
template <typename T> T make_default(Allocator &allocator)
{
    if constexpr (std::is_constructible_v<T, Allocator &>)
        return T(allocator);
    else
        return T();
}

template <typename T> class Array {
  public:
    explicit Array(Allocator &allocator) : _allocator(&allocator) {}
    Array(const Array &other) : _allocator(other._allocator) { copy_from(other); }
    Array(Array &&other) noexcept
        : _size(other._size), _capacity(other._capacity), _data(other._data), _allocator(other._allocator)
    {
        other._size = other._capacity = 0;
        other._data = nullptr;
    }
    Array &operator=(const Array &other)
    {
        if (this != &other) {
            resize(0);
            copy_from(other);
        }
        return *this;
    }
    Array &operator=(Array &&other) noexcept
    {
        if (this != &other) {
            if (_allocator == other._allocator) {
                release();
                std::swap(_size, other._size);
                std::swap(_capacity, other._capacity);
                std::swap(_data, other._data);
            } else {
                *this = static_cast<const Array &>(other);
            }
        }
        return *this;
    }
    ~Array() { release(); }

    u32 size() const { return _size; }
    u32 capacity() const { return _capacity; }
    bool empty() const { return _size == 0; }
    T *data() { return _data; }
    const T *data() const { return _data; }
    T *begin() { return _data; }
    T *end() { return _data + _size; }
    const T *begin() const { return _data; }
    const T *end() const { return _data + _size; }
    Allocator &allocator() const { return *_allocator; }

    T &operator[](u32 i)
    {
        TALLOW_ASSERT(i < _size, "array index out of range");
        return _data[i];
    }
    const T &operator[](u32 i) const
    {
        TALLOW_ASSERT(i < _size, "array index out of range");
        return _data[i];
    }
    T &front() { return (*this)[0]; }
    T &back() { return (*this)[_size - 1]; }
    const T &back() const { return (*this)[_size - 1]; }

    void resize(u32 n)
    {
        if (n > _capacity)
            set_capacity(grown_capacity(n));
        if (n > _capacity)
            return; // allocation failed; keep the old size
        if constexpr (std::is_trivial_v<T> && !std::is_constructible_v<T, Allocator &>) {
            // Value-initialised trivial elements are all zero bytes: one fill, not a loop.
            if (_size < n) {
                memset(static_cast<void *>(_data + _size), 0, u64(n - _size) * sizeof(T));
                _size = n;
            }
        } else {
            while (_size < n)
                construct_default(_data + _size++);
        }
        while (_size > n)
            _data[--_size].~T();
    }

    /// Sets the capacity exactly; shrinks the size first when `n` is below it.
    void set_capacity(u32 n)
    {
        if (n == _capacity)
            return;
        if (n < _size)
            resize(n);
        T *fresh = nullptr;
        if (n > 0) {
            fresh = static_cast<T *>(_allocator->allocate(u64(n) * sizeof(T), alignof(T)));
            if (!fresh)
                return;
            relocate(fresh, _data, _size);
        }
        _allocator->deallocate(_data);
        _data = fresh;
        _capacity = n;
    }

    void reserve(u32 n)
    {
        if (n > _capacity)
            set_capacity(n);
    }
    void grow(u32 n = 0) { set_capacity(grown_capacity(n)); }
    void clear() { resize(0); }

    /// Appends `value`; returns false when growing failed.
    bool push_back(const T &value)
    {
        if (_size == _capacity) {
            T copy(value); // value may live inside this array
            grow();
            if (_size == _capacity)
                return false;
            new (_data + _size++) T(std::move(copy));
            return true;
        }
        new (_data + _size++) T(value);
        return true;
    }
    bool push_back(T &&value)
    {
        if (_size == _capacity) {
            T moved(std::move(value));
            grow();
            if (_size == _capacity)
                return false;
            new (_data + _size++) T(std::move(moved));
            return true;
        }
        new (_data + _size++) T(std::move(value));
        return true;
    }
    void pop_back()
    {
        TALLOW_ASSERT(_size > 0, "pop_back on an empty array");
        if (_size > 0)
            _data[--_size].~T();
    }

    /// Inserts `value` before `index` (index == size appends), keeping order.
    bool insert(u32 index, const T &value)
    {
        T copy(value); // value may live inside this array
        return insert(index, std::move(copy));
    }
    bool insert(u32 index, T &&value)
    {
        TALLOW_ASSERT(index <= _size, "insert position out of range");
        if (index > _size)
            return false;
        if (!push_back(std::move(value)))
            return false;
        for (u32 i = _size - 1; i > index; --i)
            std::swap(_data[i], _data[i - 1]);
        return true;
    }

    /// Removes the element at `index`, moving the tail down one place.
    void erase(u32 index)
    {
        TALLOW_ASSERT(index < _size, "erase position out of range");
        if (index >= _size)
            return;
        for (u32 i = index; i + 1 < _size; ++i)
            _data[i] = std::move(_data[i + 1]);
        pop_back();
    }

    /// Removes the first element equal to `value`; false when there is none.
    bool remove_value(const T &value)
    {
        for (u32 i = 0; i < _size; ++i)
            if (_data[i] == value) {
                erase(i);
                return true;
            }
        return false;
    }

    /// True when size <= capacity and storage exists exactly when capacity > 0.
    bool validate() const { return _size <= _capacity && (_data != nullptr) == (_capacity > 0); }

  private:
    u32 grown_capacity(u32 needed) const
    {
        u64 doubled = u64(_capacity) * 2 + 10;
        u64 n = doubled > needed ? doubled : needed;
        return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : u32(n);
    }

    void construct_default(T *p) { new (p) T(make_default<T>(*_allocator)); }

    static void relocate(T *to, T *from, u32 n)
    {
        if constexpr (std::is_trivially_copyable_v<T>) {
            if (n)
                memcpy(static_cast<void *>(to), static_cast<const void *>(from), u64(n) * sizeof(T));
        } else {
            for (u32 i = 0; i < n; ++i) {
                new (to + i) T(std::move(from[i]));
                from[i].~T();
            }
        }
    }

    void copy_from(const Array &other)
    {
        reserve(other._size);
        if (_capacity < other._size)
            return;
        for (u32 i = 0; i < other._size; ++i)
            new (_data + i) T(other._data[i]);
        _size = other._size;
    }

    void release()
    {
        resize(0);
        _allocator->deallocate(_data);
        _data = nullptr;
        _capacity = 0;
    }

    u32 _size = 0;
    u32 _capacity = 0;
    T *_data = nullptr;
    Allocator *_allocator;
};

} // namespace tallow

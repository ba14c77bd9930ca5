#pragma once
// Map kept as an Array of {key, value} entries in ascending key order, searched by
// binary search. Small, dense and cheap to walk; insertion and erase move the tail.
//
//   SortMap<u32, Request *> requests(allocator);
//   requests.insert(token, request);
//   u32 i = requests.find_index(token);
//   if (i != requests.size())
//       use(requests.value(i));
//
// Keys need `<`. Indices stay valid until the next insertion or erase; keys must not be
// changed through an entry. Not thread-safe; owners guard their maps.

#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "foundation/types.h"

#include <utility>

namespace tallow {

template <typename K, typename V> class SortMap {
  public:
    struct Entry {
        K key;
        V value;
        Entry() : key(), value() {}
        explicit Entry(Allocator &allocator) : key(make_default<K>(allocator)), value(make_default<V>(allocator)) {}
    };

    explicit SortMap(Allocator &allocator) : _entries(allocator) {}

    u32 size() const { return _entries.size(); }
    bool empty() const { return _entries.empty(); }
    Allocator &allocator() const { return _entries.allocator(); }

    /// Index of `key`, or size() when absent (0 for an empty map).
    u32 find_index(const K &key) const
    {
        u32 low = 0;
        u32 high = _entries.size();
        while (low < high) {
            u32 middle = low + (high - low) / 2;
            const K &at = _entries[middle].key;
            if (key < at)
                high = middle;
            else if (at < key)
                low = middle + 1;
            else
                return middle;
        }
        return _entries.size();
    }
    bool has(const K &key) const { return find_index(key) != _entries.size(); }

    /// Index of the first entry whose key is not below `key` (size() when none).
    u32 lower_bound(const K &key) const
    {
        u32 low = 0;
        u32 high = _entries.size();
        while (low < high) {
            u32 middle = low + (high - low) / 2;
            if (_entries[middle].key < key)
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    }

    /// Index of `key`'s entry, inserting it in order with a default value when absent.
    /// Returns size() only when memory ran out (logged).
    u32 find_or_insert(const K &key)
    {
        u32 i = lower_bound(key);
        if (i < _entries.size() && !(key < _entries[i].key))
            return i;
        Entry entry(_entries.allocator());
        entry.key = key;
        if (!_entries.insert(i, std::move(entry))) {
            log_message("sort_map", "out of memory inserting an entry");
            return _entries.size();
        }
        return i;
    }

    /// Sets `key` to `value`, inserting it in order when absent; false when out of memory.
    bool insert(const K &key, const V &value)
    {
        u32 i = find_or_insert(key);
        if (i == _entries.size())
            return false;
        _entries[i].value = value;
        return true;
    }

    /// Removes `key`, moving the later entries down (order kept); false when absent.
    bool erase(const K &key)
    {
        u32 i = find_index(key);
        if (i == _entries.size())
            return false;
        _entries.erase(i);
        return true;
    }

    /// Removes the entry at `index` (index < size()).
    void erase_at(u32 index) { _entries.erase(index); }
    void clear() { _entries.clear(); }

    Entry &entry(u32 i) { return _entries[i]; }
    const Entry &entry(u32 i) const { return _entries[i]; }
    const K &key(u32 i) const { return _entries[i].key; }
    V &value(u32 i) { return _entries[i].value; }
    const V &value(u32 i) const { return _entries[i].value; }

    Entry *begin() { return _entries.begin(); }
    Entry *end() { return _entries.end(); }
    const Entry *begin() const { return _entries.begin(); }
    const Entry *end() const { return _entries.end(); }

    /// True when the keys are strictly ascending (logs the first fault otherwise).
    bool validate() const
    {
        for (u32 i = 1; i < _entries.size(); ++i)
            if (!(_entries[i - 1].key < _entries[i].key)) {
                log_message("sort_map", "invalid map: keys at %u and %u are not ascending", i - 1, i);
                return false;
            }
        return _entries.validate();
    }

  private:
    Array<Entry> _entries;
};

} // namespace tallow

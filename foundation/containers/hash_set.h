#pragma once
// Chained hash set: the HashMap table with keys alone (entries {key, next}).
//
//   HashSet<u64> pages(allocator);
//   pages.find_or_insert(u64(address));
//   if (pages.has(u64(address)))
//       ...
//   pages.erase(u64(address));
//
// Same layout, constants and growth rule as HashMap: the first insertion makes 19
// buckets; a full table rehashes to max(2 x size + 1, 19) buckets. Pointer and address
// sets use 64-bit keys (u64 or T*). Not thread-safe; owners guard their sets.

#include "foundation/containers/hash_map.h"

namespace tallow {

template <typename K, typename Hash = HashKey<K>> class HashSet {
    using Table = HashMap<K, HashNoValue, Hash>;

  public:
    using Entry = typename Table::Entry;
    static constexpr u32 no_entry = Table::no_entry;

    /// An empty set with no buckets.
    explicit HashSet(Allocator &allocator) : _table(allocator) {}
    /// An empty set with `bucket_count` heads and `overflow_count` spare chain entries.
    HashSet(u32 bucket_count, u32 overflow_count, Allocator &allocator)
        : _table(bucket_count, overflow_count, allocator)
    {
    }

    u32 size() const { return _table.size(); }
    bool empty() const { return _table.empty(); }
    u32 bucket_count() const { return _table.bucket_count(); }
    u32 entry_count() const { return _table.entry_count(); }
    Allocator &allocator() const { return _table.allocator(); }

    /// Index of the entry holding `key`, or no_entry.
    template <typename Q> u32 find(const Q &key) const { return _table.find(key); }
    template <typename Q> bool has(const Q &key) const { return _table.has(key); }
    /// Index of `key`'s entry, inserting the key when absent. May rehash. no_entry only
    /// when memory ran out (logged).
    template <typename Q> u32 find_or_insert(const Q &key) { return _table.find_or_insert(key); }
    /// Removes `key`; false when it was absent.
    template <typename Q> bool erase(const Q &key) { return _table.erase(key); }
    /// See HashMap::rehash.
    bool rehash(u32 bucket_count) { return _table.rehash(bucket_count); }
    /// Removes every key, keeping the table's size.
    void clear() { _table.clear(); }

    const K &key(u32 i) const { return _table.key(i); }
    bool is_live(u32 i) const { return _table.is_live(i); }

    /// Iteration over the keys in index order.
    class Iterator {
      public:
        explicit Iterator(typename Table::template Iterator<const Entry> at) : _at(at) {}
        const K &operator*() const { return _at->key; }
        Iterator &operator++()
        {
            ++_at;
            return *this;
        }
        bool operator==(const Iterator &other) const { return _at == other._at; }
        bool operator!=(const Iterator &other) const { return _at != other._at; }

      private:
        typename Table::template Iterator<const Entry> _at;
    };
    Iterator begin() const { return Iterator(_table.begin()); }
    Iterator end() const { return Iterator(_table.end()); }

    /// See HashMap::validate.
    bool validate() const { return _table.validate(); }

  private:
    Table _table;
};

} // namespace tallow

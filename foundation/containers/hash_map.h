#pragma once
// Chained hash map whose entries all live in one Array (no allocation per entry).
//
//   HashMap<u32, f32> speeds(allocator);
//   speeds[unit_id] = 4.0f;
//   u32 i = speeds.find(unit_id);
//   if (i != speeds.no_entry)
//       use(speeds.value(i));
//   for (auto &entry : speeds)
//       log_message("unit", "%u -> %f", entry.key, entry.value);
//
// The first `bucket_count` entries are bucket heads; the rest are overflow entries
// chained behind them through `next`. Freed overflow entries go on a free list and are
// reused before the table grows. An insertion that finds neither a spare nor a freed
// overflow entry rehashes to max(2 x size + 1, 19) buckets plus 0.37 x buckets + 1
// overflow entries (more when colliding keys need them, so growth succeeds while memory
// lasts; a growth that fails leaves the map unchanged). The map never shrinks. Entry
// indices stay valid until the next insertion or erase; keys must not be changed through an entry, and a walk over the
// entries must not insert or erase (an erase may move a later entry into a bucket head).
//
// Keys: u32, u64, pointers (hashed as 64-bit values) and DynamicString (its bytes hashed
// with murmur_hash_32; lookups may pass a const char *) out of the box.
// Another key type supplies a hash trait with `static u32 hash(const Q &)` and
// `static bool equal(const K &, const Q &)` for every lookup type Q it accepts.
//
// Not thread-safe; owners guard their maps.

#include "foundation/containers/array.h"
#include "foundation/assert.h"
#include "foundation/log.h"
#include "foundation/strings/murmur_hash.h"
#include "foundation/types.h"

#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <type_traits>
#include <utility>

namespace tallow {

/// The integer mix of u32 keys: x 0x5BD1E995, xor the top byte down, x 0x5BD1E995.
inline u32 hash_mix_u32(u32 key)
{
    const u32 m = 0x5BD1E995u;
    u32 h = key * m;
    h ^= h >> 24;
    return h * m;
}

/// MurmurHash2 (seed 0) of the 8 little-endian bytes of `key`, low word first. A pair of
/// u32 words {low, high} packed as low | high << 32 hashes like the pair's 8 bytes.
inline u32 hash_mix_u64(u64 key) { return murmur_hash_32(&key, sizeof key, 0); }

/// Packs two u32 words (for example cell coordinates) into the key of a pair-keyed map.
inline u64 pair_key(u32 low, u32 high) { return u64(low) | (u64(high) << 32); }

/// Hash trait of the built-in key types; specialise it (or pass another trait) for more.
template <typename K> struct HashKey;

template <> struct HashKey<u32> {
    static u32 hash(u32 key) { return hash_mix_u32(key); }
    static bool equal(u32 a, u32 b) { return a == b; }
};

template <> struct HashKey<u64> {
    static u32 hash(u64 key) { return hash_mix_u64(key); }
    static bool equal(u64 a, u64 b) { return a == b; }
};

template <typename T> struct HashKey<T *> {
    static u32 hash(const T *key) { return hash_mix_u64(u64(reinterpret_cast<std::uintptr_t>(key))); }
    static bool equal(const T *a, const T *b) { return a == b; }
};

/// Hashes zero-terminated text (anything with c_str(), or const char *) by its bytes with
/// murmur_hash_32, seed 0; equal when the bytes are equal.
struct TextHashKey {
    static const char *text(const char *s) { return s ? s : ""; }
    template <typename S> static auto text(const S &s) -> decltype(s.c_str()) { return s.c_str(); }
    template <typename S> static u32 hash(const S &s)
    {
        const char *t = text(s);
        return murmur_hash_32(t, u32(strlen(t)), 0);
    }
    template <typename A, typename B> static bool equal(const A &a, const B &b) { return strcmp(text(a), text(b)) == 0; }
};

class DynamicString;
template <> struct HashKey<DynamicString> : TextHashKey {};

/// Stands in for the value of a set's entries; takes no room in them.
struct HashNoValue {};

/// One slot of a hash table. `next` is free_entry, chain_end, the index of the next
/// entry of the chain, or (on the free list) a link with the top bit set.
template <typename K, typename V> struct HashMapEntry {
    K key;
    [[no_unique_address]] V value;
    u32 next = 0xFFFFFFFEu;

    HashMapEntry() : key(), value() {}
    explicit HashMapEntry(Allocator &allocator) : key(make_default<K>(allocator)), value(make_default<V>(allocator)) {}
};

template <typename K, typename V, typename Hash = HashKey<K>> class HashMap {
  public:
    using Entry = HashMapEntry<K, V>;

    static constexpr u32 no_entry = 0x7FFFFFFFu;        ///< `find` of an absent key
    static constexpr u32 free_entry = 0xFFFFFFFEu;      ///< `next` of an unused entry
    static constexpr u32 chain_end = 0x7FFFFFFFu;       ///< `next` of a chain's last entry
    static constexpr u32 free_list_bit = 0x80000000u;   ///< set on free-list links
    static constexpr u32 free_list_empty = 0xFFFFFFFFu; ///< free-list head when empty
    static constexpr u32 min_buckets = 19;

    /// An empty map with no buckets; the first insertion makes 19 buckets.
    explicit HashMap(Allocator &allocator) : _entries(allocator) {}

    /// An empty map with `bucket_count` heads and `overflow_count` spare chain entries.
    HashMap(u32 bucket_count, u32 overflow_count, Allocator &allocator) : _entries(allocator)
    {
        u64 total = u64(bucket_count) + overflow_count;
        if (total >= chain_end) {
            log_message("hash_map", "table of %llu entries is too large", (unsigned long long)total);
            return;
        }
        _entries.resize(u32(total));
        if (_entries.size() != total) {
            log_message("hash_map", "out of memory for %llu entries", (unsigned long long)total);
            _entries.set_capacity(0);
            return;
        }
        _bucket_count = bucket_count;
        _spare = overflow_count;
    }

    /// A copy uses `other`'s allocator; assignment keeps this map's allocator. When
    /// memory runs out the copy is left empty (logged).
    HashMap(const HashMap &other) : _entries(other._entries.allocator()) { copy_from(other); }
    HashMap &operator=(const HashMap &other)
    {
        if (this != &other)
            copy_from(other);
        return *this;
    }
    HashMap(HashMap &&other) noexcept
        : _entries(std::move(other._entries)), _used(other._used), _bucket_count(other._bucket_count),
          _spare(other._spare), _free_head(other._free_head)
    {
        other.forget_entries();
    }
    HashMap &operator=(HashMap &&other) noexcept
    {
        if (this == &other)
            return *this;
        if (&allocator() != &other.allocator())
            return *this = static_cast<const HashMap &>(other);
        _entries = std::move(other._entries);
        _used = other._used;
        _bucket_count = other._bucket_count;
        _spare = other._spare;
        _free_head = other._free_head;
        other.forget_entries();
        return *this;
    }

    u32 size() const { return _used; }
    bool empty() const { return _used == 0; }
    u32 bucket_count() const { return _bucket_count; }
    /// Bucket heads plus overflow entries (used, free or spare).
    u32 entry_count() const { return _entries.size(); }
    Allocator &allocator() const { return _entries.allocator(); }

    /// Index of the entry holding `key`, or no_entry.
    template <typename Q> u32 find(const Q &key) const
    {
        if (_bucket_count == 0)
            return no_entry;
        u32 i = Hash::hash(key) % _bucket_count;
        if (_entries[i].next == free_entry)
            return no_entry;
        for (;;) {
            const Entry &e = _entries[i];
            if (Hash::equal(e.key, key))
                return i;
            if (e.next == chain_end)
                return no_entry;
            i = e.next;
        }
    }
    template <typename Q> bool has(const Q &key) const { return find(key) != no_entry; }

    /// Index of the entry holding `key`, inserting it with a default value when absent.
    /// May rehash, which moves entries. Returns no_entry only when memory ran out (logged).
    template <typename Q> u32 find_or_insert(const Q &key)
    {
        if (!make_room())
            return no_entry;
        return find_or_make(key);
    }

    /// The value of `key`, inserted with a default value when absent. Aborts when the
    /// table cannot grow (out of memory), since there is no value to hand back.
    template <typename Q> V &operator[](const Q &key)
    {
        u32 i = find_or_insert(key);
        if (i == no_entry)
            assert_failed("i != no_entry", "hash map out of memory", __FILE__, __LINE__);
        return _entries[i].value;
    }

    /// `value` of `key`, or `fallback` when absent.
    template <typename Q> const V &get(const Q &key, const V &fallback) const
    {
        u32 i = find(key);
        return i == no_entry ? fallback : _entries[i].value;
    }

    /// Removes `key`; false when it was absent. A chain head's successor moves into the
    /// head, so only overflow entries go on the free list.
    template <typename Q> bool erase(const Q &key)
    {
        if (_bucket_count == 0)
            return false;
        u32 b = Hash::hash(key) % _bucket_count;
        Entry &head = _entries[b];
        if (head.next == free_entry)
            return false;
        if (Hash::equal(head.key, key)) {
            if (head.next == chain_end) {
                reset_entry(b);
                --_used;
                return true;
            }
            u32 s = head.next;
            Entry &successor = _entries[s];
            head.key = std::move(successor.key);
            head.value = std::move(successor.value);
            head.next = successor.next;
            release_entry(s);
            return true;
        }
        u32 p = b;
        while (_entries[p].next != chain_end) {
            u32 i = _entries[p].next;
            if (Hash::equal(_entries[i].key, key)) {
                _entries[p].next = _entries[i].next;
                release_entry(i);
                return true;
            }
            p = i;
        }
        return false;
    }

    /// Rebuilds the table with `bucket_count` heads and 0.37 x bucket_count + 1 overflow
    /// entries (more when the keys' collisions need them, so one always stays spare),
    /// reinserting the live entries in index order. A map with keys rehashed to no buckets
    /// gets max(2 x size + 1, 19). False (logged) when memory runs out; the map is then
    /// unchanged.
    bool rehash(u32 bucket_count)
    {
        if (bucket_count == 0 && _used != 0)
            bucket_count = growth_bucket_count();
        // 0.37 is the single-precision constant, formed in extended precision and truncated.
        u64 overflow = u64((long double)0.37f * bucket_count + 1.0L);
        if (bucket_count >= chain_end || overflow >= chain_end - bucket_count) {
            log_message("hash_map", "rehash to %u buckets is too large", bucket_count);
            return false;
        }
        HashMap fresh(bucket_count, u32(overflow), allocator());
        if (fresh._entries.size() != bucket_count + overflow)
            return false;
        // Colliding keys may need more overflow entries than the rule gives: count them
        // first (marking the fresh heads), so the moves below cannot run out part-way.
        u64 needed = 0;
        for (const Entry &e : _entries) {
            if (e.next > chain_end)
                continue;
            Entry &head = fresh._entries[Hash::hash(e.key) % bucket_count];
            if (head.next == free_entry)
                head.next = chain_end;
            else
                ++needed;
        }
        for (u32 b = 0; b < bucket_count; ++b)
            fresh._entries[b].next = free_entry;
        if (needed + 1 > overflow) {
            u64 total = u64(bucket_count) + needed + 1;
            if (total >= chain_end) {
                log_message("hash_map", "rehash of %u colliding keys is too large", _used);
                return false;
            }
            fresh._entries.resize(u32(total));
            if (fresh._entries.size() != total) {
                log_message("hash_map", "out of memory for %llu entries", (unsigned long long)total);
                return false;
            }
            fresh._spare = u32(total - bucket_count);
        }
        // Live entries are the ones carrying a chain value; freed entries carry a free-list
        // link (top bit set) and unused ones free_entry, so the free list needs no walk.
        for (Entry &e : _entries) {
            if (e.next > chain_end)
                continue;
            u32 i = fresh.place_new(std::move(e.key));
            fresh._entries[i].value = std::move(e.value);
        }
        _entries = std::move(fresh._entries);
        _used = fresh._used;
        _bucket_count = fresh._bucket_count;
        _spare = fresh._spare;
        _free_head = fresh._free_head;
        fresh.forget_entries();
        return true;
    }

    /// Removes every entry, keeping the table's size.
    void clear()
    {
        for (u32 i = 0; i < _entries.size(); ++i)
            reset_entry(i);
        _used = 0;
        _spare = _entries.size() - _bucket_count;
        _free_head = free_list_empty;
    }

    /// Entry access by index (from `find`, `find_or_insert` or iteration).
    Entry &entry(u32 i) { return _entries[i]; }
    const Entry &entry(u32 i) const { return _entries[i]; }
    const K &key(u32 i) const { return _entries[i].key; }
    V &value(u32 i) { return _entries[i].value; }
    const V &value(u32 i) const { return _entries[i].value; }
    /// True when entry `i` holds a key.
    bool is_live(u32 i) const { return i < _entries.size() && _entries[i].next <= chain_end; }

    /// Iteration over the live entries in index order.
    template <typename E> class Iterator {
      public:
        Iterator(E *at, E *end) : _at(at), _end(end) { skip(); }
        E &operator*() const { return *_at; }
        E *operator->() const { return _at; }
        Iterator &operator++()
        {
            ++_at;
            skip();
            return *this;
        }
        bool operator==(const Iterator &other) const { return _at == other._at; }
        bool operator!=(const Iterator &other) const { return _at != other._at; }

      private:
        void skip()
        {
            while (_at != _end && _at->next > chain_end)
                ++_at;
        }
        E *_at;
        E *_end;
    };
    Iterator<Entry> begin() { return {_entries.begin(), _entries.end()}; }
    Iterator<Entry> end() { return {_entries.end(), _entries.end()}; }
    Iterator<const Entry> begin() const { return {_entries.begin(), _entries.end()}; }
    Iterator<const Entry> end() const { return {_entries.end(), _entries.end()}; }

    /// Checks the table's invariants (chains, free list, counts, key placement); logs the
    /// first broken one and returns false. For tests and debug builds.
    bool validate() const
    {
        const u32 total = _entries.size();
        auto fail = [](const char *what) {
            log_message("hash_map", "invalid table: %s", what);
            return false;
        };
        if (_bucket_count > total || _spare > total - _bucket_count)
            return fail("counts exceed the entry array");
        if (_bucket_count == 0 && (_used != 0))
            return fail("entries without buckets");
        const u32 used_end = total - _spare; // overflow entries at or past this were never used
        for (u32 i = used_end; i < total; ++i)
            if (_entries[i].next != free_entry)
                return fail("a spare entry is in use");
        u32 live = 0;
        for (u32 i = 0; i < total; ++i)
            if (_entries[i].next <= chain_end)
                ++live;
        if (live != _used)
            return fail("used count differs from the live entries");
        u32 reached = 0;
        for (u32 b = 0; b < _bucket_count; ++b) {
            if (_entries[b].next == free_entry)
                continue;
            u32 i = b;
            for (u32 steps = 0;; ++steps) {
                if (steps > total)
                    return fail("a chain loops");
                const Entry &e = _entries[i];
                if (e.next > chain_end)
                    return fail("a chain reaches an entry that is not live");
                if (Hash::hash(e.key) % _bucket_count != b)
                    return fail("a key sits in the wrong bucket");
                for (u32 j = b; j != i; j = _entries[j].next)
                    if (Hash::equal(_entries[j].key, e.key))
                        return fail("a key appears twice");
                ++reached;
                if (e.next == chain_end)
                    break;
                if (e.next < _bucket_count || e.next >= used_end)
                    return fail("a chain links outside the overflow entries");
                i = e.next;
            }
        }
        if (reached != _used)
            return fail("some live entries are on no chain");
        u32 freed = 0;
        for (u32 link = _free_head; link != free_list_empty; link = _entries[link & ~free_list_bit].next) {
            if (!(link & free_list_bit))
                return fail("a free-list link lacks its flag");
            u32 i = link & ~free_list_bit;
            if (i < _bucket_count || i >= used_end)
                return fail("a bucket head or spare entry is on the free list");
            if (++freed > total)
                return fail("the free list loops");
        }
        // Every used overflow entry is either live or on the free list.
        u32 overflow_live = 0;
        for (u32 i = _bucket_count; i < used_end; ++i)
            if (_entries[i].next <= chain_end)
                ++overflow_live;
        if (overflow_live + freed != used_end - _bucket_count)
            return fail("an overflow entry is neither live nor free");
        return true;
    }

  private:
    void copy_from(const HashMap &other)
    {
        _entries = other._entries;
        if (_entries.size() != other._entries.size()) {
            log_message("hash_map", "out of memory copying %u entries", other._entries.size());
            _entries.set_capacity(0);
            forget_entries();
            return;
        }
        _used = other._used;
        _bucket_count = other._bucket_count;
        _spare = other._spare;
        _free_head = other._free_head;
    }

    // Counters of a map whose entry array was taken or dropped.
    void forget_entries()
    {
        _entries.set_capacity(0);
        _used = _bucket_count = _spare = 0;
        _free_head = free_list_empty;
    }

    // Guarantees a spare or freed overflow entry (and at least one bucket) for the next
    // insertion, rehashing when there is none.
    bool make_room()
    {
        if (_bucket_count != 0 && (_spare != 0 || _free_head != free_list_empty))
            return true;
        u64 n = growth_bucket_count();
        if (n >= chain_end || !rehash(u32(n))) {
            log_message("hash_map", "cannot grow past %u entries", _used);
            return false;
        }
        return _bucket_count != 0 && (_spare != 0 || _free_head != free_list_empty);
    }

    u64 growth_bucket_count() const
    {
        u64 n = u64(_used) * 2 + 1;
        return n < min_buckets ? min_buckets : n;
    }

    // Links a key known to be absent at the end of its chain; the caller made room.
    u32 place_new(K &&key)
    {
        u32 i = Hash::hash(key) % _bucket_count;
        if (_entries[i].next == free_entry) {
            _entries[i].key = std::move(key);
            _entries[i].next = chain_end;
            ++_used;
            return i;
        }
        while (_entries[i].next != chain_end)
            i = _entries[i].next;
        u32 fresh = new_entry();
        _entries[fresh].key = std::move(key);
        _entries[fresh].next = chain_end;
        _entries[i].next = fresh;
        return fresh;
    }

    template <typename Q> u32 find_or_make(const Q &key)
    {
        u32 i = Hash::hash(key) % _bucket_count;
        Entry &head = _entries[i];
        if (head.next == free_entry) {
            head.key = key;
            head.next = chain_end;
            ++_used;
            return i;
        }
        for (;;) {
            if (Hash::equal(_entries[i].key, key))
                return i;
            if (_entries[i].next == chain_end)
                break;
            i = _entries[i].next;
        }
        u32 fresh = new_entry();
        _entries[fresh].key = key;
        _entries[fresh].next = chain_end;
        _entries[i].next = fresh;
        return fresh;
    }

    u32 new_entry()
    {
        ++_used;
        if (_free_head == free_list_empty) {
            u32 i = _entries.size() - _spare;
            --_spare;
            return i;
        }
        u32 i = _free_head & ~free_list_bit;
        _free_head = _entries[i].next;
        return i;
    }

    // Clears an overflow entry's key and value and puts it on the free list.
    void release_entry(u32 i)
    {
        reset_entry(i);
        --_used;
        _entries[i].next = _free_head;
        _free_head = i | free_list_bit;
    }

    void reset_entry(u32 i)
    {
        Entry &e = _entries[i];
        if constexpr (std::is_trivially_copyable_v<Entry>) {
            e.key = K();
            e.value = V();
        } else {
            e.~Entry();
            new (&e) Entry(allocator());
        }
        e.next = free_entry;
    }

    Array<Entry> _entries;
    u32 _used = 0;                       // live entries
    u32 _bucket_count = 0;
    u32 _spare = 0;                      // overflow entries at the array's end never used yet
    u32 _free_head = free_list_empty;    // index | free_list_bit, or free_list_empty
};

} // namespace tallow

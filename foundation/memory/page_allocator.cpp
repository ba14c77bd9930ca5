#include "foundation/memory/page_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace tallow {

namespace {
u64 system_page_size()
{
    long size = sysconf(_SC_PAGESIZE);
    if (size <= 0 || !is_power_of_two(u64(size))) {
        log_message("memory", "system page size %ld is not a power of two", size);
        abort();
    }
    return u64(size);
}

void *map_pages(u64 size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// New mappings are placed top-down, so the space just below the last block is usually
// free: asking for it there gets an aligned block in one call. Otherwise map enough to
// find an aligned start and give the ragged ends back.
std::atomic<u64> next_hint{0};

u8 *map_aligned(u64 size, u64 alignment)
{
    u64 hint = next_hint.load(std::memory_order_relaxed);
    if (hint > size) {
        u64 want = (hint - size) & ~(alignment - 1);
        void *p = mmap(reinterpret_cast<void *>(want), size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            if (reinterpret_cast<u64>(p) == want) {
                next_hint.store(want, std::memory_order_relaxed);
                return static_cast<u8 *>(p);
            }
            munmap(p, size);
        }
    }
    u64 span = size + alignment;
    u8 *raw = static_cast<u8 *>(map_pages(span));
    if (!raw)
        return nullptr;
    u8 *base = align_up(raw, alignment);
    u64 head = u64(base - raw);
    u64 tail = span - head - size;
    if (head)
        munmap(raw, head);
    if (tail)
        munmap(base + size, tail);
    next_hint.store(reinterpret_cast<u64>(base), std::memory_order_relaxed);
    return base;
}

// A fresh block of up to this many bytes is backed by the kernel in one call: its owner
// writes it soon, and one call is much cheaper than a fault for every page (most of all
// in a virtual machine). Larger blocks (heap regions, big arrays) are faulted in as used.
constexpr u64 prefault_max_bytes = u64(1) << 20;

void prefault(u8 *base, u64 size)
{
#ifdef MADV_POPULATE_WRITE
    if (size <= prefault_max_bytes)
        (void)madvise(base, size, MADV_POPULATE_WRITE); // a kernel without it only loses the gain
#else
    (void)base;
    (void)size;
#endif
}

u64 slot_of(u64 address, u64 capacity)
{
    // Addresses are block aligned, so their low 16 bits carry nothing.
    return ((address >> 16) * 0x9E3779B97F4A7C15ull) >> 20 & (capacity - 1);
}

} // namespace

PageAllocator::PageAllocator(const char *name, bool locked)
    : Allocator(name), _page_size(system_page_size()), _locked(locked)
{
}

PageAllocator::~PageAllocator()
{
    if constexpr (!malloc_allocators) {
        for (u64 i = 0; i < _table_capacity; ++i)
            if (_table[i].address)
                munmap(reinterpret_cast<void *>(_table[i].address), _table[i].size);
        for (u32 i = 0; i < _cache_count; ++i)
            munmap(reinterpret_cast<void *>(_cache[i].address), _cache[i].size);
    }
    if (_table)
        munmap(_table, _table_mapped);
}

// A table of a block or more is mapped like a block, from the cache of released mappings
// when one fits, and the table it replaces goes to that cache: growing the table then
// unmaps nothing, and the next block of that size costs no system call either.
bool PageAllocator::table_grow()
{
    u64 capacity = _table_capacity ? _table_capacity * 2 : _page_size / sizeof(Entry);
    u64 bytes = align_up(capacity * sizeof(Entry), _page_size);
    u64 mapped = bytes;
    u8 *memory = nullptr;
    if (bytes >= block_alignment) {
        if (_cache_count && (memory = take_cached(bytes, block_alignment, mapped)))
            memset(memory, 0, bytes); // cached memory keeps what it held
        else
            memory = map_aligned(bytes, block_alignment);
    } else {
        memory = static_cast<u8 *>(map_pages(bytes));
    }
    if (!memory)
        return false;
    Entry *old = _table;
    u64 old_capacity = _table_capacity;
    u64 old_mapped = _table_mapped;
    _table = reinterpret_cast<Entry *>(memory);
    _table_capacity = capacity;
    _table_mapped = mapped;
    _table_count = 0;
    for (u64 i = 0; i < old_capacity; ++i)
        if (old[i].address)
            table_insert(old[i].address, old[i].size);
    if (!old)
        return true;
    bool block = old_mapped >= block_alignment && (reinterpret_cast<u64>(old) & (block_alignment - 1)) == 0;
    if (block && _cache_count < cache_max_mappings && _cache_bytes + old_mapped <= cache_max_bytes) {
        _cache[_cache_count++] = {reinterpret_cast<u64>(old), old_mapped};
        _cache_bytes += old_mapped;
    } else {
        munmap(old, old_mapped);
    }
    return true;
}

bool PageAllocator::table_insert(u64 address, u64 size)
{
    if ((_table_count + 1) * 2 > _table_capacity && !table_grow())
        return false;
    u64 i = slot_of(address, _table_capacity);
    while (_table[i].address)
        i = (i + 1) & (_table_capacity - 1);
    _table[i] = {address, size};
    ++_table_count;
    return true;
}

PageAllocator::Entry *PageAllocator::table_find(u64 address)
{
    if (!_table || !address)
        return nullptr;
    for (u64 i = slot_of(address, _table_capacity);; i = (i + 1) & (_table_capacity - 1)) {
        if (_table[i].address == address)
            return &_table[i];
        if (!_table[i].address)
            return nullptr;
    }
}

void PageAllocator::table_erase(Entry *entry)
{
    // Backward-shift deletion keeps every probe chain unbroken without tombstones.
    u64 mask = _table_capacity - 1;
    u64 hole = u64(entry - _table);
    for (u64 i = (hole + 1) & mask; _table[i].address; i = (i + 1) & mask) {
        u64 home = slot_of(_table[i].address, _table_capacity);
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            _table[hole] = _table[i];
            hole = i;
        }
    }
    _table[hole] = {0, 0};
    --_table_count;
}

// An exact fit, newest first (the most recently released is the likeliest to be still
// warm); otherwise the smallest larger mapping, whose tail the caller unmaps, unless it
// is over twice the size: unmapping most of a big mapping (a heap region, say) to serve
// a small request costs about what mapping afresh does, and loses the big one. Sets
// `mapped` to the chosen mapping's size.
u8 *PageAllocator::take_cached(u64 size, u64 alignment, u64 &mapped)
{
    u32 best = _cache_count;
    for (u32 i = _cache_count; i-- > 0;) {
        if (_cache[i].size < size || _cache[i].size / 2 > size || (_cache[i].address & (alignment - 1)))
            continue;
        if (best == _cache_count || _cache[i].size < _cache[best].size)
            best = i;
        if (_cache[i].size == size)
            break;
    }
    if (best == _cache_count)
        return nullptr;
    u8 *base = reinterpret_cast<u8 *>(_cache[best].address);
    mapped = _cache[best].size;
    _cache_bytes -= mapped;
    --_cache_count;
    for (u32 j = best; j < _cache_count; ++j)
        _cache[j] = _cache[j + 1];
    return base;
}

void *PageAllocator::allocate(u64 size, u32 align)
{
    if (size == 0 || !is_power_of_two(align))
        return nullptr;
    if constexpr (malloc_allocators) {
        void *p = malloc_aligned(size, align);
        if (p) {
            OptionalLock guard(_mutex, _locked);
            _total += malloc_size(p);
        }
        return p;
    }
    if (size > (u64(1) << 47))
        return nullptr;
    u64 rounded = align_up(size, _page_size);
    u64 alignment = align > block_alignment ? align : block_alignment;
    u8 *reused = nullptr;
    u64 mapped = 0;
    {
        OptionalLock guard(_mutex, _locked);
        if (_cache_count && (reused = take_cached(rounded, alignment, mapped))) {
            if (table_insert(reinterpret_cast<u64>(reused), rounded))
                _total += rounded;
            else
                rounded = 0; // unmap it all
        }
    }
    if (reused) {
        if (mapped > rounded)
            munmap(reused + rounded, mapped - rounded);
        return rounded ? reused : nullptr;
    }
    u8 *base = map_aligned(rounded, alignment);
    if (!base)
        return nullptr;
    prefault(base, rounded);
    OptionalLock guard(_mutex, _locked);
    if (!table_insert(reinterpret_cast<u64>(base), rounded)) {
        munmap(base, rounded);
        return nullptr;
    }
    _total += rounded;
    return base;
}

void PageAllocator::deallocate(void *p)
{
    if (!p)
        return;
    if constexpr (malloc_allocators) {
        {
            OptionalLock guard(_mutex, _locked);
            _total -= malloc_size(p);
        }
        malloc_free(p);
        return;
    }
    u64 size = 0;
    bool cached = false;
    Entry evicted[cache_max_mappings];
    u32 evicted_count = 0;
    {
        OptionalLock guard(_mutex, _locked);
        Entry *entry = table_find(reinterpret_cast<u64>(p));
        if (!entry) {
            log_message("memory", "%s: free of %p, which it never mapped", _name ? _name : "page allocator", p);
            return;
        }
        size = entry->size;
        table_erase(entry);
        _total -= size;
        if (size <= cache_max_bytes) {
            // Make room by dropping the oldest; an empty cache always has room.
            u32 drop = 0;
            while (_cache_count - drop == cache_max_mappings || _cache_bytes + size > cache_max_bytes) {
                _cache_bytes -= _cache[drop].size;
                evicted[evicted_count++] = _cache[drop++];
            }
            for (u32 j = drop; j < _cache_count; ++j)
                _cache[j - drop] = _cache[j];
            _cache_count -= drop;
            _cache[_cache_count++] = {reinterpret_cast<u64>(p), size};
            _cache_bytes += size;
            cached = true;
        }
    }
    // Unmapping takes the kernel's own lock: do it outside ours.
    for (u32 i = 0; i < evicted_count; ++i)
        munmap(reinterpret_cast<void *>(evicted[i].address), evicted[i].size);
    if (!cached)
        munmap(p, size);
}

u64 PageAllocator::allocated_size(const void *p)
{
    if constexpr (malloc_allocators)
        return malloc_size(p);
    OptionalLock guard(_mutex, _locked);
    Entry *entry = table_find(reinterpret_cast<u64>(p));
    return entry ? entry->size : 0;
}

u32 PageAllocator::cached_mapping_count()
{
    OptionalLock guard(_mutex, _locked);
    return _cache_count;
}

u64 PageAllocator::cached_bytes()
{
    OptionalLock guard(_mutex, _locked);
    return _cache_bytes;
}

u64 PageAllocator::total_allocated()
{
    OptionalLock guard(_mutex, _locked);
    return _total;
}

} // namespace tallow

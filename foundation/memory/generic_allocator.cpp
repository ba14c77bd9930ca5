#include "foundation/memory/generic_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/containers/array.h"
#include "foundation/memory/heap_allocator.h"
#include "foundation/memory/page_allocator.h"
#include "foundation/memory/slot_allocator.h"

#include <mutex>
#include <new>

namespace tallow {

// Lives in every thread's static TLS block (zero-initialised, nothing to construct), so the
// fast paths reach it without a guard. Only its thread touches the slot stacks; the counts
// are atomics only so that readers on other threads may sum them.
struct GenericAllocator::ThreadCache {
    // Blocks taken minus blocks freed on this thread, not yet folded into the trace.
    struct Counts {
        std::atomic<i64> count;
        std::atomic<i64> bytes;
    };
    GenericAllocator *owner; // the allocator this thread caches for; null when none
    ThreadCache *prev;       // the registry of attached caches
    ThreadCache *next;
    Counts counts[3]; // by Route
    u32 shard; // the shard this thread allocates from, while attached
    bool exit_armed;
    bool retired; // its thread is ending: later frees (other exit hooks) take the shared path
    u32 size[SlotAllocator::class_count];
    void *slots[SlotAllocator::class_count][cache_capacity];
    u64 page_bytes; // in the page blocks below
    u32 page_count[page_classes];
    void *page_blocks[page_classes][page_cache_capacity];
    u64 heap_bytes; // in the heap blocks below
    u32 heap_count[heap_classes];
    void *heap_blocks[heap_classes][heap_cache_capacity];
    u32 heap_sizes[heap_classes][heap_cache_capacity]; // each block's usable size
};

// Backing of heap shards 1 and up: the page allocator, with every chunk of a region
// tagged as the shard's while the shard holds it, so a free on any thread finds the shard
// without a lock.
class ShardBacking final : public Allocator {
  public:
    ShardBacking(PageAllocator &pages, PageOwnerMap &owners, PageOwnerMap::Tag tag)
        : _pages(pages), _owners(owners), _tag(tag)
    {
    }
    void *allocate(u64 size, u32 align) override // See Allocator
    {
        void *p = _pages.allocate(size, align);
        if (p && !_owners.set_range(p, size, _tag)) {
            _pages.deallocate(p);
            return nullptr;
        }
        return p;
    }
    void deallocate(void *p) override // See Allocator
    {
        if (!p)
            return;
        _owners.set_range(p, _pages.allocated_size(p), PageOwnerMap::none);
        _pages.deallocate(p);
    }
    u64 allocated_size(const void *p) override { return _pages.allocated_size(p); }           // See Allocator
    void backing_allocators(Array<Allocator *> &out_allocators) override { out_allocators.push_back(&_pages); }

  private:
    PageAllocator &_pages;
    PageOwnerMap &_owners;
    PageOwnerMap::Tag _tag;
};

// Shard 1 and up: a heap and a slot allocator, together in a block of the page allocator.
// Their blocks carry the shard's tags, so any thread's free finds them without a lock.
struct GenericAllocator::Shard {
    ShardBacking backing;
    HeapAllocator heap;
    SlotAllocator slots;
    Shard(PageAllocator &pages, PageOwnerMap &owners, u32 index)
        : backing(pages, owners, PageOwnerMap::heap_shard_tag(index)),
          heap(nullptr, backing, GenericAllocator::shard_first_region), slots(nullptr, pages)
    {
    }
    bool tag_slots(PageOwnerMap &owners, u32 index)
    {
        return slots.set_owner_map(&owners, PageOwnerMap::slot_shard_tag(index));
    }
};
static_assert(GenericAllocator::shards <= PageOwnerMap::max_shards, "every shard has its tags");

// Gives the thread's cache back when the thread ends.
struct ThreadCacheExit {
    bool armed = false;
    ~ThreadCacheExit();
};

namespace {
constexpr auto relaxed = std::memory_order_relaxed;

// Guards the registry, every cache's owner and links, and the folding of a cache's counts
// into its trace, so a reader summing the counts sees each slot exactly once.
std::mutex registry_lock;
GenericAllocator::ThreadCache *registry = nullptr;

thread_local GenericAllocator::ThreadCache t_cache;
thread_local ThreadCacheExit t_exit;

// Only the owning thread writes its counts: a load and a store, no bus lock.
inline void bump(std::atomic<i64> &counter, i64 delta) { counter.store(counter.load(relaxed) + delta, relaxed); }

inline void bump(GenericAllocator::ThreadCache::Counts &counts, i64 count, i64 bytes)
{
    bump(counts.count, count);
    bump(counts.bytes, bytes);
}

// A cached heap block that holds `size` bytes (at the heap's own alignment), or null.
inline void *take_cached_heap_block(GenericAllocator::ThreadCache &cache, u64 size)
{
    // Every block in class c holds at least c * 256 bytes.
    const u64 c = (size + 255) >> 8;
    if (c >= GenericAllocator::heap_classes || !cache.heap_count[c])
        return nullptr;
    const u32 i = --cache.heap_count[c];
    cache.heap_bytes -= cache.heap_sizes[c][i];
    bump(cache.counts[u32(GenericAllocator::Route::Heap)], 1, i64(cache.heap_sizes[c][i]));
    return cache.heap_blocks[c][i];
}
} // namespace

ThreadCacheExit::~ThreadCacheExit()
{
    std::lock_guard<std::mutex> guard(registry_lock);
    t_cache.retired = true;
    if (GenericAllocator *owner = t_cache.owner)
        owner->drain(t_cache);
}

GenericAllocator::GenericAllocator(const char *name, PageAllocator &pages, HeapAllocator &heap, SlotAllocator &slots,
                                   bool locked, bool thread_caches)
    : Allocator(name), _pages(&pages), _heap(&heap), _slots(&slots), _page_size(pages.page_size()), _locked(locked),
      _thread_caches(thread_caches && locked && !malloc_allocators), _page_trace("generic_page", pages),
      _heap_trace("generic_heap", heap), _slot_trace("generic_slot", slots)
{
    if (_thread_caches) {
        _slot_trace.set_pending_counts(collect_slot_counts, this);
        _heap_trace.set_pending_counts(collect_heap_counts, this);
        _page_trace.set_pending_counts(collect_page_counts, this);
        _slots_tagged = slots.set_owner_map(&_page_owners);
    }
}

GenericAllocator::~GenericAllocator()
{
    if (!_thread_caches)
        return;
    if (_slots_tagged)
        _slots->set_owner_map(nullptr);
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        for (ThreadCache *cache = registry; cache;) {
            ThreadCache *next = cache->next;
            if (cache->owner == this)
                drain(*cache);
            cache = next;
        }
    }
    _slot_trace.set_pending_counts(nullptr, nullptr);
    _heap_trace.set_pending_counts(nullptr, nullptr);
    _page_trace.set_pending_counts(nullptr, nullptr);
    for (u32 i = 1; i < shards; ++i)
        if (Shard *shard = _shards[i].load(std::memory_order_relaxed)) {
            shard->~Shard(); // its blocks and regions go back to the pages
            _pages->deallocate(shard);
        }
}

GenericAllocator::Route GenericAllocator::route_for(u64 size, u64 page_size)
{
    if (size < slot_limit)
        return Route::Slot;
    u64 waste = align_up(size, page_size) - size;
    return waste < size / 10 ? Route::Page : Route::Heap;
}

// Caller holds registry_lock.
bool GenericAllocator::attach(ThreadCache &cache)
{
    if (cache.owner || cache.retired)
        return false;
    cache.owner = this;
    cache.prev = nullptr;
    cache.next = registry;
    if (registry)
        registry->prev = &cache;
    registry = &cache;
    cache.shard = attach_shard();
    if (!cache.exit_armed) {
        t_exit.armed = true; // constructs the thread's exit hook
        cache.exit_armed = true;
    }
    return true;
}

// Caller holds registry_lock. The least shared shard (shard 0 on a tie), made now if it is
// new; shard 0 when a new one cannot be made. Only with tagged slots can an untagged chunk
// be trusted to be shard 0's heap.
u32 GenericAllocator::attach_shard()
{
    u32 best = 0;
    for (u32 i = 1; i < shards && _slots_tagged; ++i)
        if (_shard_users[i] < _shard_users[best])
            best = i;
    if (best && !_shards[best].load(std::memory_order_relaxed)) {
        void *storage = _pages->allocate(sizeof(Shard), alignof(Shard));
        Shard *shard = storage ? new (storage) Shard(*_pages, _page_owners, best) : nullptr;
        if (shard && shard->heap.region_count() && shard->tag_slots(_page_owners, best))
            _shards[best].store(shard, std::memory_order_release);
        else {
            if (shard) {
                shard->~Shard();
                _pages->deallocate(storage);
            }
            best = 0;
        }
    }
    ++_shard_users[best];
    return best;
}

HeapAllocator *GenericAllocator::shard_heap(u32 index)
{
    return index ? &_shards[index].load(std::memory_order_acquire)->heap : _heap;
}

SlotAllocator *GenericAllocator::shard_slots(u32 index)
{
    return index ? &_shards[index].load(std::memory_order_acquire)->slots : _slots;
}

u32 GenericAllocator::shard_count()
{
    u32 count = 1;
    for (u32 i = 1; i < shards; ++i)
        count += _shards[i].load(std::memory_order_acquire) != nullptr;
    return count;
}

// Slots of any shards, each to its own slot allocator, a batch per shard.
void GenericAllocator::give_back_slots(void *const *slots, u32 count)
{
    void *by_shard[shards][cache_capacity];
    u32 counts[shards] = {};
    while (count) {
        const u32 n = count < cache_capacity ? count : cache_capacity;
        for (u32 i = 0; i < n; ++i) {
            const u32 k = PageOwnerMap::tagged_shard(_page_owners.get(slots[i]));
            by_shard[k][counts[k]++] = slots[i];
        }
        for (u32 k = 0; k < shards; ++k)
            if (counts[k]) {
                shard_slots(k)->deallocate_batch(by_shard[k], counts[k]);
                counts[k] = 0;
            }
        slots += n;
        count -= n;
    }
}

// Caller holds registry_lock. Slots go back, counts fold into the trace, the cache detaches.
void GenericAllocator::drain(ThreadCache &cache)
{
    for (u32 c = 0; c < SlotAllocator::class_count; ++c) {
        give_back_slots(cache.slots[c], cache.size[c]);
        cache.size[c] = 0;
    }
    for (u32 c = 0; c < page_classes; ++c) {
        for (u32 i = 0; i < cache.page_count[c]; ++i)
            release_page_block(cache.page_blocks[c][i]);
        cache.page_count[c] = 0;
    }
    cache.page_bytes = 0;
    for (u32 c = 0; c < heap_classes; ++c) {
        for (u32 i = 0; i < cache.heap_count[c]; ++i)
            shard_heap(PageOwnerMap::tagged_shard(_page_owners.get(cache.heap_blocks[c][i])))
                ->deallocate(cache.heap_blocks[c][i]);
        cache.heap_count[c] = 0;
    }
    cache.heap_bytes = 0;
    TraceAllocator *traces[3] = {&_slot_trace, &_heap_trace, &_page_trace}; // by Route
    for (u32 r = 0; r < 3; ++r) {
        ThreadCache::Counts &counts = cache.counts[r];
        traces[r]->add_counts(counts.count.load(relaxed), counts.bytes.load(relaxed));
        counts.count.store(0, relaxed);
        counts.bytes.store(0, relaxed);
    }
    if (cache.prev)
        cache.prev->next = cache.next;
    else
        registry = cache.next;
    if (cache.next)
        cache.next->prev = cache.prev;
    cache.prev = cache.next = nullptr;
    cache.owner = nullptr;
    --_shard_users[cache.shard];
}

void GenericAllocator::collect_counts(GenericAllocator *self, Route route, i64 &count, i64 &bytes)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    for (ThreadCache *cache = registry; cache; cache = cache->next)
        if (cache->owner == self) {
            count += cache->counts[u32(route)].count.load(relaxed);
            bytes += cache->counts[u32(route)].bytes.load(relaxed);
        }
}

void GenericAllocator::collect_slot_counts(void *user, i64 &count, i64 &bytes)
{
    collect_counts(static_cast<GenericAllocator *>(user), Route::Slot, count, bytes);
}

void GenericAllocator::collect_heap_counts(void *user, i64 &count, i64 &bytes)
{
    collect_counts(static_cast<GenericAllocator *>(user), Route::Heap, count, bytes);
}

void GenericAllocator::collect_page_counts(void *user, i64 &count, i64 &bytes)
{
    collect_counts(static_cast<GenericAllocator *>(user), Route::Page, count, bytes);
}

void GenericAllocator::flush_thread_cache()
{
    if (!_thread_caches)
        return;
    std::lock_guard<std::mutex> guard(registry_lock);
    if (t_cache.owner == this)
        drain(t_cache);
}

void *GenericAllocator::refill(ThreadCache &cache, u32 class_index)
{
    u32 got = shard_slots(cache.shard)->allocate_batch(class_index, cache.slots[class_index], cache_batch);
    if (!got)
        return nullptr;
    cache.size[class_index] = got - 1;
    return cache.slots[class_index][got - 1];
}

// True when the calling thread's cache serves this allocator, attaching it if it is free.
bool GenericAllocator::uses_cache(ThreadCache &cache)
{
    if (cache.owner == this)
        return true;
    if (cache.owner || cache.retired)
        return false;
    std::lock_guard<std::mutex> guard(registry_lock);
    return attach(cache);
}

void *GenericAllocator::allocate_slot(u64 size, u32 align)
{
    ThreadCache &cache = t_cache;
    if (!uses_cache(cache))
        return _slot_trace.allocate(size, align);
    u32 c = SlotAllocator::class_for(size, align);
    if (c == SlotAllocator::class_count)
        return nullptr;
    void *p = cache.size[c] ? cache.slots[c][--cache.size[c]] : refill(cache, c);
    if (!p)
        return nullptr;
    bump(cache.counts[u32(Route::Slot)], 1, SlotAllocator::slot_sizes[c]);
    return p;
}

void GenericAllocator::deallocate_slot(const Owner &owner, void *p)
{
    ThreadCache &cache = t_cache;
    if (!uses_cache(cache)) {
        free_uncached(owner, p);
        return;
    }
    u32 c = SlotAllocator::class_of(p);
    if (cache.size[c] == cache_capacity) {
        // Give back the oldest half: the newest stay warm for the next allocations.
        give_back_slots(cache.slots[c], cache_batch);
        for (u32 i = cache_batch; i < cache_capacity; ++i)
            cache.slots[c][i - cache_batch] = cache.slots[c][i];
        cache.size[c] -= cache_batch;
    }
    cache.slots[c][cache.size[c]++] = p;
    bump(cache.counts[u32(Route::Slot)], -1, -i64(SlotAllocator::slot_sizes[c]));
}

// The cache class of a page block of `bytes` (a whole number of pages), or page_classes
// when blocks of that size are not cached.
u32 GenericAllocator::page_class(u64 bytes) const
{
    if (bytes > PageAllocator::block_alignment || bytes < _page_size)
        return page_classes;
    u64 pages = bytes / _page_size;
    return pages <= page_classes ? u32(pages - 1) : page_classes;
}

// The heap and page routes with per-thread counts: what the route's trace would do, minus
// its shared atomics. Page blocks of a cached page count come from the thread's cache
// first; every block is 64 KiB aligned, so any alignment up to that is met.
void *GenericAllocator::allocate_counted(Route route, u64 size, u32 align)
{
    TraceAllocator &trace = route == Route::Heap ? _heap_trace : _page_trace;
    ThreadCache &cache = t_cache;
    if (!uses_cache(cache))
        return trace.allocate(size, align);
    if (route == Route::Page && align <= PageAllocator::block_alignment) {
        const u64 rounded = align_up(size, _page_size);
        const u32 c = page_class(rounded);
        if (c < page_classes && cache.page_count[c]) {
            cache.page_bytes -= rounded;
            bump(cache.counts[u32(route)], 1, i64(rounded));
            return cache.page_blocks[c][--cache.page_count[c]];
        }
    }
    if (route == Route::Heap && align <= alignof(std::max_align_t))
        if (void *p = take_cached_heap_block(cache, size))
            return p;
    u64 bytes = 0;
    void *p = nullptr;
    if (route == Route::Heap)
        p = shard_heap(cache.shard)->allocate_sized(size, align, bytes); // one trip through its lock
    else if ((p = _pages->allocate(size, align)))
        bytes = _pages->allocated_size(p);
    if (p)
        bump(cache.counts[u32(route)], 1, i64(bytes));
    return p;
}

// Takes no lock for a block that stays in the thread's cache: a heap block's size is read
// from its chunk, a page block's comes from its tag when the tag carries it.
void GenericAllocator::deallocate_counted(const Owner &owner, void *p)
{
    const Route route = owner.route;
    HeapAllocator *heap = route == Route::Heap ? shard_heap(owner.shard) : nullptr;
    ThreadCache &cache = t_cache;
    if (!uses_cache(cache)) {
        free_uncached(owner, p);
        return;
    }
    if (route == Route::Heap) {
        const u64 usable = heap->allocated_size(p);
        bump(cache.counts[u32(route)], -1, -i64(usable));
        const u64 c = usable >> 8;
        if (c < heap_classes && cache.heap_count[c] < heap_cache_capacity &&
            cache.heap_bytes + usable <= heap_cache_bytes) {
            const u32 i = cache.heap_count[c]++;
            cache.heap_blocks[c][i] = p;
            cache.heap_sizes[c][i] = u32(usable);
            cache.heap_bytes += usable;
            return;
        }
        heap->deallocate(p);
        return;
    }
    const u64 bytes = owner.page_bytes ? owner.page_bytes : _pages->allocated_size(p);
    bump(cache.counts[u32(route)], -1, -i64(bytes));
    const u32 c = page_class(bytes);
    if (c < page_classes && cache.page_count[c] < page_cache_capacity && cache.page_bytes + bytes <= page_cache_bytes) {
        cache.page_blocks[c][cache.page_count[c]++] = p;
        cache.page_bytes += bytes;
        return;
    }
    release_page_block(p);
}

// A page block keeps its tag while it waits in a thread's cache (it is still this route's,
// and an allocation of the same page count sets the same tag again, without a write); the
// tag goes before the block goes back, as its addresses may then serve another allocator.
void GenericAllocator::release_page_block(void *p)
{
    _page_owners.set(p, PageOwnerMap::none);
    _pages->deallocate(p);
}

// The common cases, a small request or a heap-route one met from the thread's cache, take
// no call: everything else (size 0, a bad alignment, an empty cache class, page blocks, a
// thread that does not cache for us) goes to allocate_other.
void *GenericAllocator::allocate(u64 size, u32 align)
{
    if (_thread_caches) {
        ThreadCache &cache = t_cache;
        if (size - 1 < slot_limit - 1) {
            const u32 c = SlotAllocator::class_for(size, align);
            if (cache.owner == this && c < SlotAllocator::class_count && cache.size[c]) [[likely]] {
                bump(cache.counts[u32(Route::Slot)], 1, SlotAllocator::slot_sizes[c]);
                return cache.slots[c][--cache.size[c]];
            }
        } else if (cache.owner == this && align <= alignof(std::max_align_t) && size >= slot_limit &&
                   route_for(size, _page_size) == Route::Heap) {
            if (void *p = take_cached_heap_block(cache, size))
                return p;
        }
    }
    return allocate_other(size, align);
}

void *GenericAllocator::allocate_other(u64 size, u32 align)
{
    if (size == 0 || !is_power_of_two(align)) // size 0 gives null on every route
        return nullptr;
    if constexpr (malloc_allocators) {
        void *p = malloc_aligned(size, align);
        if (p)
            _malloc_total.fetch_add(malloc_size(p), std::memory_order_relaxed);
        return p;
    }
    void *p = nullptr;
    switch (route_for(size, _page_size)) {
    case Route::Slot:
        if ((p = _thread_caches ? allocate_slot(size, align) : _slot_trace.allocate(size, align)))
            break;
        [[fallthrough]]; // an alignment no slot class serves
    case Route::Heap:
        p = _thread_caches ? allocate_counted(Route::Heap, size, align) : _heap_trace.allocate(size, align);
        break;
    case Route::Page:
        if (!(p = _thread_caches ? allocate_counted(Route::Page, size, align) : _page_trace.allocate(size, align)))
            break;
        if (!_page_owners.set(p, PageOwnerMap::page_block_tag(align_up(size, _page_size) / _page_size))) {
            // Unrecorded, the address could not be routed back when freed.
            if (_thread_caches)
                deallocate_counted({Route::Page, 0, 0}, p);
            else
                _page_trace.deallocate(p);
            return nullptr;
        }
        break;
    }
    return p;
}

// A live address stays where it is, and the allocators hand out disjoint memory, so the
// answer holds without keeping any lock afterwards. A page block's tagged length is the
// page allocator's rounding of the request.
GenericAllocator::Owner GenericAllocator::owner_of(const void *p) { return owner_of(p, _page_owners.get(p)); }

// `tag` is the chunk map's tag for `p`.
GenericAllocator::Owner GenericAllocator::owner_of(const void *p, PageOwnerMap::Tag tag)
{
    // Page blocks are always block aligned; only their first chunk is tagged.
    if (PageOwnerMap::is_page_block(tag) && (reinterpret_cast<u64>(p) & (PageAllocator::block_alignment - 1)) == 0) {
        return {Route::Page, 0, PageOwnerMap::tagged_page_count(tag) * _page_size};
    }
    if (_slots_tagged)
        return {PageOwnerMap::is_slot_block(tag) ? Route::Slot : Route::Heap, PageOwnerMap::tagged_shard(tag), 0};
    return {_heap->owns(p) ? Route::Heap : Route::Slot, 0, 0};
}

// The common case, a slot going back to a thread cache with room, takes no call; a heap
// or page block freed on a thread that caches for us goes straight to its route.
void GenericAllocator::deallocate(void *p)
{
    if (_thread_caches) {
        const PageOwnerMap::Tag tag = _page_owners.get(p);
        ThreadCache &cache = t_cache;
        if (PageOwnerMap::is_slot_block(tag)) {
            const u32 c = SlotAllocator::class_of(p);
            if (cache.owner == this && cache.size[c] < cache_capacity) [[likely]] {
                cache.slots[c][cache.size[c]++] = p;
                bump(cache.counts[u32(Route::Slot)], -1, -i64(SlotAllocator::slot_sizes[c]));
                return;
            }
        } else if (p && cache.owner == this) {
            deallocate_counted(owner_of(p, tag), p);
            return;
        }
    }
    deallocate_other(p);
}

void GenericAllocator::deallocate_other(void *p)
{
    if (!p)
        return;
    if constexpr (malloc_allocators) {
        _malloc_total.fetch_sub(malloc_size(p), std::memory_order_relaxed);
        malloc_free(p);
        return;
    }
    const Owner owner = owner_of(p);
    if (!_thread_caches)
        free_uncached(owner, p);
    else if (owner.route == Route::Slot)
        deallocate_slot(owner, p);
    else
        deallocate_counted(owner, p);
}

// A free past the thread caches, counted by the route's trace. A trace's parent is shard
// 0's allocator, so a block of another shard is counted off the trace here and freed to
// its own shard.
void GenericAllocator::free_uncached(const Owner &owner, void *p)
{
    if (owner.route == Route::Page) {
        _page_owners.set(p, PageOwnerMap::none);
        _page_trace.deallocate(p);
        return;
    }
    TraceAllocator &trace = owner.route == Route::Heap ? _heap_trace : _slot_trace;
    if (owner.shard == 0) {
        trace.deallocate(p);
        return;
    }
    Allocator *shard = owner.route == Route::Heap ? static_cast<Allocator *>(shard_heap(owner.shard))
                                                  : static_cast<Allocator *>(shard_slots(owner.shard));
    trace.add_counts(-1, -i64(shard->allocated_size(p)));
    shard->deallocate(p);
}

u64 GenericAllocator::allocated_size(const void *p)
{
    if (!p)
        return 0;
    if constexpr (malloc_allocators)
        return malloc_size(p);
    const Owner owner = owner_of(p);
    switch (owner.route) {
    case Route::Heap:
        return shard_heap(owner.shard)->allocated_size(p);
    case Route::Page:
        return owner.page_bytes ? owner.page_bytes : _pages->allocated_size(p);
    case Route::Slot:
        break;
    }
    return shard_slots(owner.shard)->allocated_size(p);
}

// The three traces count exactly what each route holds, so their sum is the total, and
// no counter of our own is shared by every thread.
u64 GenericAllocator::total_allocated()
{
    if constexpr (malloc_allocators)
        return _malloc_total.load(std::memory_order_relaxed);
    return _slot_trace.total_allocated() + _heap_trace.total_allocated() + _page_trace.total_allocated();
}

void GenericAllocator::backing_allocators(Array<Allocator *> &out_allocators)
{
    out_allocators.push_back(&_slot_trace);
    out_allocators.push_back(&_heap_trace);
    out_allocators.push_back(&_page_trace);
}

} // namespace tallow

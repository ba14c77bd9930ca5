#include "foundation/memory/region_heap.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/log.h"

#include <cstdlib>
#include <new>

namespace tallow {

// A chunk is a 16-byte header and its payload. `head` holds the size (a multiple of 16)
// and three flags; `prev_size` is valid only while the chunk before is free (it is that
// chunk's footer). Free chunks keep their bin links in the payload, and no two free
// chunks are ever adjacent. A region ends in a sentinel header of size 0, in use, whose
// first link word points back at the region's Segment.
//
// `head` is only read and written through head() and set_head(), as relaxed atomics:
// usable_size reads the head of a chunk in use without the owner's lock, while a
// neighbour's free or allocation may rewrite that head's prev_in_use flag under it. The
// size bits of a chunk in use never change, so such a read always sees the right size.
struct RegionHeap::Chunk {
    u64 prev_size;
    u64 head_word;
    Chunk *next_free;
    Chunk *prev_free;
};

struct RegionHeap::Segment {
    Segment *next;
    Segment *prev;
    u8 *base;
    u64 size;
    Chunk *first;
    u64 flags;
};

namespace {
using Chunk = RegionHeap::Chunk;
using Segment = RegionHeap::Segment;

constexpr u64 in_use = 1;
constexpr u64 prev_in_use = 2;
constexpr u64 large = 4; // the chunk is a region of its own
constexpr u64 flag_mask = 15;

constexpr u64 segment_external = 1;
constexpr u64 segment_large = 2;

constexpr u64 header_size = 2 * sizeof(u64);
constexpr u64 min_chunk = sizeof(Chunk);
constexpr u64 sentinel_size = sizeof(Chunk);
constexpr u64 max_request = u64(1) << 46;
constexpr u64 large_rounding = 4096;

static_assert(header_size == 16 && min_chunk == 32, "chunk layout keeps payloads 16-byte aligned");

u64 head(const Chunk *c) { return __atomic_load_n(&c->head_word, __ATOMIC_RELAXED); }
void set_head(Chunk *c, u64 value) { __atomic_store_n(&c->head_word, value, __ATOMIC_RELAXED); }
u64 chunk_size(const Chunk *c) { return head(c) & ~flag_mask; }
Chunk *at(void *p, u64 offset) { return reinterpret_cast<Chunk *>(static_cast<u8 *>(p) + offset); }
Chunk *next_chunk(Chunk *c) { return at(c, chunk_size(c)); }
u8 *payload(Chunk *c) { return reinterpret_cast<u8 *>(c) + header_size; }
Chunk *chunk_of(const void *p) { return reinterpret_cast<Chunk *>(const_cast<u8 *>(static_cast<const u8 *>(p)) - header_size); }
constexpr u64 segment_header = (sizeof(Segment) + 15) & ~u64(15);

u32 bin_index(u64 size)
{
    if (size < 1024)
        return u32(size >> 4);
    u32 lg = 63 - u32(__builtin_clzll(size));
    u64 index = 64 + u64(lg - 10) * 4 + ((size >> (lg - 2)) & 3);
    return index < 256 ? u32(index) : 255;
}

[[noreturn]] void corrupted(const char *what, const void *p)
{
    log_message("memory", "region heap corrupted: %s at %p", what, p);
    abort();
}

// Lays out [start, end) of a region as one free chunk followed by the sentinel.
Chunk *format_segment(Segment *s, u8 *start, u8 *end)
{
    Chunk *first = reinterpret_cast<Chunk *>(start);
    Chunk *sentinel = reinterpret_cast<Chunk *>(end - sentinel_size);
    u64 size = u64(reinterpret_cast<u8 *>(sentinel) - start);
    set_head(first, size | prev_in_use);
    sentinel->prev_size = size;
    set_head(sentinel, in_use);
    sentinel->next_free = reinterpret_cast<Chunk *>(s);
    sentinel->prev_free = nullptr;
    s->first = first;
    return first;
}
} // namespace

RegionHeap *RegionHeap::create(void *base, u64 capacity, RegionGrowCallback grow, RegionReleaseCallback release,
                               void *user)
{
    if (!base || capacity < 513)
        return nullptr;
    u8 *start = static_cast<u8 *>(base);
    u8 *aligned = reinterpret_cast<u8 *>(align_up(reinterpret_cast<u64>(start), alignment));
    u64 lost = u64(aligned - start);
    if (capacity < lost)
        return nullptr;
    u64 usable = (capacity - lost) & ~(alignment - 1);
    u64 records = align_up(sizeof(RegionHeap), alignment) + segment_header;
    if (usable < records + min_chunk + sentinel_size)
        return nullptr;
    RegionHeap *heap = new (aligned) RegionHeap();
    heap->_magic = magic_value;
    heap->_grow = grow;
    heap->_release = release;
    heap->_user = user;
    heap->_grown_bytes = 0;
    for (u64 &word : heap->_bitmap)
        word = 0;
    for (Chunk *&bin : heap->_bins)
        bin = nullptr;
    Segment *s = reinterpret_cast<Segment *>(aligned + align_up(sizeof(RegionHeap), alignment));
    *s = {nullptr, nullptr, start, capacity, nullptr, segment_external};
    heap->_segments = s;
    heap->insert_free(format_segment(s, aligned + records, aligned + usable));
    return heap;
}

u64 RegionHeap::destroy()
{
    u64 failed = 0;
    Segment *s = _segments;
    while (s) {
        Segment *next = s->next;
        if (!(s->flags & segment_external) && _release(s->base, s->size, _user) != 0)
            failed += s->size;
        s = next;
    }
    _segments = nullptr;
    _grown_bytes = 0;
    _magic = 0;
    return failed;
}

void RegionHeap::insert_free(Chunk *c)
{
    u32 index = bin_index(chunk_size(c));
    Chunk *&bin = _bins[index];
    c->prev_free = nullptr;
    c->next_free = bin;
    if (bin)
        bin->prev_free = c;
    bin = c;
    _bitmap[index / 64] |= u64(1) << (index % 64);
}

void RegionHeap::remove_free(Chunk *c)
{
    u32 index = bin_index(chunk_size(c));
    if (c->prev_free)
        c->prev_free->next_free = c->next_free;
    else if (_bins[index] == c)
        _bins[index] = c->next_free;
    else
        corrupted("free chunk missing from its bin", c);
    if (c->next_free)
        c->next_free->prev_free = c->prev_free;
    if (!_bins[index])
        _bitmap[index / 64] &= ~(u64(1) << (index % 64));
}

Chunk *RegionHeap::find_free(u64 size)
{
    u32 index = bin_index(size);
    if (index >= 64) {
        // Sizes in a wide bin vary: the first that fits.
        for (Chunk *c = _bins[index]; c; c = c->next_free)
            if (chunk_size(c) >= size)
                return c;
        ++index;
    }
    // Every chunk in a bin at or above `index` is big enough now.
    for (u32 word = index / 64; word < bin_count / 64; ++word) {
        u64 bits = _bitmap[word];
        if (word == index / 64)
            bits &= ~u64(0) << (index % 64);
        if (bits)
            return _bins[word * 64 + u32(__builtin_ctzll(bits))];
    }
    return nullptr;
}

Chunk *RegionHeap::grow(u64 size)
{
    if (!_grow)
        return nullptr;
    u64 region = align_up(size + segment_header + sentinel_size, granularity);
    void *base = grow_region(region);
    if (!base)
        return nullptr;
    if (reinterpret_cast<u64>(base) & (alignment - 1)) {
        _release(base, region, _user);
        return nullptr;
    }
    Segment *s = static_cast<Segment *>(base);
    *s = {_segments, nullptr, static_cast<u8 *>(base), region, nullptr, 0};
    add_segment(s);
    Chunk *first = format_segment(s, static_cast<u8 *>(base) + segment_header, static_cast<u8 *>(base) + region);
    insert_free(first);
    return first;
}

// The grow callback's region, or null for either of its failure values.
void *RegionHeap::grow_region(u64 region_bytes)
{
    void *base = _grow(region_bytes, _user);
    return base == reinterpret_cast<void *>(~u64(0)) ? nullptr : base;
}

// Counterpart of release_segment for a region from grow_region.
void RegionHeap::add_segment(Segment *s)
{
    if (_segments)
        _segments->prev = s;
    _segments = s;
    _grown_bytes += s->size;
}

void RegionHeap::release_segment(Segment *s)
{
    if (s->prev)
        s->prev->next = s->next;
    else
        _segments = s->next;
    if (s->next)
        s->next->prev = s->prev;
    _grown_bytes -= s->size;
    _release(s->base, s->size, _user);
}

// Marks `c` (off the bins) in use at `size` bytes, returning any worthwhile tail to the bins.
Chunk *RegionHeap::split(Chunk *c, u64 size)
{
    u64 total = chunk_size(c);
    if (total - size >= min_chunk) {
        Chunk *rest = at(c, size);
        set_head(rest, (total - size) | prev_in_use);
        next_chunk(rest)->prev_size = total - size;
        set_head(c, size | (head(c) & prev_in_use) | in_use);
        insert_free(rest);
    } else {
        set_head(c, head(c) | in_use);
        set_head(next_chunk(c), head(next_chunk(c)) | prev_in_use);
    }
    return c;
}

void *RegionHeap::allocate_large(u64 align, u64 size)
{
    if (!_grow)
        return nullptr;
    u64 region = align_up(segment_header + header_size + (align > alignment ? align : 0) + size, large_rounding);
    void *base = grow_region(region);
    if (!base)
        return nullptr;
    u8 *start = static_cast<u8 *>(base);
    u8 *mem = reinterpret_cast<u8 *>(align_up(reinterpret_cast<u64>(start + segment_header + header_size), align));
    Chunk *c = chunk_of(mem);
    if (reinterpret_cast<u8 *>(c) + size > start + region) { // a misaligned base ate the slack
        _release(base, region, _user);
        return nullptr;
    }
    Segment *s = reinterpret_cast<Segment *>(start);
    *s = {_segments, nullptr, start, region, c, segment_large};
    add_segment(s);
    c->prev_size = u64(reinterpret_cast<u8 *>(c) - start); // finds the segment again on free
    set_head(c, ((u64(start + region - reinterpret_cast<u8 *>(c))) & ~flag_mask) | in_use | prev_in_use | large);
    return mem;
}

void *RegionHeap::allocate(u64 align, u64 size)
{
    if (align & (align - 1))
        return nullptr;
    if (align < alignment)
        align = alignment;
    if (size > max_request || align > max_request)
        return nullptr;
    u64 need = align_up(size + header_size, alignment);
    if (need < min_chunk)
        need = min_chunk;
    if (need >= large_threshold)
        return allocate_large(align, need);
    u64 want = align == alignment ? need : need + align + min_chunk;
    Chunk *c = find_free(want);
    if (!c && !(c = grow(want)))
        return nullptr;
    remove_free(c);
    if (align > alignment) {
        u8 *mem = payload(c);
        u8 *aligned = reinterpret_cast<u8 *>(align_up(reinterpret_cast<u64>(mem), align));
        if (aligned != mem) {
            u64 lead = u64(aligned - mem);
            if (lead < min_chunk)
                lead += align;
            // The lead becomes a free chunk of its own; its neighbour before is in use.
            u64 total = chunk_size(c);
            Chunk *d = at(c, lead);
            set_head(d, total - lead);
            d->prev_size = lead;
            set_head(c, lead | prev_in_use);
            next_chunk(d)->prev_size = total - lead;
            insert_free(c);
            c = d;
        }
    }
    return payload(split(c, need));
}

void RegionHeap::free(void *p)
{
    if (!p)
        return;
    Chunk *c = chunk_of(p);
    if (!(head(c) & in_use) || (reinterpret_cast<u64>(p) & (alignment - 1)))
        corrupted("free of a chunk not in use", p);
    if (head(c) & large) {
        Segment *s = reinterpret_cast<Segment *>(reinterpret_cast<u8 *>(c) - c->prev_size);
        if (s->first != c || !(s->flags & segment_large))
            corrupted("large chunk without its region", p);
        release_segment(s);
        return;
    }
    Chunk *n = next_chunk(c);
    if (!(head(n) & prev_in_use))
        corrupted("chunk after a freed one does not see it in use", p);
    u64 size = chunk_size(c);
    if (!(head(c) & prev_in_use)) {
        Chunk *before = at(c, 0 - c->prev_size);
        remove_free(before);
        size += chunk_size(before);
        c = before;
    }
    if (!(head(n) & in_use)) {
        remove_free(n);
        size += chunk_size(n);
    }
    set_head(c, size | prev_in_use);
    n = next_chunk(c);
    n->prev_size = size;
    set_head(n, head(n) & ~prev_in_use);
    if (chunk_size(n) == 0) {
        // The chunk runs to the sentinel; a grown region that is wholly free goes back.
        Segment *s = reinterpret_cast<Segment *>(n->next_free);
        if (s->first == c && !(s->flags & segment_external)) {
            release_segment(s);
            return;
        }
    }
    insert_free(c);
}

u64 RegionHeap::usable_size(const void *p)
{
    if (!p)
        return 0;
    const Chunk *c = chunk_of(p);
    if (!(head(c) & in_use))
        return 0;
    return chunk_size(c) - header_size;
}

bool RegionHeap::validate() const
{
    if (_magic != magic_value) {
        log_message("memory", "region heap: bad magic");
        return false;
    }
    u64 free_in_regions = 0;
    for (Segment *s = _segments; s; s = s->next) {
        if (s->flags & segment_large) {
            if (!(head(s->first) & large) || !(head(s->first) & in_use)) {
                log_message("memory", "region heap: large region %p lost its chunk", static_cast<void *>(s));
                return false;
            }
            continue;
        }
        u8 *end = s->base + s->size;
        bool previous_free = false;
        for (Chunk *c = s->first;; c = next_chunk(c)) {
            u8 *at_c = reinterpret_cast<u8 *>(c);
            if (at_c < s->base || at_c + header_size > end) {
                log_message("memory", "region heap: chunk %p outside its region", static_cast<void *>(c));
                return false;
            }
            u64 size = chunk_size(c);
            bool is_free = !(head(c) & in_use);
            if (bool(head(c) & prev_in_use) == previous_free) {
                log_message("memory", "region heap: chunk %p has a wrong previous-in-use flag", static_cast<void *>(c));
                return false;
            }
            if (size == 0) {
                if (reinterpret_cast<Segment *>(c->next_free) != s) {
                    log_message("memory", "region heap: sentinel %p names the wrong region", static_cast<void *>(c));
                    return false;
                }
                break;
            }
            if (size < min_chunk || at_c + size > end) {
                log_message("memory", "region heap: chunk %p has a bad size %llu", static_cast<void *>(c),
                            (unsigned long long)size);
                return false;
            }
            if (is_free) {
                if (previous_free || next_chunk(c)->prev_size != size) {
                    log_message("memory", "region heap: free chunk %p badly joined", static_cast<void *>(c));
                    return false;
                }
                ++free_in_regions;
            }
            previous_free = is_free;
        }
    }
    u64 free_in_bins = 0;
    for (u32 i = 0; i < bin_count; ++i) {
        if (bool(_bitmap[i / 64] & (u64(1) << (i % 64))) != (_bins[i] != nullptr)) {
            log_message("memory", "region heap: bin %u and its bitmap bit disagree", i);
            return false;
        }
        for (Chunk *c = _bins[i]; c; c = c->next_free) {
            if ((head(c) & in_use) || bin_index(chunk_size(c)) != i) {
                log_message("memory", "region heap: chunk %p filed in the wrong bin", static_cast<void *>(c));
                return false;
            }
            ++free_in_bins;
        }
    }
    if (free_in_bins != free_in_regions) {
        log_message("memory", "region heap: %llu free chunks in bins, %llu in regions",
                    (unsigned long long)free_in_bins, (unsigned long long)free_in_regions);
        return false;
    }
    return true;
}

} // namespace tallow

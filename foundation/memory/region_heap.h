#pragma once
// A general-purpose heap built inside a caller-given first region, growing and shrinking
// only through two callbacks: the engine's HeapAllocator supplies them and keeps the
// regions they hand out.
//
//   RegionHeap *heap = RegionHeap::create(buffer, sizeof buffer, grow, release, owner);
//   void *p = heap->allocate(16, 100);
//   heap->free(p);
//   heap->destroy();   // hands every grown region back through `release`
//
// Boundary-tagged chunks with segregated free bins. More space comes in multiples of
// 2 MiB; a request of 256 KiB or more gets a region of its own, released when freed; a
// grown region that becomes entirely free is released at once. Not thread-safe: the
// owner serialises every call. Corrupted chunk headers (double free, overruns) abort.

#include "foundation/types.h"

namespace tallow {

/// Returns the base of `size` fresh bytes (16-byte aligned), or null when there are none.
using RegionGrowCallback = void *(*)(u64 size, void *user);
/// Takes back a region from the grow callback; returns 0 on success.
using RegionReleaseCallback = int (*)(void *base, u64 size, void *user);

class RegionHeap {
  public:
    static constexpr u64 granularity = 0x200000;        // unit of every grow request
    static constexpr u64 large_threshold = 0x40000;     // requests this big get a region
    static constexpr u64 alignment = 16;                // of every result
    static constexpr u32 magic_value = 0x58585858u;

    /// Builds a heap inside [base, base + capacity); the first region is never released.
    /// Null when the region is too small for the heap's own records or misaligned.
    static RegionHeap *create(void *base, u64 capacity, RegionGrowCallback grow, RegionReleaseCallback release,
                              void *user);
    /// Releases every grown region through the release callback; returns the bytes whose
    /// release failed. The heap may not be used afterwards.
    u64 destroy();

    /// `size` bytes aligned to `align` (a power of two); null when no memory can be had.
    void *allocate(u64 align, u64 size);
    /// Null is ignored.
    void free(void *p);
    /// Bytes usable at `p` (at least what was asked); 0 for null or a chunk not in use.
    /// Needs no lock for a `p` the caller holds, even while the heap serves other threads.
    static u64 usable_size(const void *p);

    /// Bytes in regions obtained through the grow callback and not yet released.
    u64 grown_bytes() const { return _grown_bytes; }
    /// Checks every chunk of every region; false (with a log line) on the first fault.
    bool validate() const;

    struct Chunk;
    struct Segment;

  private:
    RegionHeap() = default;
    Chunk *find_free(u64 chunk_size);
    Chunk *grow(u64 chunk_size);
    void *allocate_large(u64 align, u64 chunk_size);
    void insert_free(Chunk *c);
    void remove_free(Chunk *c);
    Chunk *split(Chunk *c, u64 chunk_size);
    void *grow_region(u64 region_bytes);
    void add_segment(Segment *s);
    void release_segment(Segment *s);

    static constexpr u32 bin_count = 256;
    u32 _magic;
    RegionGrowCallback _grow;
    RegionReleaseCallback _release;
    void *_user;
    Segment *_segments;
    u64 _grown_bytes;
    u64 _bitmap[bin_count / 64];
    Chunk *_bins[bin_count];
};

} // namespace tallow

#pragma once
// Which allocator owns a 64 KiB chunk of the address space, readable without a lock.
//
//   PageOwnerMap owners;
//   owners.set(block, PageOwnerMap::pages);    // false when a leaf cannot be mapped
//   if (owners.get(p) == PageOwnerMap::pages) ...
//   owners.set(block, PageOwnerMap::none);     // before the block goes back
//
// The default allocator tags the first chunk of each page block and every chunk of the
// slot allocator's blocks, so a free finds its route with one look-up.
//
// Two levels over 48-bit addresses: a root of 65536 leaf pointers (mapped once, touched
// only where leaves exist) and leaves of one tag byte per 64 KiB chunk, mapped on first
// use and kept until the map is destroyed. A reader needs no lock because a tag only
// changes while its chunk is handed over between allocators, which the caller orders
// (the tag is set before the address is handed out and cleared before it is freed).
// Safe from any thread.

#include "foundation/types.h"

#include <atomic>

namespace tallow {

class PageOwnerMap {
  public:
    enum Tag : u8 { none = 0, pages = 1, slots = 2 };
    static constexpr u32 chunk_shift = 16; // 64 KiB chunks

    PageOwnerMap();
    /// Unmaps the root and every leaf.
    ~PageOwnerMap();
    PageOwnerMap(const PageOwnerMap &) = delete;
    PageOwnerMap &operator=(const PageOwnerMap &) = delete;

    /// Tags the chunk holding `address`. False (nothing tagged) when the address lies above
    /// 48 bits or the leaf cannot be mapped; setting `none` never fails.
    bool set(const void *address, Tag tag);
    /// The chunk's tag; `none` for chunks never tagged.
    Tag get(const void *address) const
    {
        u64 chunk = reinterpret_cast<u64>(address) >> chunk_shift;
        if (chunk >> (2 * leaf_bits) || !_root)
            return none;
        std::atomic<u8> *leaf = _root[chunk >> leaf_bits].load(std::memory_order_acquire);
        return leaf ? Tag(leaf[chunk & (leaf_size - 1)].load(std::memory_order_relaxed)) : none;
    }

  private:
    static constexpr u32 leaf_bits = 16;
    static constexpr u64 leaf_size = u64(1) << leaf_bits;

    std::atomic<std::atomic<u8> *> *_root; // leaf_size entries; null when it could not be mapped
};

} // namespace tallow

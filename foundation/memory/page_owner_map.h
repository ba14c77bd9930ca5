#pragma once
// Which allocator owns a 64 KiB chunk of the address space, readable without a lock.
//
//   PageOwnerMap owners;
//   owners.set(block, PageOwnerMap::pages);    // false when a leaf cannot be mapped
//   if (owners.get(p) == PageOwnerMap::pages) ...
//   owners.set(block, PageOwnerMap::none);     // before the block goes back
//
// The default allocator tags the first chunk of each page block (with its length, when
// short) and every chunk of the slot allocator's blocks, so a free finds its route, and a
// page block its size, with one look-up.
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
    /// The owner may split its slot and heap routes into up to max_shards shards. Slot
    /// shard k tags every chunk of its blocks with slots + k (shard 0 is plain `slots`);
    /// heap shard k >= 1 tags every chunk of its regions with first_heap_shard + k - 1
    /// (heap shard 0 leaves its chunks untagged). From first_sized_pages on, a tag marks
    /// a page block's first chunk and carries the block's length: first_sized_pages +
    /// pages - 1, for blocks of up to max_sized_pages pages (longer ones are `pages`).
    static constexpr u32 max_shards = 8;
    enum Tag : u8 {
        none = 0,
        pages = 1,
        slots = 2,
        first_heap_shard = slots + max_shards,
        first_sized_pages = first_heap_shard + max_shards - 1
    };
    static constexpr u32 chunk_shift = 16; // 64 KiB chunks
    static constexpr u64 max_sized_pages = 256 - first_sized_pages;

    /// The tag of slot shard `shard` (0 to max_shards - 1).
    static Tag slot_shard_tag(u32 shard) { return Tag(slots + shard); }
    static bool is_slot_block(Tag tag) { return u8(tag - slots) < max_shards; }
    /// The tag of heap shard `shard` (1 to max_shards - 1).
    static Tag heap_shard_tag(u32 shard) { return Tag(first_heap_shard + shard - 1); }
    /// The shard a slot or heap tag names; 0 for an untagged chunk or a page block.
    static u32 tagged_shard(Tag tag)
    {
        if (is_slot_block(tag))
            return u32(tag - slots);
        return tag >= first_heap_shard && tag < first_sized_pages ? u32(tag - first_heap_shard) + 1 : 0;
    }

    /// The tag of a page block `page_count` pages long (at least 1).
    static Tag page_block_tag(u64 page_count)
    {
        return page_count <= max_sized_pages ? Tag(first_sized_pages + page_count - 1) : pages;
    }
    static bool is_page_block(Tag tag) { return tag == pages || tag >= first_sized_pages; }
    /// The length in pages a page block's tag carries; 0 when it carries none.
    static u64 tagged_page_count(Tag tag) { return tag >= first_sized_pages ? u64(tag - first_sized_pages) + 1 : 0; }

    PageOwnerMap();
    /// Unmaps the root and every leaf.
    ~PageOwnerMap();
    PageOwnerMap(const PageOwnerMap &) = delete;
    PageOwnerMap &operator=(const PageOwnerMap &) = delete;

    /// Tags the chunk holding `address`. False (nothing tagged) when the address lies above
    /// 48 bits or the leaf cannot be mapped; setting `none` never fails.
    bool set(const void *address, Tag tag);
    /// Tags every chunk that [address, address + bytes) touches; on failure none of them
    /// keeps the new tag (they are left untagged) and it returns false.
    bool set_range(const void *address, u64 bytes, Tag tag);
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

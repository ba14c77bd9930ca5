#pragma once
// Small requests (4 to 1024 bytes) from per-size-class free lists, in constant time.
//
//   SlotAllocator slots("slot_allocator", page_allocator());
//   void *p = slots.allocate(24, 8);   // a slot of the 24-byte class
//
// Blocks taken from the backing (64 KiB, aligned to their size) are cut into 16 KiB
// pages; each page serves one size class and ends in its header, which a free finds by
// address arithmetic. An empty page goes back to a free-page list; a block whose pages
// are all free goes back to the backing. Thread-safe when locked (the default).

#include "foundation/memory/allocator.h"
#include "foundation/threads/spin_mutex.h"
#include "foundation/memory/page_owner_map.h"


namespace tallow {


class SlotAllocator final : public Allocator {
  public:
    static constexpr u32 class_count = 33;
    static constexpr u64 page_size = 16384;
    static constexpr u32 max_slot_size = 1024;
    /// The slot sizes, ascending.
    static constexpr u32 slot_sizes[class_count] = {4,   8,   12,  16,  20,  24,  28,  32,  36,  40,  48,
                                                    56,  64,  72,  80,  96,  112, 128, 144, 160, 192, 224,
                                                    256, 288, 320, 384, 448, 512, 576, 640, 768, 896, 1024};

    /// The backing must return blocks aligned to the block size (the page allocator does)
    /// and outlive this allocator.
    SlotAllocator(const char *name, Allocator &backing, bool locked = true);
    /// Returns every block to the backing.
    ~SlotAllocator() override;

    /// The first class whose slot size is >= size and a multiple of `align`; null when
    /// there is none (size 0 or above 1024, or an alignment no class size is a multiple of).
    void *allocate(u64 size, u32 align = alignof(std::max_align_t)) override; // See Allocator
    void deallocate(void *p) override;                                      // See Allocator
    u64 allocated_size(const void *p) override;                             // the slot size
    u64 total_allocated() override;                                         // blocks x block size
    void backing_allocators(Array<Allocator *> &out_allocators) override;  // the backing

    /// The slot size a (size, align) request is served with; 0 when no class fits.
    static u32 slot_size_for(u64 size, u32 align);
    /// Slots in one page of a class (the page header takes the end of the page).
    static u32 slots_per_page(u32 slot_size);
    /// Index into slot_sizes of the class a (size, align) request is served from;
    /// class_count when no class fits. Inline: the default allocator's caches call it on
    /// every small request.
    static u32 class_for(u64 size, u32 align)
    {
        if (size > max_slot_size || !align || (align & (align - 1)) || align > max_slot_size)
            return class_count;
        return class_table.index[__builtin_ctz(align)][(size + 3) / 4];
    }

    /// Up to `count` slots of class `class_index` under one lock, into `out_slots`;
    /// returns how many it got (fewer only when the backing fails). For caches in front.
    u32 allocate_batch(u32 class_index, void **out_slots, u32 count);
    /// Returns `count` slots (any classes) under one lock.
    void deallocate_batch(void *const *slots, u32 count);
    /// The class of a live slot of any slot allocator, read from its page without a lock.
    static u32 class_of(const void *p)
    {
        // The page header ends the page and names the page's class.
        const u64 header = (reinterpret_cast<u64>(p) & ~(page_size - 1)) + page_size - page_header_size;
        return *reinterpret_cast<const u16 *>(header + page_class_offset);
    }
    /// Tags every chunk of every block, held now or taken later, with `tag` (another slot
    /// shard tag when the owner shards its slots) in `map`
    /// (null stops it); the tag is cleared before a block goes back. False, with nothing
    /// tagged, when a tag cannot be set.
    bool set_owner_map(PageOwnerMap *map, PageOwnerMap::Tag tag = PageOwnerMap::slots);

    u64 block_size() const { return _block_size; }
    u32 block_count();
    u32 free_page_count();
    /// Live slots of all classes.
    u64 live_slot_count();

    struct PageHeader; // the header at the end of every page; see the .cpp
    static constexpr u64 page_header_size = 80;
    static constexpr u64 page_class_offset = 10;

    static constexpr u32 align_shifts = 11;                 // alignments 1 to 1024
    static constexpr u32 size_steps = max_slot_size / 4 + 1; // sizes 0 to 1024 in steps of 4
    /// The class of every (alignment, size rounded up to 4); class_count where none fits.
    struct ClassTable {
        u8 index[align_shifts][size_steps];
    };
    static const ClassTable class_table;

  private:
    struct SizeClass {
        u32 slot_size;
        u64 live;               // slots handed out
        u64 capacity;           // slots in the class's pages
        PageHeader *pages;      // every page of the class
        PageHeader *available;  // pages with a free slot
    };

    PageHeader *take_page(SizeClass &size_class);
    void *take_slot(SizeClass &size_class);
    void give_slot(void *p);
    void release_page(PageHeader *page);
    bool add_block();
    PageHeader *block_header(const void *p) const;
    bool tag_block(const u8 *block, bool owned);

    Allocator *_backing;
    u64 _block_size = 0x10000; // a power of two, >= 64 KiB
    SizeClass _classes[class_count];
    u32 _block_count = 0;
    PageHeader *_free_pages = nullptr;
    PageHeader *_blocks = nullptr; // last-page headers of every block
    u64 _malloc_total = 0;         // with malloc-routed allocators only
    PageOwnerMap *_owner_map = nullptr;
    PageOwnerMap::Tag _owner_tag = PageOwnerMap::slots;
    bool _locked;
    SpinMutex _mutex;
};

} // namespace tallow

#include "foundation/memory/slot_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "foundation/memory/page_owner_map.h"

#include <cstddef>

namespace tallow {

// Lives in the last bytes of every page. Free-slot links are u32 offsets within the page,
// so even the 4-byte class can hold one.
struct SlotAllocator::PageHeader {
    SizeClass *owner;
    u16 slot_size;
    u16 class_index;        // of owner in its allocator's classes, for class_of
    u32 slot_count;
    u32 free_count;
    u32 free_head;          // offset of the first free slot, or no_slot
    u32 bump;               // offset of the first never-used slot
    u32 block_pages_in_use; // kept in the block's last page only
    PageHeader *prev;       // class page list, or the free-page list while the page is free
    PageHeader *next;
    PageHeader *available_prev; // the class's pages with a free slot
    PageHeader *available_next;
    PageHeader *block_prev; // list of blocks, kept in the block's last page only
    PageHeader *block_next;
};

namespace {
constexpr u32 no_slot = 0xFFFFFFFFu;

template <typename H> u8 *page_base(const H *header)
{
    return reinterpret_cast<u8 *>(reinterpret_cast<u64>(header) & ~(SlotAllocator::page_size - 1));
}

// Intrusive doubly linked lists over a pair of link members.
template <typename H, H *H::*Prev, H *H::*Next> struct List {
    static void push(H *&head, H *item)
    {
        item->*Prev = nullptr;
        item->*Next = head;
        if (head)
            head->*Prev = item;
        head = item;
    }
    static void unlink(H *&head, H *item)
    {
        if (item->*Prev)
            (item->*Prev)->*Next = item->*Next;
        else
            head = item->*Next;
        if (item->*Next)
            (item->*Next)->*Prev = item->*Prev;
        item->*Prev = item->*Next = nullptr;
    }
};
} // namespace

using Header = SlotAllocator::PageHeader;
using PageList = List<Header, &Header::prev, &Header::next>;
using AvailableList = List<Header, &Header::available_prev, &Header::available_next>;
using BlockList = List<Header, &Header::block_prev, &Header::block_next>;

static Header *header_of(const void *p)
{
    u64 base = reinterpret_cast<u64>(p) & ~(SlotAllocator::page_size - 1);
    return reinterpret_cast<Header *>(base + SlotAllocator::page_size - sizeof(Header));
}

static_assert(offsetof(Header, class_index) == SlotAllocator::page_class_offset &&
                  sizeof(Header) == SlotAllocator::page_header_size,
              "class_of reads the class from its place in the header");

namespace {
constexpr u32 no_class = SlotAllocator::class_count;
constexpr u32 align_shifts = SlotAllocator::align_shifts;
constexpr u32 size_steps = SlotAllocator::size_steps;

// Choosing a class is one lookup rather than a walk with a division per class.
constexpr SlotAllocator::ClassTable make_class_table()
{
    SlotAllocator::ClassTable table{};
    for (u32 shift = 0; shift < align_shifts; ++shift)
        for (u32 step = 0; step < size_steps; ++step) {
            table.index[shift][step] = u8(no_class);
            for (u32 c = 0; c < SlotAllocator::class_count; ++c) {
                u32 s = SlotAllocator::slot_sizes[c];
                if (s >= step * 4 && s % (1u << shift) == 0) {
                    table.index[shift][step] = u8(c);
                    break;
                }
            }
        }
    return table;
}

} // namespace

constinit const SlotAllocator::ClassTable SlotAllocator::class_table = make_class_table();

u32 SlotAllocator::slot_size_for(u64 size, u32 align)
{
    u32 c = class_for(size, align);
    return c == no_class ? 0 : slot_sizes[c];
}

u32 SlotAllocator::slots_per_page(u32 slot_size) { return u32((page_size - sizeof(PageHeader)) / slot_size); }

SlotAllocator::SlotAllocator(const char *name, Allocator &backing, bool locked)
    : Allocator(name), _backing(&backing), _locked(locked)
{
    for (u32 i = 0; i < class_count; ++i)
        _classes[i] = {slot_sizes[i], 0, 0, nullptr, nullptr};
    if constexpr (malloc_allocators)
        return;
    // A backing that rounds blocks up gets blocks of its real size, so none of it is lost.
    void *probe = backing.allocate(_block_size, u32(_block_size));
    if (probe) {
        u64 real = backing.allocated_size(probe);
        while (_block_size < real)
            _block_size *= 2;
        backing.deallocate(probe);
    }
}

SlotAllocator::~SlotAllocator()
{
    while (_blocks) {
        Header *last = _blocks;
        BlockList::unlink(_blocks, last);
        tag_block(page_base(last) + page_size - _block_size, false);
        _backing->deallocate(page_base(last) + page_size - _block_size);
    }
}

// Caller holds the lock. Untagging never fails.
bool SlotAllocator::tag_block(const u8 *block, bool owned)
{
    return !_owner_map || _owner_map->set_range(block, _block_size, owned ? _owner_tag : PageOwnerMap::none);
}

bool SlotAllocator::set_owner_map(PageOwnerMap *map, PageOwnerMap::Tag tag)
{
    OptionalLock guard(_mutex, _locked);
    for (Header *last = _blocks; last && _owner_map; last = last->block_next)
        tag_block(page_base(last) + page_size - _block_size, false);
    _owner_map = map;
    _owner_tag = tag;
    for (Header *last = _blocks; last; last = last->block_next)
        if (!tag_block(page_base(last) + page_size - _block_size, true)) {
            for (Header *undo = _blocks; undo != last; undo = undo->block_next)
                tag_block(page_base(undo) + page_size - _block_size, false);
            _owner_map = nullptr;
            return false;
        }
    return true;
}

Header *SlotAllocator::block_header(const void *p) const
{
    u64 block = reinterpret_cast<u64>(p) & ~(_block_size - 1);
    return header_of(reinterpret_cast<void *>(block + _block_size - 1));
}

bool SlotAllocator::add_block()
{
    u8 *block = static_cast<u8 *>(_backing->allocate(_block_size, u32(_block_size)));
    if (!block)
        return false;
    if (reinterpret_cast<u64>(block) & (_block_size - 1)) {
        log_message("memory", "%s: backing gave a block not aligned to %llu bytes", _name ? _name : "slot allocator",
                    (unsigned long long)_block_size);
        _backing->deallocate(block);
        return false;
    }
    if (!tag_block(block, true)) {
        log_message("memory", "%s: no memory to record a block's owner", _name ? _name : "slot allocator");
        _backing->deallocate(block);
        return false;
    }
    ++_block_count;
    Header *last = block_header(block);
    last->block_pages_in_use = 0;
    BlockList::push(_blocks, last);
    // The backing may hand back memory it had before, so nothing in it is taken as zero.
    for (u64 offset = 0; offset < _block_size; offset += page_size) {
        Header *page = header_of(block + offset);
        page->owner = nullptr;
        PageList::push(_free_pages, page);
    }
    return true;
}

Header *SlotAllocator::take_page(SizeClass &size_class)
{
    if (!_free_pages && !add_block())
        return nullptr;
    Header *page = _free_pages;
    PageList::unlink(_free_pages, page);
    page->owner = &size_class;
    page->slot_size = u16(size_class.slot_size);
    page->class_index = u16(&size_class - _classes);
    page->slot_count = slots_per_page(size_class.slot_size);
    page->free_count = page->slot_count;
    page->free_head = no_slot;
    page->bump = 0;
    PageList::push(size_class.pages, page);
    AvailableList::push(size_class.available, page);
    size_class.capacity += page->slot_count;
    ++block_header(page)->block_pages_in_use;
    return page;
}


// Caller holds the lock.
void *SlotAllocator::take_slot(SizeClass &size_class)
{
    Header *page = size_class.available;
    if (!page && !(page = take_page(size_class)))
        return nullptr;
    ++size_class.live;
    if (--page->free_count == 0)
        AvailableList::unlink(size_class.available, page);
    u8 *base = page_base(page);
    if (page->free_head != no_slot) {
        u8 *slot = base + page->free_head;
        page->free_head = *reinterpret_cast<u32 *>(slot);
        return slot;
    }
    u8 *slot = base + page->bump;
    page->bump += page->slot_size;
    return slot;
}

void *SlotAllocator::allocate(u64 size, u32 align)
{
    u32 c = class_for(size, align);
    if (c == no_class || size == 0)
        return nullptr;
    if constexpr (malloc_allocators) {
        return malloc_counted(slot_sizes[c], align, _mutex, _locked, _malloc_total);
    }
    OptionalLock guard(_mutex, _locked);
    return take_slot(_classes[c]);
}

u32 SlotAllocator::allocate_batch(u32 class_index, void **out_slots, u32 count)
{
    if (class_index >= class_count)
        return 0;
    if constexpr (malloc_allocators) {
        u32 got = 0;
        while (got < count && (out_slots[got] = allocate(slot_sizes[class_index], 4)))
            ++got;
        return got;
    }
    OptionalLock guard(_mutex, _locked);
    u32 got = 0;
    while (got < count && (out_slots[got] = take_slot(_classes[class_index])))
        ++got;
    return got;
}

void SlotAllocator::release_page(Header *page)
{
    SizeClass &size_class = *page->owner;
    size_class.capacity -= page->slot_count;
    PageList::unlink(size_class.pages, page);
    AvailableList::unlink(size_class.available, page);
    page->owner = nullptr;
    PageList::push(_free_pages, page);
    Header *last = block_header(page);
    if (--last->block_pages_in_use)
        return;
    u8 *block = page_base(last) + page_size - _block_size;
    for (u64 offset = 0; offset < _block_size; offset += page_size)
        PageList::unlink(_free_pages, header_of(block + offset));
    BlockList::unlink(_blocks, last);
    --_block_count;
    tag_block(block, false);
    _backing->deallocate(block);
}

// Caller holds the lock.
void SlotAllocator::give_slot(void *p)
{
    Header *page = header_of(p);
    TALLOW_ASSERT(page->owner && (u64(static_cast<u8 *>(p) - page_base(page)) % page->slot_size) == 0,
                  "slot allocator: free of an address it did not hand out");
    *static_cast<u32 *>(p) = page->free_head;
    page->free_head = u32(static_cast<u8 *>(p) - page_base(page));
    --page->owner->live;
    if (++page->free_count == 1)
        AvailableList::push(page->owner->available, page);
    if (page->free_count == page->slot_count)
        release_page(page);
}

void SlotAllocator::deallocate(void *p)
{
    if (!p)
        return;
    if constexpr (malloc_allocators) {
        malloc_free_counted(p, _mutex, _locked, _malloc_total);
        return;
    }
    OptionalLock guard(_mutex, _locked);
    give_slot(p);
}

void SlotAllocator::deallocate_batch(void *const *slots, u32 count)
{
    if constexpr (malloc_allocators) {
        for (u32 i = 0; i < count; ++i)
            deallocate(slots[i]);
        return;
    }
    OptionalLock guard(_mutex, _locked);
    for (u32 i = 0; i < count; ++i)
        give_slot(slots[i]);
}

u64 SlotAllocator::allocated_size(const void *p)
{
    if (!p)
        return 0;
    if constexpr (malloc_allocators)
        return malloc_size(p);
    // No lock: a page keeps its class while any of its slots is live.
    return header_of(p)->slot_size;
}

u64 SlotAllocator::total_allocated()
{
    OptionalLock guard(_mutex, _locked);
    return malloc_allocators ? _malloc_total : u64(_block_count) * _block_size;
}

void SlotAllocator::backing_allocators(Array<Allocator *> &out_allocators) { out_allocators.push_back(_backing); }

u32 SlotAllocator::block_count()
{
    OptionalLock guard(_mutex, _locked);
    return _block_count;
}

u32 SlotAllocator::free_page_count()
{
    OptionalLock guard(_mutex, _locked);
    u32 n = 0;
    for (Header *page = _free_pages; page; page = page->next)
        ++n;
    return n;
}

u64 SlotAllocator::live_slot_count()
{
    OptionalLock guard(_mutex, _locked);
    u64 n = 0;
    for (const SizeClass &c : _classes)
        n += c.live;
    return n;
}

} // namespace tallow

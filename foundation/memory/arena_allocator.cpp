#include "foundation/memory/arena_allocator.h"

#include "foundation/memory/allocator_internal.h"
#include "foundation/containers/array.h"

#include <cstring>

#include <sanitizer/asan_interface.h> // the poisoning macros do nothing outside AddressSanitizer builds

namespace tallow {

namespace {
constexpr u64 link_size = sizeof(u8 *);
constexpr u64 size_word = sizeof(u64);

u8 *next_block(u8 *block)
{
    u8 *next;
    memcpy(&next, block, sizeof next);
    return next;
}
void set_next_block(u8 *block, u8 *next) { memcpy(block, &next, sizeof next); }
} // namespace

ArenaAllocator::ArenaAllocator(const char *name, Allocator &backing, u64 block_size, bool locked)
    : Allocator(name), _backing(&backing), _block_size(block_size), _locked(locked)
{
}

ArenaAllocator::~ArenaAllocator() { release_blocks(); }

void ArenaAllocator::release_blocks()
{
    for (u8 *block = _first; block;) {
        u8 *next = next_block(block);
        // Whatever was deallocated in it is poisoned; the backing may hand it out again.
        ASAN_UNPOISON_MEMORY_REGION(block, _backing->allocated_size(block));
        _backing->deallocate(block);
        block = next;
    }
    _first = _last = _current = nullptr;
    _left = 0;
    _taken = 0;
    _requested = 0;
}

void *ArenaAllocator::allocate(u64 size, u32 align)
{
    if (size == 0 || !is_power_of_two(align) || size > (u64(1) << 46))
        return nullptr;
    OptionalLock guard(_mutex, _locked);
    if (_current) {
        u8 *aligned = align_up(_current + size_word, align);
        _left -= i64(aligned - _current);
        _current = aligned;
    }
    if (!_current || i64(size) > _left) {
        // With malloc-routed allocators every allocation gets an exact block of its own,
        // so an overrun leaves the block where the sanitizer sees it.
        u64 block_align = align > min_alignment ? align : min_alignment;
        u64 want = malloc_allocators ? align_up(link_size + size_word, align) + size
                                     : size + 2 * u64(align) + link_size + size_word;
        if (!malloc_allocators && want < _block_size)
            want = _block_size;
        u8 *block = static_cast<u8 *>(_backing->allocate(want, u32(block_align)));
        if (!block)
            return nullptr; // a negative _left sends the next request to a new block too
        u64 real = _backing->allocated_size(block);
        if (real < want)
            real = want;
        _taken += real;
        set_next_block(block, nullptr);
        if (_last)
            set_next_block(_last, block);
        else
            _first = block;
        _last = block;
        _current = block + link_size;
        _left = i64(real - link_size);
        u8 *aligned = align_up(_current + size_word, align);
        _left -= i64(aligned - _current);
        _current = aligned;
    }
    _requested += size;
    memcpy(_current - size_word, &size, size_word);
    u8 *result = _current;
    _current += size;
    _left -= i64(size);
    if (malloc_allocators)
        _left = 0;
    return result;
}

void ArenaAllocator::deallocate(void *p)
{
    // Nothing is reused before a reset, so under AddressSanitizer a deallocated block is
    // poisoned: a use after its deallocation is reported like a use after free.
    if (p)
        ASAN_POISON_MEMORY_REGION(p, allocated_size(p));
}

u64 ArenaAllocator::allocated_size(const void *p)
{
    if (!p)
        return 0;
    OptionalLock guard(_mutex, _locked);
    u64 size;
    memcpy(&size, static_cast<const u8 *>(p) - size_word, size_word);
    return size;
}

u64 ArenaAllocator::total_allocated()
{
    OptionalLock guard(_mutex, _locked);
    return _taken;
}

void ArenaAllocator::backing_allocators(Array<Allocator *> &out_allocators) { out_allocators.push_back(_backing); }

void ArenaAllocator::reset()
{
    OptionalLock guard(_mutex, _locked);
    release_blocks();
}

u64 ArenaAllocator::requested_bytes()
{
    OptionalLock guard(_mutex, _locked);
    return _requested;
}

u32 ArenaAllocator::block_count()
{
    OptionalLock guard(_mutex, _locked);
    u32 n = 0;
    for (u8 *block = _first; block; block = next_block(block))
        ++n;
    return n;
}

} // namespace tallow

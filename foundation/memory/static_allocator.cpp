#include "foundation/memory/static_allocator.h"

#include <sanitizer/asan_interface.h> // the poisoning macros do nothing outside AddressSanitizer builds

namespace tallow {

StaticAllocator::~StaticAllocator()
{
    if (_block)
        ASAN_UNPOISON_MEMORY_REGION(_block, _block_size);
}

void StaticAllocator::set_block(void *block, u64 block_size)
{
    if (_block)
        ASAN_UNPOISON_MEMORY_REGION(_block, _block_size);
    _block = block;
    _block_size = block_size;
    _in_use = false;
}

void *StaticAllocator::allocate(u64 size, u32 align)
{
    // Handing the block out twice, or past its end, would let two users share memory.
    if (size == 0 || _in_use || !_block || size > _block_size || !align || (reinterpret_cast<u64>(_block) & (align - 1)))
        return nullptr;
    _in_use = true;
    ASAN_UNPOISON_MEMORY_REGION(_block, _block_size);
    return _block;
}

void StaticAllocator::deallocate(void *p)
{
    if (p && _in_use) {
        _in_use = false;
        ASAN_POISON_MEMORY_REGION(_block, _block_size);
    }
}

u64 StaticAllocator::allocated_size(const void *) { return _block_size; }

u64 StaticAllocator::total_allocated() { return _in_use ? _block_size : 0; }

} // namespace tallow

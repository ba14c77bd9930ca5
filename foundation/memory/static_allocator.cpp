#include "foundation/memory/static_allocator.h"

namespace tallow {

void *StaticAllocator::allocate(u64 size, u32 align)
{
    // Handing the block out twice, or past its end, would let two users share memory.
    if (size == 0 || _in_use || !_block || size > _block_size || !align || (reinterpret_cast<u64>(_block) & (align - 1)))
        return nullptr;
    _in_use = true;
    return _block;
}

void StaticAllocator::deallocate(void *p)
{
    if (p)
        _in_use = false;
}

u64 StaticAllocator::allocated_size(const void *) { return _block_size; }

u64 StaticAllocator::total_allocated() { return _in_use ? _block_size : 0; }

} // namespace tallow

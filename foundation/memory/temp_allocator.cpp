#include "foundation/memory/temp_allocator.h"

#include "foundation/containers/array.h"

namespace tallow {

TempAllocator::TempAllocator() : Allocator(nullptr), _pool(thread_scratch_pool()) {}

TempAllocator::~TempAllocator()
{
    if (_pool && _frame != ScratchPool::no_frame)
        _pool->pop_frame(_frame);
}

void *TempAllocator::allocate(u64 size, u32 align)
{
    if (!_pool || size == 0)
        return nullptr;
    if (_frame == ScratchPool::no_frame)
        _frame = _pool->push_frame();
    return _pool->allocate(_frame, size, align);
}

void TempAllocator::deallocate(void *) {}

u64 TempAllocator::allocated_size(const void *) { return 0; }

u64 TempAllocator::total_allocated() { return 0; }

void TempAllocator::backing_allocators(Array<Allocator *> &out_allocators)
{
    if (_pool)
        out_allocators.push_back(&_pool->backing());
}

} // namespace tallow

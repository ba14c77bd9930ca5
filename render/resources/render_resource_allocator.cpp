#include "render/resources/render_resource_allocator.h"

namespace tallow {

RenderResourceAllocator::RenderResourceAllocator(Allocator &parent) : Allocator(nullptr), _parent(&parent), _live(parent) {}

RenderResourceAllocator::~RenderResourceAllocator() { free_all(); }

void *RenderResourceAllocator::allocate(u64 size, u32 align)
{
    void *p = _parent->allocate(size, align);
    if (!p)
        return nullptr;
    if (!_live.push_back(p)) {
        _parent->deallocate(p);
        return nullptr;
    }
    return p;
}

void RenderResourceAllocator::deallocate(void *p)
{
    if (!p)
        return;
    // Searched from the back: copies are usually freed soon after they were made. The list
    // has no order to keep, so the last entry fills the hole.
    for (u32 i = _live.size(); i-- > 0;) {
        if (_live[i] == p) {
            _live[i] = _live.back();
            _live.pop_back();
            _parent->deallocate(p);
            return;
        }
    }
    _parent->deallocate(p);
}

u64 RenderResourceAllocator::allocated_size(const void *p) { return _parent->allocated_size(p); }
u64 RenderResourceAllocator::total_allocated() { return _parent->total_allocated(); }
void RenderResourceAllocator::backing_allocators(Array<Allocator *> &out_allocators) { out_allocators.push_back(_parent); }

void RenderResourceAllocator::free_all()
{
    for (void *p : _live)
        _parent->deallocate(p);
    _live.clear();
}

} // namespace tallow

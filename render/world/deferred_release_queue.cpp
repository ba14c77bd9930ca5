#include "render/world/deferred_release_queue.h"

#include "foundation/log.h"

namespace tallow {

namespace {
constexpr u32 no_handle = 0xFFFFFFFF;
}

DeferredReleaseQueue::DeferredReleaseQueue(Allocator &allocator) : _allocator(allocator), _free(allocator) {}

DeferredReleaseQueue::~DeferredReleaseQueue() { _allocator.deallocate(_ring); }

u32 DeferredReleaseQueue::allocate()
{
    if (!_free.empty()) {
        u32 handle = _free.back();
        _free.pop_back();
        return handle;
    }
    if (_next == no_handle) {
        log_message("render", "every render-object handle is taken");
        return no_handle;
    }
    return _next++;
}

bool DeferredReleaseQueue::grow_ring()
{
    u32 capacity = _capacity ? _capacity * 2 : 16;
    Released *ring = static_cast<Released *>(_allocator.allocate(u64(capacity) * sizeof(Released), alignof(Released)));
    if (!ring)
        return false;
    for (u32 i = 0; i < _count; ++i)
        ring[i] = _ring[(_first + i) % _capacity];
    _allocator.deallocate(_ring);
    _ring = ring;
    _capacity = capacity;
    _first = 0;
    return true;
}

void DeferredReleaseQueue::release(u32 handle)
{
    if (handle == no_handle)
        return;
    if (_count == _capacity && !grow_ring()) {
        log_message("render", "no memory to hold back render handle %u; it is not reused", handle);
        return;
    }
    _ring[(_first + _count) % _capacity] = {handle, _frame};
    ++_count;
}

void DeferredReleaseQueue::collect()
{
    while (_count > 0 && _frame - _ring[_first].frame >= render_handle_release_frames) {
        if (!_free.push_back(_ring[_first].handle))
            break; // kept in the ring; tried again next frame
        _first = (_first + 1) % _capacity;
        --_count;
    }
    ++_frame;
}

} // namespace tallow

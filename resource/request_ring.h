#pragma once
// The FIFO of resource requests kept by the manager (pending) and the loader (to read,
// and read). Grows when full to max(16, 2 x capacity), re-packed from the head.
// Not thread-safe: the loader guards its two rings with its lock.

#include "foundation/containers/array.h"
#include "foundation/log.h"
#include "resource/resource_manager.h"

namespace tallow {

class RequestRing {
  public:
    explicit RequestRing(Allocator &allocator) : _storage(allocator) {}

    u32 count() const { return _count; }
    bool empty() const { return _count == 0; }
    /// The i-th request from the head.
    ResourceRequest &at(u32 i) { return _storage[(_head + i) % _storage.size()]; }
    ResourceRequest &front() { return at(0); }

    /// False (logged) when the ring cannot grow.
    bool push(const ResourceRequest &request)
    {
        if (_count == _storage.size() && !grow()) {
            log_message("resource", "out of memory queueing a resource request (%u queued)", _count);
            return false;
        }
        _storage[(_head + _count) % _storage.size()] = request;
        ++_count;
        return true;
    }
    ResourceRequest pop_front()
    {
        ResourceRequest request = front();
        _head = (_head + 1) % _storage.size();
        --_count;
        return request;
    }

  private:
    bool grow()
    {
        u32 old_capacity = _storage.size();
        u32 capacity = old_capacity * 2 > 16 ? old_capacity * 2 : 16;
        Array<ResourceRequest> fresh(_storage.allocator());
        fresh.resize(capacity);
        if (fresh.size() != capacity)
            return false;
        for (u32 i = 0; i < _count; ++i)
            fresh[i] = at(i);
        _storage = std::move(fresh);
        _head = 0;
        return true;
    }

    Array<ResourceRequest> _storage; // size() is the capacity
    u32 _head = 0;
    u32 _count = 0;
};

} // namespace tallow

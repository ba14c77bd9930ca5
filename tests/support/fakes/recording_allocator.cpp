#include "tests/support/fakes/recording_allocator.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace tallow::test {

RecordingAllocator::~RecordingAllocator()
{
    EXPECT_TRUE(_live.empty()) << _live.size() << " blocks never returned to the recording allocator";
    for (auto &entry : _live)
        free(const_cast<void *>(entry.first));
}

void *RecordingAllocator::allocate(u64 size, u32 align)
{
    std::lock_guard<std::mutex> guard(_mutex);
    bool fail = _always_fail || _fail_next > 0;
    if (_fail_next > 0)
        --_fail_next;
    void *p = nullptr;
    if (!fail) {
        if (align < sizeof(void *))
            align = sizeof(void *);
        if (posix_memalign(&p, align, (size + _extra_size) ? size + _extra_size : 1) != 0)
            p = nullptr;
    }
    _events.push_back({Call::Allocate, p, size, align});
    if (p)
        _live[p] = size;
    return p;
}

void RecordingAllocator::deallocate(void *p)
{
    if (!p)
        return;
    std::lock_guard<std::mutex> guard(_mutex);
    auto it = _live.find(p);
    EXPECT_TRUE(it != _live.end()) << "deallocate of a block the recording allocator never gave";
    u64 size = it != _live.end() ? it->second : 0;
    _events.push_back({Call::Deallocate, p, size, 0});
    if (it != _live.end()) {
        _live.erase(it);
        free(p);
    }
}

u64 RecordingAllocator::allocated_size(const void *p)
{
    std::lock_guard<std::mutex> guard(_mutex);
    auto it = _live.find(p);
    return it == _live.end() ? 0 : it->second + _extra_size;
}

u64 RecordingAllocator::total_allocated()
{
    std::lock_guard<std::mutex> guard(_mutex);
    u64 total = 0;
    for (auto &entry : _live)
        total += entry.second + _extra_size;
    return total;
}

void RecordingAllocator::fail_next(u32 n)
{
    std::lock_guard<std::mutex> guard(_mutex);
    _fail_next = n;
}

void RecordingAllocator::set_always_fail(bool fail)
{
    std::lock_guard<std::mutex> guard(_mutex);
    _always_fail = fail;
}

u64 RecordingAllocator::live_count()
{
    std::lock_guard<std::mutex> guard(_mutex);
    return _live.size();
}

u64 RecordingAllocator::allocate_calls()
{
    std::lock_guard<std::mutex> guard(_mutex);
    u64 n = 0;
    for (const Event &e : _events)
        n += e.call == Call::Allocate;
    return n;
}

u64 RecordingAllocator::deallocate_calls()
{
    std::lock_guard<std::mutex> guard(_mutex);
    u64 n = 0;
    for (const Event &e : _events)
        n += e.call == Call::Deallocate;
    return n;
}

bool RecordingAllocator::is_live(const void *p)
{
    std::lock_guard<std::mutex> guard(_mutex);
    return _live.count(p) != 0;
}

std::vector<RecordingAllocator::Event> RecordingAllocator::events()
{
    std::lock_guard<std::mutex> guard(_mutex);
    return _events;
}

} // namespace tallow::test

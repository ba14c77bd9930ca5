#include "world/flow/timed_events.h"

#include "foundation/log.h"

#include <cmath>

namespace tallow {

void TimedEvents::schedule(f32 world_time, u32 handle, const TimedDelay *delays, u32 count, TimedEventFire fire,
                           void *context)
{
    for (u32 i = 0; i < count; ++i) {
        TimedDelay d = delays[i];
        if (d.delay == 0.0f || std::isnan(d.delay)) {
            fire(context, handle, d.target);
            continue;
        }
        push({world_time + d.delay, handle, d.target});
    }
}

void TimedEvents::run(f32 world_time, TimedEventFire fire, void *context)
{
    // Pop first, then fire: the callback may push events that sift to the top.
    while (_heap.size() > 0 && world_time > _heap[0].due) {
        TimedEvent e = pop();
        fire(context, e.handle, e.target);
    }
}

void TimedEvents::push(const TimedEvent &event)
{
    if (!_heap.push_back(event)) {
        log_message("world", "timed event dropped: out of memory");
        return;
    }
    u32 i = _heap.size() - 1;
    while (i > 0) {
        u32 parent = (i - 1) / 2;
        if (!(_heap[parent].due > _heap[i].due))
            break;
        TimedEvent t = _heap[parent];
        _heap[parent] = _heap[i];
        _heap[i] = t;
        i = parent;
    }
}

TimedEvent TimedEvents::pop()
{
    TimedEvent top = _heap[0];
    _heap[0] = _heap.back();
    _heap.pop_back();
    u32 n = _heap.size();
    u32 i = 0;
    for (;;) {
        u32 left = 2 * i + 1, right = left + 1, smallest = i;
        if (left < n && _heap[left].due < _heap[smallest].due)
            smallest = left;
        if (right < n && _heap[right].due < _heap[smallest].due)
            smallest = right;
        if (smallest == i)
            break;
        TimedEvent t = _heap[smallest];
        _heap[smallest] = _heap[i];
        _heap[i] = t;
        i = smallest;
    }
    return top;
}

bool TimedEvents::validate() const
{
    for (u32 i = 1; i < _heap.size(); ++i)
        if (_heap[(i - 1) / 2].due > _heap[i].due)
            return false;
    return true;
}

} // namespace tallow

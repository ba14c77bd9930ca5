#pragma once
// The World's queue of delayed flow events: a binary min-heap on the due time.
//
//   TimedEvents events(allocator);
//   const TimedDelay delays[] = {{0.5f, target}, {0.0f, other}};
//   events.schedule(world_time, handle, delays, 2, fire, context); // `other` fires now
//   ...
//   events.run(world_time, fire, context);                         // each frame
//
// An event fires at the first run whose world time is strictly greater than its due time.
// A delay of 0 (and a NaN delay, which would otherwise never come due and block every
// event behind it) fires during scheduling. The fire callback may schedule more events and
// destroy units: each event is taken off the heap before it fires. Events of stale handles
// are dropped by the callback's owner (the World looks the handle up). Main thread only.

#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {

struct TimedEvent {
    f32 due;     // world time
    u32 handle;  // unit handle
    u32 target;  // flow target: node index low 16 bits, input index high 16 bits
};
static_assert(sizeof(TimedEvent) == 12);

struct TimedDelay {
    f32 delay; // seconds
    u32 target;
};

using TimedEventFire = void (*)(void *context, u32 handle, u32 target);

class TimedEvents {
  public:
    explicit TimedEvents(Allocator &allocator) : _heap(allocator) {}

    /// Queues each delay in order (firing zero and NaN delays at once).
    void schedule(f32 world_time, u32 handle, const TimedDelay *delays, u32 count, TimedEventFire fire,
                  void *context);
    /// Fires every event due before `world_time`, earliest first.
    void run(f32 world_time, TimedEventFire fire, void *context);

    u32 count() const { return _heap.size(); }
    /// The earliest event (count() > 0).
    const TimedEvent &top() const { return _heap[0]; }
    /// True when every parent is due no later than its children.
    bool validate() const;

  private:
    void push(const TimedEvent &event);
    TimedEvent pop();

    Array<TimedEvent> _heap;
};

} // namespace tallow

#pragma once
// A signal one thread sets and others wait for, with manual or automatic reset.
//
//   Event done(false, false);        // auto reset, not signalled
//   ... another thread: done.set();
//   if (!done.wait_timeout(100)) log_message("loader", "still busy");
//
// A manual-reset event stays signalled until reset() and releases every waiter. An
// auto-reset event releases one waiter and resets itself as that waiter returns; a set()
// with nobody waiting is kept until the next wait takes it. wait_for_either() takes only
// the event it reports, so a signal of the other event is never lost.
//
// All operations are safe from any thread. An event must outlive every wait on it.

#include "foundation/types.h"

#include <mutex>

namespace tallow {

struct EventWaitLink;

/// Timeout meaning "no timeout" for the waits below.
constexpr u32 wait_forever = 0xFFFFFFFFu;

class Event {
  public:
    Event(bool manual_reset, bool initially_set);
    /// `tag` is a free word for the owner (the thread pool marks its wake events with 1).
    Event(u32 tag, bool manual_reset, bool initially_set);
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    /// Signals the event and wakes its waiters.
    void set();
    /// Clears the signal.
    void reset();
    /// Returns once the event is signalled (taking the signal of an auto-reset event).
    void wait();
    /// Returns true when the event was signalled within `timeout_ms` (0 only tests it,
    /// wait_forever never times out); an auto-reset event is reset by a true result.
    bool wait_timeout(u32 timeout_ms);

    u32 tag() const { return _tag; }
    bool is_manual_reset() const { return _manual_reset; }

  private:
    friend i32 wait_for_any(Event *const *events, u32 count, u32 timeout_ms);
    bool try_take_locked();

    std::mutex _mutex;
    EventWaitLink *_waiters = nullptr; // threads blocked on this event, under _mutex
    bool _signalled;
    bool _manual_reset;
    u32 _tag;
};

/// Waits until `a` or `b` is signalled and returns its index (0 or 1; 0 when both are).
/// Only the reported event's signal is taken.
u32 wait_for_either(Event &a, Event &b);

/// As wait_for_either, giving up after `timeout_ms`: returns 0 or 1, or -1 on time-out.
i32 wait_for_either_timeout(Event &a, Event &b, u32 timeout_ms);

/// Waits for the first of `count` events (at most 8); returns its index, the lowest when
/// several are signalled, or -1 when `timeout_ms` passed first.
i32 wait_for_any(Event *const *events, u32 count, u32 timeout_ms);

} // namespace tallow

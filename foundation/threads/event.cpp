#include "foundation/threads/event.h"

#include "foundation/assert.h"

#include <chrono>
#include <condition_variable>

namespace tallow {

// A blocked thread registers one link per event it waits on. set() wakes every registered
// waiter under the event's lock; the woken waiter then tries to take a signal itself. A
// waiter removes its links (under each event's lock) before it returns, so no set() can
// touch a waiter that has gone. Lock order: event lock, then waiter lock.
struct EventWaiter {
    std::mutex mutex;
    std::condition_variable condition;
    bool woken = false;
};

struct EventWaitLink {
    EventWaiter *waiter;
    EventWaitLink *next;
    EventWaitLink *previous;
};

Event::Event(bool manual_reset, bool initially_set) : Event(0, manual_reset, initially_set) {}

Event::Event(u32 tag, bool manual_reset, bool initially_set)
    : _signalled(initially_set), _manual_reset(manual_reset), _tag(tag)
{
}

Event::~Event() { TALLOW_ASSERT(_waiters == nullptr, "event destroyed while a thread waits on it"); }

void Event::set()
{
    std::lock_guard<std::mutex> guard(_mutex);
    _signalled = true;
    // Every waiter is woken, even for an auto-reset event: a waiter of two events may take
    // the other one instead, and the signal must then still reach someone.
    for (EventWaitLink *link = _waiters; link; link = link->next) {
        std::lock_guard<std::mutex> waiter_guard(link->waiter->mutex);
        link->waiter->woken = true;
        link->waiter->condition.notify_one();
    }
}

void Event::reset()
{
    std::lock_guard<std::mutex> guard(_mutex);
    _signalled = false;
}

bool Event::try_take_locked()
{
    if (!_signalled)
        return false;
    if (!_manual_reset)
        _signalled = false;
    return true;
}

void Event::wait()
{
    Event *self = this;
    wait_for_any(&self, 1, wait_forever);
}

bool Event::wait_timeout(u32 timeout_ms)
{
    Event *self = this;
    return wait_for_any(&self, 1, timeout_ms) == 0;
}

u32 wait_for_either(Event &a, Event &b)
{
    Event *events[2] = {&a, &b};
    return u32(wait_for_any(events, 2, wait_forever));
}

i32 wait_for_either_timeout(Event &a, Event &b, u32 timeout_ms)
{
    Event *events[2] = {&a, &b};
    return wait_for_any(events, 2, timeout_ms);
}

i32 wait_for_any(Event *const *events, u32 count, u32 timeout_ms)
{
    constexpr u32 max_events = 8;
    TALLOW_ASSERT(count > 0 && count <= max_events, "wait_for_any takes 1 to 8 events");
    if (count == 0)
        return -1;
    if (count > max_events)
        count = max_events;

    for (u32 i = 0; i < count; ++i) {
        std::lock_guard<std::mutex> guard(events[i]->_mutex);
        if (events[i]->try_take_locked())
            return i32(i);
    }
    if (timeout_ms == 0)
        return -1;

    EventWaiter waiter;
    EventWaitLink links[max_events];
    u32 registered = 0;
    i32 result = -1;
    auto unregister = [&]() {
        for (u32 i = 0; i < registered; ++i) {
            std::lock_guard<std::mutex> guard(events[i]->_mutex);
            EventWaitLink &link = links[i];
            if (link.previous)
                link.previous->next = link.next;
            else
                events[i]->_waiters = link.next;
            if (link.next)
                link.next->previous = link.previous;
        }
        registered = 0;
    };

    // Registering and testing under the same lock closes the gap between the test and the
    // sleep: a set() after this point finds the link and wakes us.
    for (u32 i = 0; i < count && result < 0; ++i) {
        std::lock_guard<std::mutex> guard(events[i]->_mutex);
        if (events[i]->try_take_locked()) {
            result = i32(i);
            break;
        }
        links[i] = {&waiter, events[i]->_waiters, nullptr};
        if (events[i]->_waiters)
            events[i]->_waiters->previous = &links[i];
        events[i]->_waiters = &links[i];
        ++registered;
    }

    const bool forever = timeout_ms == wait_forever;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : timeout_ms);
    while (result < 0) {
        bool timed_out = false;
        {
            std::unique_lock<std::mutex> lock(waiter.mutex);
            if (forever) {
                waiter.condition.wait(lock, [&] { return waiter.woken; });
            } else if (!waiter.condition.wait_until(lock, deadline, [&] { return waiter.woken; })) {
                timed_out = true;
            }
            waiter.woken = false;
        }
        for (u32 i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> guard(events[i]->_mutex);
            if (events[i]->try_take_locked()) {
                result = i32(i);
                break;
            }
        }
        if (timed_out)
            break;
    }
    unregister();
    return result;
}

} // namespace tallow

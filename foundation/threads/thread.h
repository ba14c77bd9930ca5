#pragma once
// Small thread primitives shared by the engine's threading code: engine thread ids, the
// lock every shared structure uses, and thread naming.
//
//   Mutex lock;
//   {
//       ScopedLock guard(lock);
//       ... touch shared state ...
//   }
//
// Thread ids are engine ids, not system ones: each thread gets a u32 from one process-wide
// counter the first time it asks (threads made by the ThreadRegistry get theirs before
// they run). Ids start at 1, 0 means "no thread", and an id is never reused in a run.

#include "foundation/types.h"

#include <atomic>
#include <mutex>

namespace tallow {

/// A non-recursive lock. Lock and unlock on the same thread; never held across a wait.
class Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() { _mutex.lock(); }
    void unlock() { _mutex.unlock(); }
    bool try_lock() { return _mutex.try_lock(); }

  private:
    std::mutex _mutex;
};

/// Tells the processor the thread is in a spin loop (saves power, frees the core's other
/// hardware thread). Costs tens of cycles.
inline void cpu_pause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

/// Holds a lock (Mutex or SpinMutex) for the lifetime of the scope.
template <typename Lock> class ScopedLock {
  public:
    explicit ScopedLock(Lock &lock) : _lock(lock) { _lock.lock(); }
    ~ScopedLock() { _lock.unlock(); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

  private:
    Lock &_lock;
};

/// The calling thread's engine id (never 0). Cheap: one thread-local read after the first call.
u32 current_thread_id();

/// Names the calling thread for debuggers and tools. Linux keeps at most 15 bytes of a
/// thread name, so longer names are cut to their first 15 bytes ("thread pool worker"
/// shows as "thread pool wor").
void set_current_thread_name(const char *name);

/// Longest thread name the system keeps, in bytes, without the terminating zero.
constexpr u32 max_thread_name_bytes = 15;

/// Sleeps the calling thread for about `duration_ms` milliseconds.
void sleep_ms(u32 duration_ms);

} // namespace tallow

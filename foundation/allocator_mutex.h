#pragma once
// The lock inside every engine allocator.

#include "foundation/types.h"

#include <atomic>

namespace tallow {

/// The allocators' lock: spins up to 4000 times before sleeping, and costs one atomic
/// operation to take and one to give back when nobody else wants it.
class AllocatorMutex {
  public:
    void lock()
    {
        u32 expected = 0;
        if (!_state.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            lock_contended();
    }
    void unlock()
    {
        if (_state.exchange(0, std::memory_order_release) == 2)
            _state.notify_one();
    }

  private:
    void lock_contended()
    {
        for (int spin = 0; spin < 4000; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            u32 expected = 0;
            if (_state.load(std::memory_order_relaxed) == 0 &&
                _state.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
                return;
        }
        // 2 marks sleepers, so the holder knows to wake one.
        while (_state.exchange(2, std::memory_order_acquire) != 0)
            _state.wait(2, std::memory_order_relaxed);
    }

    std::atomic<u32> _state{0}; // 0 free, 1 held, 2 held with sleepers
};

} // namespace tallow

#pragma once
// The lock inside every engine allocator.

#include <atomic>

namespace tallow {

/// The allocators' lock: a futex lock whose uncontended paths are inline, one
/// compare-exchange to take it and one exchange to let it go. A waiter spins briefly
/// before it sleeps: the critical sections are short, and a sleep and wake-up cost far
/// more than waiting one out (allocator_bench's mixed sizes on 4 threads ran twice as
/// fast). Not recursive.
class AllocatorMutex {
  public:
    void lock()
    {
        int expected = 0;
        if (!_state.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            lock_contended();
    }
    void unlock()
    {
        if (_state.exchange(0, std::memory_order_release) == 2)
            wake_one();
    }

  private:
    // The slow paths are system calls; they live in page_allocator.cpp, the allocators'
    // other user of them.
    void lock_contended();
    void wake_one();

    std::atomic<int> _state{0}; // 0 free, 1 taken, 2 taken and maybe waited for
};

} // namespace tallow

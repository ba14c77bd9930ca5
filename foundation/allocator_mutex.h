#pragma once
// The lock inside every engine allocator.

#include <mutex>

namespace tallow {

/// The allocators' lock. A plain sleeping mutex: the critical sections are a few dozen
/// instructions, and under contention sleeping at once beat spinning in allocator_bench.
class AllocatorMutex {
  public:
    void lock() { _mutex.lock(); }
    void unlock() { _mutex.unlock(); }

  private:
    std::mutex _mutex;
};

} // namespace tallow

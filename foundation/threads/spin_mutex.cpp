#include "foundation/threads/spin_mutex.h"

#include "foundation/threads/thread.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tallow {

namespace {
constexpr int spin_limit = 200; // pauses before a waiter sleeps: a few microseconds
} // namespace

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word is the atomic itself");

// Spins on a plain read (no writes that would pull the line away from the holder), then
// sleeps. State 2 tells the holder that someone may sleep: whoever takes the lock by
// setting 2 keeps it that way, so every unlock after a wait wakes the next sleeper.
void SpinMutex::lock_contended()
{
    for (int spin = 0; spin < spin_limit; ++spin) {
        cpu_pause();
        if (_state.load(std::memory_order_relaxed) == 0 && try_lock())
            return;
    }
    while (_state.exchange(2, std::memory_order_acquire) != 0)
        syscall(SYS_futex, reinterpret_cast<int *>(&_state), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
}

void SpinMutex::wake_one()
{
    syscall(SYS_futex, reinterpret_cast<int *>(&_state), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace tallow

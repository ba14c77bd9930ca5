#include "foundation/math/timer.h"

#include <atomic>
#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace tallow {

namespace {
std::atomic<u64> affinity_mask{0};
}

u64 performance_counter()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return u64(ts.tv_sec) * 1000000000ull + u64(ts.tv_nsec);
}

u64 performance_frequency() { return 1000000000ull; }

f64 time_seconds(u64 *stamp)
{
    u64 now = performance_counter();
    f64 seconds = f64(i64(now - *stamp)) / f64(performance_frequency());
    *stamp = now;
    return seconds;
}

f64 time_seconds_pinned(u64 *stamp)
{
    u64 mask = affinity_mask.load(std::memory_order_relaxed);
    if (mask == 0)
        return time_seconds(stamp);
    pthread_t self = pthread_self();
    cpu_set_t previous;
    bool pinned = false;
    if (pthread_getaffinity_np(self, sizeof previous, &previous) == 0) {
        cpu_set_t wanted;
        CPU_ZERO(&wanted);
        for (int cpu = 0; cpu < 64; ++cpu)
            if (mask & (1ull << cpu))
                CPU_SET(cpu, &wanted);
        // A mask naming no usable CPU is refused by the system; the reading goes ahead
        // unpinned.
        pinned = pthread_setaffinity_np(self, sizeof wanted, &wanted) == 0;
    }
    f64 seconds = time_seconds(stamp);
    if (pinned)
        pthread_setaffinity_np(self, sizeof previous, &previous);
    return seconds;
}

void set_timer_affinity_mask(u64 mask) { affinity_mask.store(mask, std::memory_order_relaxed); }

u64 timer_affinity_mask() { return affinity_mask.load(std::memory_order_relaxed); }

} // namespace tallow

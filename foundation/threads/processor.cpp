#include "foundation/threads/processor.h"

#include <atomic>
#include <sched.h>
#include <unistd.h>

namespace tallow {

namespace {
std::atomic<u32> kept_processor_count{0};

u32 ask_processor_count()
{
    // The affinity mask is what this process may use (containers and taskset narrow it).
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0)
            return u32(count);
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? u32(online) : 1;
}
} // namespace

u32 ProcessorInfo::processor_count()
{
    u32 count = kept_processor_count.load(std::memory_order_acquire);
    if (count == 0) {
        count = ask_processor_count();
        kept_processor_count.store(count, std::memory_order_release);
    }
    return count;
}

u32 pool_worker_count(u32 processors) { return processors > 3 ? processors - 2 : 1; }

} // namespace tallow

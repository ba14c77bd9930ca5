#include "foundation/math/random_seed.h"

#include "foundation/strings/murmur_hash.h"
#include "foundation/math/timer.h"

#include <cstdlib>
#include <cstring>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace tallow {

u64 random_seed64()
{
    // Zeroed in full: the unused tail would otherwise be uninitialised memory.
    u8 block[256] = {};
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    i64 seconds = now.tv_sec;
    i64 nanoseconds = now.tv_nsec;
    u32 process = u32(getpid());
    u32 thread = u32(syscall(SYS_gettid));
    u64 counter = performance_counter();
    memcpy(block + 0, &seconds, 8);
    memcpy(block + 8, &nanoseconds, 8);
    memcpy(block + 16, &process, 4);
    memcpy(block + 20, &thread, 4);
    memcpy(block + 24, &counter, 8);

    const char *path = getenv("PATH");
    u64 path_length = path ? strlen(path) : 0;
    u64 path_hash = murmur_hash_64(path ? path : "", u32(path_length < 0xFFFFFFFFull ? path_length : 0xFFFFFFFFull), 0);
    return path_hash ^ murmur_hash_64(block, sizeof block, 0);
}

u32 random_seed() { return fold_seed(random_seed64()); }

} // namespace tallow

#include "foundation/threads/thread.h"

#include "foundation/threads/thread_internal.h"

#include <atomic>
#include <cstring>
#include <pthread.h>
#include <time.h>

namespace tallow {

namespace {
std::atomic<u32> next_thread_id{1};
thread_local u32 this_thread_id = 0;
} // namespace

u32 take_thread_id()
{
    u32 id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
    // 0 means "no thread"; after 4 billion threads ids would wrap, skip it.
    if (id == 0)
        id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
    return id;
}

void adopt_thread_id(u32 id) { this_thread_id = id; }

u32 current_thread_id()
{
    if (this_thread_id == 0)
        this_thread_id = take_thread_id();
    return this_thread_id;
}

void set_current_thread_name(const char *name)
{
    if (!name)
        return;
    // pthread_setname_np fails with ERANGE on names over 15 bytes.
    char cut[max_thread_name_bytes + 1];
    size_t length = strnlen(name, max_thread_name_bytes);
    memcpy(cut, name, length);
    cut[length] = 0;
    pthread_setname_np(pthread_self(), cut);
}

void sleep_ms(u32 duration_ms)
{
    timespec request;
    request.tv_sec = duration_ms / 1000;
    request.tv_nsec = long(duration_ms % 1000) * 1000000L;
    while (nanosleep(&request, &request) != 0) {
    }
}

} // namespace tallow

#pragma once
// Every engine thread is started and recorded here.
//
//   ThreadRegistry registry(allocator, "main");
//   ThreadHandle loader = registry.create_thread("resource_loader", &loader_entry, this);
//   if (!loader.is_valid()) return false;   // logged
//   ...
//   registry.join(loader);                  // the creator joins exactly once
//
// A thread's record exists from create_thread until its entry function returns; the
// record is in the registry before the thread runs, so even a thread that ends at once
// is recorded and then removed. create_thread hands back a joinable handle, so a thread
// that ended before its owner looked at it can still be joined: the owner must join
// every handle it got, exactly once, before the registry is destroyed.
//
// The registry lives longest: it is destroyed after every thread it started has been
// joined. All member functions are safe from any thread.

#include "foundation/containers/array.h"
#include "foundation/threads/thread.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;

/// Entry function of a thread; `argument` is what create_thread was given.
using ThreadEntry = void (*)(void *argument);

/// A started thread: its engine id and the system handle to join it by. Join it once,
/// through one copy; the other copies must not be joined afterwards.
struct ThreadHandle {
    u32 id = 0;      // engine thread id; 0 = no thread
    u64 native = 0;  // system handle, only meaningful while id != 0
    bool is_valid() const { return id != 0; }
};

class ThreadRegistry {
  public:
    /// Records the calling thread under `calling_thread_name` (the application passes
    /// "main"). Records come from `allocator`, which must be thread-safe.
    ThreadRegistry(Allocator &allocator, const char *calling_thread_name);
    /// Frees the remaining records. Every started thread must have been joined.
    ~ThreadRegistry();
    ThreadRegistry(const ThreadRegistry &) = delete;
    ThreadRegistry &operator=(const ThreadRegistry &) = delete;

    /// Starts `entry(argument)` on a new thread named `name` (cut to what the system keeps;
    /// the full name stays in the record). `priority` 0 is normal, the only level the
    /// engine uses; others are accepted and ignored. Returns an invalid handle (logged)
    /// when the system refuses the thread.
    ThreadHandle create_thread(const char *name, ThreadEntry entry, void *argument, i32 priority = 0);

    /// The handle of a running recorded thread, or an invalid handle when no record has
    /// `thread_id` (a finished thread). The calling thread's own record has no handle.
    ThreadHandle handle_of(u32 thread_id);

    /// Waits for the thread to end and releases its system handle; `handle` becomes
    /// invalid. Must not be called on the calling thread's own handle.
    void join(ThreadHandle &handle);

    /// Number of records: running threads plus the creating thread.
    u32 thread_count();
    /// True while a record has `thread_id`.
    bool is_running(u32 thread_id);
    /// Copies the recorded name of `thread_id` into `out_name` (cut to `capacity` - 1
    /// bytes); false when no record has it.
    bool name_of(u32 thread_id, char *out_name, u32 capacity);

  private:
    struct ThreadRecord;
    static void *thread_trampoline(void *record);
    void remove_thread(u32 thread_id);
    ThreadRecord *new_record(const char *name, ThreadEntry entry, void *argument);

    Allocator &_allocator;
    Mutex _lock;
    Array<ThreadRecord *> _records; // under _lock
};

} // namespace tallow

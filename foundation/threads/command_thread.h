#pragma once
// A dedicated thread that executes queued jobs one after another and hands each back to
// its owner's thread for completion (the save system, the cloud-file service).
//
//   class WriteFile : public CommandThreadJob {
//       void execute() override { ... runs on the command thread ... }
//       bool finish() override { ... runs in update() on the owner's thread ...; return true; }
//   };
//   CommandThread thread(allocator, registry, 32, "save_system");
//   thread.push(make_new<WriteFile>(allocator, ...));   // allocated from the same allocator
//   ... once per frame: thread.update();
//
// Jobs execute in the order pushed, and finish in the same order. A job is owned by the
// command thread from push until its finish returns true (then it is destroyed and freed
// through the command thread's allocator) or false (then the owner has it back).
// push, update and stop are for the owner's thread only.

#include "foundation/containers/array.h"
#include "foundation/threads/locked_ring_buffer.h"
#include "foundation/threads/thread_registry.h"
#include "foundation/types.h"

namespace tallow {

class Allocator;

class CommandThreadJob {
  public:
    virtual ~CommandThreadJob() = default;
    /// Runs on the command thread.
    virtual void execute() {}
    /// Runs on the owner's thread once the job is back; true has the command thread
    /// destroy and free the job, false leaves it to its owner.
    virtual bool finish() { return true; }
};

class CommandThread {
  public:
    /// Starts the thread `name` through `registry`, with queues of `queue_size` jobs each.
    /// When the thread cannot start (logged) pushed jobs execute on the owner's thread
    /// inside push, and still finish in update.
    CommandThread(Allocator &allocator, ThreadRegistry &registry, u32 queue_size, const char *name);
    /// Stops the thread (which first executes every queued job); jobs executed but not
    /// yet finished are destroyed and freed without finish (call update first to finish
    /// them).
    ~CommandThread();
    CommandThread(const CommandThread &) = delete;
    CommandThread &operator=(const CommandThread &) = delete;

    /// Queues `job` (non-null, allocated from the command thread's allocator). When the
    /// request queue is full it waits, meanwhile taking executed jobs off the done queue
    /// (they finish at the next update), so any number of pushes in one frame completes.
    void push(CommandThreadJob *job);
    /// Finishes every executed job, in order (see CommandThreadJob::finish).
    void update();
    /// Lets the thread execute what is queued before this call, then ends and joins it.
    /// Executed jobs still wait for update. Idempotent.
    void stop();
    bool is_running() const { return _running; }
    /// Jobs executed and waiting for update (those the owner has taken off the queue).
    u32 waiting_for_update() const { return _finished.size(); }

  private:
    static void thread_entry(void *argument);
    void take_done_jobs();
    void push_record(CommandThreadJob *job);
    void destroy_job(CommandThreadJob *job);

    Allocator &_allocator;
    ThreadRegistry &_registry;
    bool _running = false;
    ThreadHandle _thread;
    LockedRingBuffer _requests; // owner -> thread
    LockedRingBuffer _done;     // thread -> owner
    Array<CommandThreadJob *> _finished; // executed jobs taken off _done, in order
    Event _exited{true, false};           // set by the thread as it ends
};

} // namespace tallow

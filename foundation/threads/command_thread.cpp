#include "foundation/threads/command_thread.h"

#include "foundation/memory/allocator.h"
#include "foundation/assert.h"
#include "foundation/log.h"

namespace tallow {

namespace {
constexpr u32 job_record = sizeof(CommandThreadJob *);

u32 queue_bytes(u32 queue_size) { return LockedRingBuffer::capacity_for(queue_size > 0 ? queue_size : 1, job_record); }

bool pop_job(LockedRingBuffer &ring, CommandThreadJob *&out_job)
{
    u32 size = 0;
    return ring.try_pop(&out_job, job_record, &size) == RingResult::Ok;
}
} // namespace

CommandThread::CommandThread(Allocator &allocator, ThreadRegistry &registry, u32 queue_size, const char *name)
    : _allocator(allocator), _registry(registry), _requests(allocator, queue_bytes(queue_size)),
      _done(allocator, queue_bytes(queue_size)), _finished(allocator)
{
    _thread = registry.create_thread(name, &CommandThread::thread_entry, this, 0);
    _running = _thread.is_valid();
    if (!_running)
        log_message("thread", "command thread \"%s\" did not start; its jobs run on the owner's thread", name ? name : "");
}

CommandThread::~CommandThread()
{
    stop();
    CommandThreadJob *job = nullptr;
    while (pop_job(_requests, job))
        destroy_job(job);
    while (pop_job(_done, job))
        destroy_job(job);
    for (CommandThreadJob *finished : _finished)
        destroy_job(finished);
    _finished.clear();
}

void CommandThread::destroy_job(CommandThreadJob *job) { delete_with_allocator(_allocator, job); }

void CommandThread::thread_entry(void *argument)
{
    CommandThread *self = static_cast<CommandThread *>(argument);
    for (;;) {
        self->_requests.data_event().wait();
        CommandThreadJob *job = nullptr;
        // Popping until the queue reports empty also sets its drained event, which is what
        // a blocked push waits for.
        while (pop_job(self->_requests, job)) {
            if (!job) {
                self->_exited.set();
                return;
            }
            job->execute();
            // Blocks while the done queue is full; the owner empties it in update or push.
            (void)self->_done.push_wait(&job, job_record);
        }
    }
}

void CommandThread::take_done_jobs()
{
    CommandThreadJob *job = nullptr;
    while (pop_job(_done, job))
        if (!_finished.push_back(job))
            log_message("thread", "out of memory keeping a finished command job; it is lost");
}

void CommandThread::push_record(CommandThreadJob *job)
{
    for (;;) {
        const RingResult result = _requests.try_push(&job, job_record);
        if (result == RingResult::Ok)
            return;
        if (result != RingResult::Full) {
            log_message("thread", "command queue cannot take a job (%s)", to_string(result));
            return;
        }
        // The thread may itself be blocked on a full done queue, waiting for us: take its
        // executed jobs now (they finish in the next update) so both sides move on.
        take_done_jobs();
        wait_for_either(_requests.drained_event(), _done.data_event());
    }
}

void CommandThread::push(CommandThreadJob *job)
{
    TALLOW_ASSERT(job, "push of a null command job");
    if (!job)
        return;
    if (!_running) {
        job->execute();
        if (!_finished.push_back(job))
            log_message("thread", "out of memory keeping a finished command job; it is lost");
        return;
    }
    push_record(job);
}

void CommandThread::update()
{
    take_done_jobs();
    // finish may push new jobs; those are finished in a later update.
    const u32 count = _finished.size();
    for (u32 i = 0; i < count; ++i) {
        CommandThreadJob *job = _finished[i];
        if (job->finish())
            destroy_job(job);
    }
    if (count == _finished.size()) {
        _finished.clear();
    } else {
        for (u32 i = count; i < _finished.size(); ++i)
            _finished[i - count] = _finished[i];
        _finished.resize(_finished.size() - count);
    }
}

void CommandThread::stop()
{
    if (!_running)
        return;
    push_record(nullptr);
    // The thread may block on a full done queue before it reaches the stop record.
    while (wait_for_either(_exited, _done.data_event()) != 0)
        take_done_jobs();
    _registry.join(_thread);
    _running = false;
}

} // namespace tallow

#include "foundation/threads/job.h"

#include "foundation/memory/allocator.h"
#include "foundation/assert.h"
#include "foundation/log.h"

#include <atomic>

namespace tallow {

void JobData::clear()
{
    _job->_stream_count = 0;
    _job->_count = 0;
}

void JobData::set_stream(u32 index, JobStream stream, u32 kind)
{
    TALLOW_ASSERT(index < max_job_streams, "a job has at most 8 streams");
    if (index >= max_job_streams)
        return;
    stream.kind = kind;
    _job->_streams[index] = stream;
    if (_job->_stream_count < index + 1)
        _job->_stream_count = index + 1;
}

void JobData::advance(u32 first_item, u32 batch)
{
    for (u32 i = 0; i < _job->_stream_count; ++i) {
        JobStream &stream = _job->_streams[i];
        if (!stream.pointer)
            continue;
        const u64 step = stream.kind == stream_kind_per_batch ? batch : first_item;
        stream.pointer = static_cast<char *>(stream.pointer) + u64(stream.stride) * step;
    }
}

u32 JobSplit::batch_size() const
{
    const u32 count = job->count();
    const u32 step = granularity == 0 ? 1 : granularity;
    u32 size = 0;
    if (mode == 0) {
        if (limit == 0)
            return 0;
        size = count / limit;
        if (size < limit)
            size = limit;
    } else if (mode == 1) {
        size = count < limit ? count : limit;
    } else {
        return 0;
    }
    const u64 rounded = (u64(size) + step - 1) / step * step;
    return rounded > 0xFFFFFFFFu ? 0xFFFFFFFFu / step * step : u32(rounded);
}

u32 JobSplit::batch_count() const
{
    const u32 size = batch_size();
    if (size == 0)
        return 0;
    return u32((u64(job->count()) + size - 1) / size);
}

namespace {

// All batches of one run_job share one allocation; the last batch to finish frees it.
struct BatchBlock {
    std::atomic<u32> remaining;
    u32 batch_count;
    Allocator *allocator;
};

struct BatchRecord {
    BatchBlock *block;
    Job job; // the batch's copy: its items and its advanced streams
};

void run_batch(const JobContext &context)
{
    BatchRecord *record = static_cast<BatchRecord *>(context.data);
    BatchBlock *block = record->block;
    JobData data(record->job);
    record->job.function()(data);
    if (block->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        BatchRecord *records = reinterpret_cast<BatchRecord *>(block + 1);
        for (u32 i = 0; i < block->batch_count; ++i)
            records[i].~BatchRecord();
        block->allocator->deallocate(block);
    }
}

// The item list is posted in slices from the stack, so posting allocates only the block.
constexpr u32 post_slice = 64;

} // namespace

static_assert(sizeof(BatchBlock) % alignof(BatchRecord) == 0, "batch records follow the block header");

JobId run_job(ThreadPool &pool, const Job &job, JobId dependency, const JobSplit *split)
{
    const JobSplit default_split(job);
    const JobSplit &used = split ? *split : default_split;
    const u32 batch_size = used.batch_size();
    const u32 batch_count = used.batch_count();
    if (batch_count == 0)
        return no_job;
    if (!job.function()) {
        log_message("job", "job \"%s\" has no function; not run", job.name() ? job.name() : "");
        return no_job;
    }

    Allocator &allocator = pool.allocator();
    const u64 bytes = sizeof(BatchBlock) + u64(batch_count) * sizeof(BatchRecord);
    void *memory = allocator.allocate(bytes, alignof(BatchRecord) > alignof(BatchBlock) ? alignof(BatchRecord)
                                                                                         : alignof(BatchBlock));
    if (!memory) {
        log_message("job", "out of memory for %u batches of job \"%s\"; not run", batch_count,
                    job.name() ? job.name() : "");
        return no_job;
    }
    BatchBlock *block = new (memory) BatchBlock{{batch_count}, batch_count, &allocator};
    BatchRecord *records = reinterpret_cast<BatchRecord *>(block + 1);
    const u32 count = job.count();
    for (u32 i = 0; i < batch_count; ++i) {
        BatchRecord *record = new (records + i) BatchRecord{block, job};
        const u64 wanted_first = u64(i) * batch_size;
        const u32 first = wanted_first < count ? u32(wanted_first) : count;
        const u32 left = count - first;
        JobData data(record->job);
        data.set_count(left < batch_size ? left : batch_size);
        data.advance(first, i);
    }

    const JobId counter = pool.new_counter();
    JobItem items[post_slice];
    for (u32 start = 0; start < batch_count; start += post_slice) {
        const u32 n = batch_count - start < post_slice ? batch_count - start : post_slice;
        for (u32 k = 0; k < n; ++k)
            items[k] = JobItem{&run_batch, records + start + k, job.name(), job.priority()};
        pool.post(counter, n, items, dependency);
    }
    return counter;
}

JobId JobSystem::run_job_and_release(const Job &job, const JobSplit *split)
{
    const JobId id = tallow::run_job(*_pool, job, no_job, split);
    release_job(id);
    return id;
}

} // namespace tallow

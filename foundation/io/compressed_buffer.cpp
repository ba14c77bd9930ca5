#include "foundation/io/compressed_buffer.h"

#include "foundation/io/input_archive.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "foundation/io/output_archive.h"
#include "foundation/threads/thread_pool.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <libdeflate.h>
#include <zlib.h>

namespace tallow {

namespace {

// zlib's state holds pointers: 16-byte alignment, where a 32-bit build could use 4.
voidpf zlib_allocate(voidpf opaque, uInt items, uInt size)
{
    return static_cast<Allocator *>(opaque)->allocate(u64(items) * size, 16);
}

void zlib_free(voidpf opaque, voidpf address) { static_cast<Allocator *>(opaque)->deallocate(address); }

/// Clears `stream` and points it at one input and one output range, allocating from `allocator`.
void prepare_stream(z_stream &stream, Allocator &allocator, u8 *in, u32 in_bytes, u8 *out, u32 out_bytes)
{
    memset(&stream, 0, sizeof stream);
    stream.zalloc = zlib_allocate;
    stream.zfree = zlib_free;
    stream.opaque = &allocator;
    stream.next_in = in;
    stream.avail_in = in_bytes;
    stream.next_out = out;
    stream.avail_out = out_bytes;
}

// Smallest possible segment in a stream: its u32 stored size plus a zlib header, some
// deflate data and the adler32 trailer. Used to reject lengths the source cannot hold.
constexpr u64 min_segment_bytes = 12;

} // namespace

SegmentCompressor::SegmentCompressor(Allocator &allocator, u32 slot_count)
    : _allocator(allocator), _slot_count(slot_count < max_slots ? slot_count : max_slots)
{
    _uncompressed = static_cast<u8 *>(allocator.allocate(u64(_slot_count) * segment_bytes, 16));
    _compressed = static_cast<u8 *>(allocator.allocate(u64(_slot_count) * segment_bytes, 16));
    if (!_uncompressed || !_compressed) {
        log_message("compressed_stream", "no memory for %u segment slots", _slot_count);
        allocator.deallocate(_uncompressed);
        allocator.deallocate(_compressed);
        _uncompressed = _compressed = nullptr;
    }
}

SegmentCompressor::~SegmentCompressor()
{
    for (libdeflate_decompressor *inflater : _inflaters)
        if (inflater)
            libdeflate_free_decompressor(inflater);
    _allocator.deallocate(_uncompressed);
    _allocator.deallocate(_compressed);
}

void SegmentCompressor::compress(u32 slot)
{
    z_stream stream;
    prepare_stream(stream, _allocator, uncompressed(slot), segment_bytes, compressed(slot), segment_bytes);
    int result = deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    if (result == Z_OK) {
        result = deflate(&stream, Z_FINISH);
        deflateEnd(&stream);
    } else {
        log_message("compressed_stream", "deflateInit failed (%d); segment stored raw", result);
    }
    if (result == Z_STREAM_END && stream.total_out < segment_bytes) {
        _stored_sizes[slot] = u32(stream.total_out);
    } else {
        // Incompressible, or deflate failed: a raw segment keeps the data, where an
        // empty one would lose it.
        memcpy(compressed(slot), uncompressed(slot), segment_bytes);
        _stored_sizes[slot] = segment_bytes;
    }
    _states[slot] = SlotState::Ready;
}

bool SegmentCompressor::decompress(u32 slot, u32 stored_size, const char **out_error)
{
    *out_error = nullptr;
    if (decompress_fast(slot, stored_size)) {
        _stored_sizes[slot] = stored_size;
        _states[slot] = SlotState::Ready;
        return true;
    }
    return decompress_with_zlib(slot, stored_size, out_error);
}

bool SegmentCompressor::decompress_fast(u32 slot, u32 stored_size)
{
    if (stored_size == segment_bytes) {
        memcpy(uncompressed(slot), compressed(slot), segment_bytes);
        return true;
    }
    // A 32 KiB-window stream that inflates whole, to exactly a segment. Everything else
    // goes to zlib, which decides and names the error as it always has.
    if (!_inflaters[slot])
        _inflaters[slot] = libdeflate_alloc_decompressor();
    if (!_inflaters[slot] || stored_size < 2 || (compressed(slot)[0] >> 4) != 7)
        return false;
    size_t in_used = 0, out_bytes = 0;
    libdeflate_result result = libdeflate_zlib_decompress_ex(_inflaters[slot], compressed(slot), stored_size,
                                                             uncompressed(slot), segment_bytes, &in_used, &out_bytes);
    return result == LIBDEFLATE_SUCCESS && out_bytes == segment_bytes;
}

bool SegmentCompressor::decompress_with_zlib(u32 slot, u32 stored_size, const char **out_error)
{
    *out_error = nullptr;
    _stored_sizes[slot] = stored_size;
    z_stream stream;
    prepare_stream(stream, _allocator, compressed(slot), stored_size, uncompressed(slot), segment_bytes);
    int result = inflateInit(&stream);
    if (result != Z_OK) {
        *out_error = "inflateInit failed";
        _states[slot] = SlotState::Failed;
        return false;
    }
    result = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        *out_error = result == Z_BUF_ERROR ? "the zlib stream is cut short or inflates past 65536 bytes"
                                           : "the zlib stream is corrupt";
        _states[slot] = SlotState::Failed;
        return false;
    }
    if (stream.total_out != segment_bytes) {
        *out_error = "the zlib stream inflates to fewer than 65536 bytes";
        _states[slot] = SlotState::Failed;
        return false;
    }
    _states[slot] = SlotState::Ready;
    return true;
}

// Output -------------------------------------------------------------------------------

SegmentCompressedFileOutputBuffer::SegmentCompressedFileOutputBuffer(OutputArchive &target, Allocator &allocator)
    : _target(&target), _allocator(allocator), _length_position(target.position()), _compressor(allocator, 1)
{
    static const u8 placeholder[8] = {};
    _target->write(placeholder, sizeof placeholder);
    _begin = static_cast<u8 *>(allocator.allocate(window_bytes, 16));
    if (!_begin || !_compressor.is_valid()) {
        log_message("compressed_stream", "no memory for a compressed output stream");
        _failed = true;
        return;
    }
    _cursor = _begin;
    _capacity = window_bytes;
}

SegmentCompressedFileOutputBuffer::~SegmentCompressedFileOutputBuffer()
{
    (void)finish();
    _allocator.deallocate(_begin);
}

void SegmentCompressedFileOutputBuffer::write_slot()
{
    if (_compressor.state(0) != SegmentCompressor::SlotState::Ready)
        return;
    u8 size[4];
    store_u32_le(size, _compressor.stored_size(0));
    _target->write(size, sizeof size);
    _target->write(_compressor.compressed(0), _compressor.stored_size(0));
    _compressor.set_state(0, SegmentCompressor::SlotState::Empty);
}

void SegmentCompressedFileOutputBuffer::flush()
{
    u32 n = u32(_cursor - _begin);
    _cursor = _begin;
    _window_position += n;
    if (n == 0 || _failed)
        return;
    if (_finished) {
        log_message("compressed_stream", "%u bytes written after the end of the stream; dropped", n);
        _failed = true;
        return;
    }
    const u8 *from = _begin;
    while (n > 0) {
        write_slot();
        u32 take = SegmentCompressor::segment_bytes - _fill;
        if (take > n)
            take = n;
        memcpy(_compressor.uncompressed(0) + _fill, from, take);
        _fill += take;
        _total += take;
        from += take;
        n -= take;
        if (_fill == SegmentCompressor::segment_bytes) {
            _compressor.compress(0);
            _fill = 0;
        }
    }
    if (_target->has_failed())
        _failed = true;
}

bool SegmentCompressedFileOutputBuffer::finish()
{
    if (_finished)
        return !_failed && !_target->has_failed();
    flush();
    _finished = true;
    if (!_failed) {
        write_slot();
        if (_fill > 0) {
            memset(_compressor.uncompressed(0) + _fill, 0, SegmentCompressor::segment_bytes - _fill);
            _compressor.compress(0);
            _fill = 0;
            write_slot();
        }
    }
    u64 end = _target->position();
    u8 length[8];
    for (int i = 0; i < 8; ++i)
        length[i] = u8(_total >> (8 * i));
    _target->seek(_length_position);
    _target->write(length, sizeof length);
    _target->seek(end);
    if (_target->has_failed() && !_failed) {
        log_message("compressed_stream", "the target of a compressed stream failed; the stream is incomplete");
        _failed = true;
    }
    return !_failed;
}

SharedReference<SegmentCompressedFileOutputBuffer> make_segment_compressed_output_buffer(Allocator &allocator,
                                                                                      OutputArchive &target)
{
    return make_shared_reference<SegmentCompressedFileOutputBuffer>(allocator, target, allocator);
}

// Input --------------------------------------------------------------------------------

// Per slot: the segment read into it and the job that inflates it. A task is queued when
// its bytes are read; whoever moves it from queued to running (a pool job, or the reading
// thread that needs the segment first) inflates it, and the reading thread collects it.
struct SegmentCompressedFileInputBuffer::InflateAhead {
    enum : u32 { idle, queued, running, finished };

    /// Moves a queued task or copy to running; true for the one caller that does so.
    static bool claim(std::atomic<u32> &state)
    {
        u32 expected = queued;
        return state.compare_exchange_strong(expected, running, std::memory_order_acquire);
    }
    struct Task {
        InflateAhead *ahead = nullptr;
        u32 slot = 0;
        std::atomic<u32> state{idle};
        bool fast = false;           // decompress_fast succeeded (written by the runner)
        bool holds_segment = false;  // a segment was taken from the source into the slot
        u64 segment = 0;
        u32 stored = 0;
        const char *error = nullptr; // a failure found while reading the source
    };

    static void run(Task &task)
    {
        task.fast = task.ahead->compressor->decompress_fast(task.slot, task.stored);
    }

    static void job(const JobContext &context)
    {
        Task &task = *static_cast<Task *>(context.data);
        if (!claim(task.state))
            return; // the reading thread took it
        run(task);
        InflateAhead &ahead = *task.ahead;
        // Notified under the lock: the reader may destroy the buffer once it sees the task
        // finished, and it can only see that after this unlock.
        std::lock_guard<std::mutex> guard(ahead.lock);
        task.state.store(finished, std::memory_order_release);
        ahead.done.notify_all();
    }

    /// Reading thread: the task's inflate has run when this returns.
    void wait(Task &task)
    {
        if (claim(task.state)) {
            run(task);
        } else if (task.state.load(std::memory_order_acquire) != finished) {
            std::unique_lock<std::mutex> guard(lock);
            done.wait(guard, [&task] { return task.state.load(std::memory_order_acquire) == finished; });
        }
        task.state.store(idle, std::memory_order_relaxed);
    }

    // A piece of an inflated segment that a pool job copies to the caller's destination.
    // Whoever moves it from queued to running (a pool job, or the reading thread when it
    // needs the slot back) copies it.
    struct Copy {
        InflateAhead *ahead = nullptr;
        u32 slot = 0;
        std::atomic<u32> state{idle};
        const u8 *from = nullptr;
        u8 *to = nullptr;
        u32 bytes = 0;
        std::atomic<u32> *pending = nullptr; // the caller's count of copies not yet done
    };
    static constexpr u32 copies_per_slot =
        SegmentCompressor::segment_bytes / SegmentCompressedFileInputBuffer::deferred_copy_bytes;
    struct SlotCopies {
        Copy copies[copies_per_slot];
        u32 count = 0;               // reading thread: copies taken from this slot since it was refilled
        std::atomic<u32> running{0}; // copies not yet done; the slot is not refilled before 0
    };

    static void copy(Copy &copy)
    {
        memcpy(copy.to, copy.from, copy.bytes);
        InflateAhead &ahead = *copy.ahead;
        std::atomic<u32> &pending = *copy.pending;
        std::atomic<u32> &running = ahead.slot_copies[copy.slot].running;
        // Under the lock, as for inflate jobs: the reader may reuse the slot, and the
        // caller free the stream, once it sees the copy done. The slot's running count
        // drops last: from then on the reader may refill the slot and fill this record
        // for another copy, so nothing of it is read after that.
        std::lock_guard<std::mutex> guard(ahead.lock);
        copy.state.store(finished, std::memory_order_release);
        pending.fetch_sub(1, std::memory_order_release);
        running.fetch_sub(1, std::memory_order_release);
        ahead.done.notify_all();
    }

    static void copy_job(const JobContext &context)
    {
        Copy &piece = *static_cast<Copy *>(context.data);
        if (claim(piece.state))
            copy(piece); // else the reading thread took it, or it is an older job for a reused record
    }

    /// Reading thread: every copy out of `slot` is done when this returns.
    void settle_slot(u32 slot)
    {
        SlotCopies &copies = slot_copies[slot];
        for (u32 i = 0; i < copies.count; ++i)
            if (claim(copies.copies[i].state))
                copy(copies.copies[i]);
        if (copies.running.load(std::memory_order_acquire) != 0) {
            std::unique_lock<std::mutex> guard(lock);
            done.wait(guard, [&copies] { return copies.running.load(std::memory_order_acquire) == 0; });
        }
        for (u32 i = 0; i < copies.count; ++i)
            copies.copies[i].state.store(idle, std::memory_order_relaxed);
        copies.count = 0;
    }

    SegmentCompressor *compressor = nullptr;
    ThreadPool *pool = nullptr;
    JobId counter = no_job;
    Task tasks[SegmentCompressor::max_slots];
    SlotCopies slot_copies[SegmentCompressor::max_slots];
    std::mutex lock;
    std::condition_variable done;
};

namespace {

// Segments read ahead: on a pool, enough that the reading thread seldom waits for a job
// (each slot holds 128 KiB); without one, the segment being delivered and the next.
u32 ahead_slot_count(ThreadPool *pool) { return pool ? SegmentCompressor::max_slots : 2; }

} // namespace

SegmentCompressedFileInputBuffer::SegmentCompressedFileInputBuffer(InputArchive &source, Allocator &allocator,
                                                                   ThreadPool *pool)
    : _source(&source), _allocator(allocator), _compressor(allocator, ahead_slot_count(pool))
{
    u8 header[8];
    bool read = _source->read(header, sizeof header);
    u64 length = load_u64_le(header);
    u64 segments = length / SegmentCompressor::segment_bytes + (length % SegmentCompressor::segment_bytes != 0);
    if (!read) {
        log_message("compressed_stream", "stream header unreadable");
        _failed = true;
        return;
    }
    if (segments > _source->bytes_left() / min_segment_bytes) {
        log_message("compressed_stream", "stream length %llu needs %llu segments; the source holds %llu bytes",
                    (unsigned long long)length, (unsigned long long)segments,
                    (unsigned long long)_source->bytes_left());
        _failed = true;
        return;
    }
    _window = static_cast<u8 *>(allocator.allocate(window_bytes, 16));
    _ahead = make_new<InflateAhead>(allocator);
    if (!_window || !_ahead || !_compressor.is_valid()) {
        log_message("compressed_stream", "no memory for a compressed input stream");
        _failed = true;
        return;
    }
    _ahead->compressor = &_compressor;
    _ahead->pool = pool;
    if (pool)
        _ahead->counter = pool->new_counter();
    for (u32 slot = 0; slot < SegmentCompressor::max_slots; ++slot) {
        _ahead->tasks[slot].ahead = _ahead;
        _ahead->tasks[slot].slot = slot;
        for (InflateAhead::Copy &copy : _ahead->slot_copies[slot].copies) {
            copy.ahead = _ahead;
            copy.slot = slot;
        }
    }
    _size = length;
    _segment_count = segments;
    _begin = _cursor = _window;
    u32 slots = ahead_slot_count(pool);
    for (u32 slot = 0; slot < slots; ++slot)
        read_segment(slot);
    collect(0);
}

SegmentCompressedFileInputBuffer::~SegmentCompressedFileInputBuffer()
{
    if (_ahead && _ahead->pool) {
        // Jobs not yet run still point at the slots: let them all finish first.
        _ahead->pool->job_done(_ahead->counter);
        _ahead->pool->wait(_ahead->counter);
    }
    delete_with_allocator(_allocator, _ahead);
    _allocator.deallocate(_window);
}

// Takes the next segment's bytes from the source into `slot` and queues its inflate.
void SegmentCompressedFileInputBuffer::read_segment(u32 slot)
{
    InflateAhead::Task &task = _ahead->tasks[slot];
    task.holds_segment = false;
    task.error = nullptr;
    if (_segments_read >= _segment_count)
        return;
    task.holds_segment = true;
    task.segment = _segments_read++;
    task.stored = 0;
    u8 size_bytes[4] = {};
    if (!_source->read(size_bytes, sizeof size_bytes)) {
        task.error = "the source ends before the segment";
    } else {
        task.stored = load_u32_le(size_bytes);
        if (task.stored == 0 || task.stored > SegmentCompressor::segment_bytes)
            task.error = "stored size is not between 1 and 65536";
        else if (!_source->read(_compressor.compressed(slot), task.stored))
            task.error = "the source ends inside the segment";
    }
    if (task.error) {
        // No later segment can be found once one is bad.
        _segments_read = _segment_count;
        return;
    }
    task.state.store(InflateAhead::queued, std::memory_order_release);
    if (_ahead->pool) {
        JobItem item = {&InflateAhead::job, &task, "inflate_segment", 0};
        _ahead->pool->post(_ahead->counter, 1, &item);
    }
}

// Waits for the segment in `slot` and settles it: ready, or failed with its reason logged.
void SegmentCompressedFileInputBuffer::collect(u32 slot)
{
    InflateAhead::Task &task = _ahead->tasks[slot];
    if (_collect_stopped || !task.holds_segment) {
        _compressor.set_state(slot, SegmentCompressor::SlotState::Empty);
        return;
    }
    const char *error = task.error;
    if (!error) {
        _ahead->wait(task);
        if (task.fast)
            _compressor.set_state(slot, SegmentCompressor::SlotState::Ready);
        else
            _compressor.decompress_with_zlib(slot, task.stored, &error);
    }
    if (error) {
        log_message("compressed_stream", "segment %llu (stored size %u) unreadable: %s",
                    (unsigned long long)task.segment, task.stored, error);
        _compressor.set_state(slot, SegmentCompressor::SlotState::Failed);
        _collect_stopped = true;
        _segments_read = _segment_count;
    }
}

// The current slot is used up: moves on to the next, refilling what it can.
void SegmentCompressedFileInputBuffer::next_slot()
{
    const u32 slots = ahead_slot_count(_ahead->pool);
    _compressor.set_state(_slot, SegmentCompressor::SlotState::Empty);
    ++_refill_count;
    _slot = _slot + 1 == slots ? 0 : _slot + 1;
    _offset = 0;
    refill_free_slots();
    collect(_slot);
}

// Refills used-up slots in ring order, so that segments keep their order in the slots. A
// slot that pool jobs still copy from waits for a later call, unless the reader needs it
// now: when every slot is used up, the oldest is the one it moves onto.
void SegmentCompressedFileInputBuffer::refill_free_slots()
{
    const u32 slots = ahead_slot_count(_ahead->pool);
    while (_refill_count > 0) {
        if (_ahead->slot_copies[_refill_slot].count) {
            if (_ahead->slot_copies[_refill_slot].running.load(std::memory_order_acquire) != 0 &&
                _refill_count < slots)
                return;
            _ahead->settle_slot(_refill_slot);
        }
        read_segment(_refill_slot);
        _refill_slot = _refill_slot + 1 == slots ? 0 : _refill_slot + 1;
        --_refill_count;
    }
}

bool SegmentCompressedFileInputBuffer::read_to(void *destination, u64 n, std::atomic<u32> *pending)
{
    u8 *out = static_cast<u8 *>(destination);
    const bool defer = out && pending && _ahead && _ahead->pool;
    JobItem items[InflateAhead::copies_per_slot];
    u32 item_count = 0;
    auto post = [&] {
        if (item_count)
            _ahead->pool->post(_ahead->counter, item_count, items);
        item_count = 0;
    };
    bool complete = true;
    while (n) {
        if (bytes_left() == 0) {
            post(); // under way before the refill, which may need their slot back
            refill();
            if (bytes_left() == 0) {
                complete = false; // the end, or a segment that failed (logged by collect)
                break;
            }
        }
        u32 take = bytes_left() < n ? bytes_left() : u32(n);
        InflateAhead::SlotCopies *copies = nullptr;
        if (defer && _window_in_slot && take >= deferred_copy_bytes)
            copies = &_ahead->slot_copies[_slot];
        if (copies && copies->count < InflateAhead::copies_per_slot) {
            InflateAhead::Copy &copy = copies->copies[copies->count++];
            copy.from = _cursor;
            copy.to = out;
            copy.bytes = take;
            copy.pending = pending;
            pending->fetch_add(1, std::memory_order_relaxed);
            copies->running.fetch_add(1, std::memory_order_relaxed);
            copy.state.store(InflateAhead::queued, std::memory_order_release);
            items[item_count++] = {&InflateAhead::copy_job, &copy, "copy_segment_bytes", 0};
            if (item_count == InflateAhead::copies_per_slot)
                post();
        } else if (out) {
            memcpy(out, _cursor, take);
        }
        if (out)
            out += take;
        consume(take);
        n -= take;
    }
    post();
    return complete;
}

void SegmentCompressedFileInputBuffer::settle_copies()
{
    if (!_ahead)
        return;
    for (u32 slot = 0; slot < SegmentCompressor::max_slots; ++slot)
        if (_ahead->slot_copies[slot].count)
            _ahead->settle_slot(slot);
}

void SegmentCompressedFileInputBuffer::refill()
{
    if (!_window)
        return;
    u32 kept = bytes_left();
    _window_position += u64(_cursor - _begin);
    if (_window_in_slot) {
        if (kept >= window_bytes) {
            // The window is full already; nothing can be added.
            _begin = _cursor;
            _count = kept;
            return;
        }
        memcpy(_window, _cursor, kept);
        _window_in_slot = false;
        if (_offset == SegmentCompressor::segment_bytes)
            next_slot();
    } else {
        memmove(_window, _cursor, kept);
    }
    _begin = _cursor = _window;
    _count = kept;
    if (kept == 0 && _produced < _size && !_failed) {
        if (_compressor.state(_slot) != SegmentCompressor::SlotState::Ready) {
            // A segment that failed to read or inflate is never delivered.
            _failed = true;
            return;
        }
        // The window is the rest of the segment where it lies: no copy.
        u64 want = _size - _produced;
        u32 take = SegmentCompressor::segment_bytes - _offset;
        if (take > want)
            take = u32(want);
        _begin = _cursor = _compressor.uncompressed(_slot) + _offset;
        _count = take;
        _offset += take;
        _produced += take;
        _window_in_slot = true;
        return;
    }
    while (_count < window_bytes && _produced < _size && !_failed) {
        if (_compressor.state(_slot) != SegmentCompressor::SlotState::Ready) {
            _failed = true;
            break;
        }
        u64 want = _size - _produced;
        u32 take = window_bytes - _count;
        if (take > SegmentCompressor::segment_bytes - _offset)
            take = SegmentCompressor::segment_bytes - _offset;
        if (take > want)
            take = u32(want);
        memcpy(_window + _count, _compressor.uncompressed(_slot) + _offset, take);
        _count += take;
        _offset += take;
        _produced += take;
        if (_offset == SegmentCompressor::segment_bytes)
            next_slot();
    }
}

void SegmentCompressedFileInputBuffer::seek(u64 target)
{
    while (position() < target) {
        if (bytes_left() == 0) {
            refill();
            if (bytes_left() == 0)
                return;
        }
        u64 skip = target - position();
        consume(skip < bytes_left() ? u32(skip) : bytes_left());
    }
}

SharedReference<SegmentCompressedFileInputBuffer> make_segment_compressed_input_buffer(Allocator &allocator,
                                                                                    InputArchive &source,
                                                                                    ThreadPool *pool)
{
    return make_shared_reference<SegmentCompressedFileInputBuffer>(allocator, source, allocator, pool);
}

} // namespace tallow

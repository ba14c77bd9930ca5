#pragma once
// Segment-compressed streams: a payload stored as independently compressed 64 KiB
// segments, so that a reader streams through a large file with fixed memory.
//
// Stream format (little-endian):
//   u64 L                    total uncompressed length
//   per segment, ceil(L / 65536) of them:
//     u32 S                  stored size, 1 to 65536
//     S bytes                S = 65536: the 65536 bytes as they are; otherwise a zlib
//                            stream (RFC 1950) that inflates to exactly 65536 bytes
// Every segment holds 65536 uncompressed bytes; the last is padded with zero bytes.
//
// Writing (the target archive must outlive the buffer):
//   OutputArchive file(file_system.open_output("data.bin", allocator, false));
//   {
//       auto compressed = make_segment_compressed_output_buffer(allocator, file);
//       OutputArchive archive(compressed);
//       archive.write(bytes, n);
//       if (!compressed->finish() || !file.flush()) { /* not written */ }
//   }
//
// Reading (the source archive must outlive the buffer):
//   InputArchive file(file_system.open_input("data.bin", allocator, true));
//   InputArchive archive(make_segment_compressed_input_buffer(allocator, file));
//   archive.read(bytes, n);   // false on a truncated or corrupt stream, see InputArchive
//
// A reader never delivers bytes of a segment it could not read or inflate: a stored size
// of 0 or over 65536, a zlib error, a segment that inflates to anything but 65536 bytes
// or a source that ends early logs the segment's index and fails the buffer from that
// segment on. Segments are inflated with libdeflate, whole, and with zlib where libdeflate
// refuses one (so the logged reason stays zlib's) or the zlib header names a window under
// 32 KiB (zlib then refuses distances libdeflate would accept). zlib's memory comes from
// the buffer's allocator; libdeflate's decompressors (one per slot) from malloc, as its
// allocator hook is process-wide. Each stream belongs to one thread; compression runs
// inside `flush`.
//
// A reader given a thread pool reads up to `SegmentCompressor::max_slots` segments ahead
// and inflates them on the pool while the reading thread hands bytes on in order; without
// one it inflates on the reading thread, one segment ahead. Either way it delivers the
// same bytes and logs the same failures: a segment's failure is logged when the reader
// moves onto that segment, and nothing of it or after it is delivered. When a pool job has
// not started by the time its segment is needed, the reading thread inflates it itself,
// so a pool with no worker threads still makes progress. The pool must outlive the reader.
//
// `read_to` can leave copies to the pool as well: a piece of at least
// `deferred_copy_bytes` that lies in an inflated segment is copied to its destination by
// a pool job, and that segment's slot is not refilled until its copies are done. The
// caller counts its pieces in an atomic it passes, and must not use (or free) the
// destination before that count is back to zero or `settle_copies` has returned. The
// reading thread then only walks the stream, while first writes to fresh destination
// memory (the dearest part of a copy into newly mapped pages) run on several threads.

#include "foundation/memory/allocator.h"
#include "foundation/io/input_buffer.h"
#include "foundation/io/output_buffer.h"
#include "foundation/io/shared_reference.h"

#include <atomic>

struct libdeflate_decompressor;

namespace tallow {

class InputArchive;
class OutputArchive;
class ThreadPool;

/// The compression context of one stream: per slot a 65536-byte uncompressed buffer, a
/// 65536-byte compressed buffer and a state. The writer uses one slot, the reader two, or
/// up to max_slots when it inflates ahead on a pool.
class SegmentCompressor {
  public:
    static constexpr u32 segment_bytes = 65536;
    static constexpr u32 max_slots = 8;
    enum class SlotState : u32 { Empty = 0, Ready = 2, Failed = 3 };

    SegmentCompressor(Allocator &allocator, u32 slot_count);
    ~SegmentCompressor();
    SegmentCompressor(const SegmentCompressor &) = delete;
    SegmentCompressor &operator=(const SegmentCompressor &) = delete;

    /// False when the buffers could not be allocated.
    bool is_valid() const { return _uncompressed != nullptr; }
    u8 *uncompressed(u32 slot) { return _uncompressed + u64(slot) * segment_bytes; }
    u8 *compressed(u32 slot) { return _compressed + u64(slot) * segment_bytes; }
    SlotState state(u32 slot) const { return _states[slot]; }
    void set_state(u32 slot, SlotState state) { _states[slot] = state; }
    u32 stored_size(u32 slot) const { return _stored_sizes[slot]; }

    /// Compresses the slot's 65536 uncompressed bytes into its compressed buffer. When
    /// deflate fails or saves nothing, the segment is stored raw (stored size 65536).
    /// The slot becomes ready.
    void compress(u32 slot);
    /// Turns the `stored_size` bytes in the slot's compressed buffer into its 65536
    /// uncompressed bytes; the slot becomes ready, or failed (with a reason in
    /// `out_error`) when the bytes are not a valid segment.
    bool decompress(u32 slot, u32 stored_size, const char **out_error);
    /// The part of `decompress` that may run on any thread (one call per slot at a time;
    /// no allocator, no state change): true when the segment is raw or libdeflate
    /// inflated it to exactly 65536 bytes. False leaves the verdict to `decompress`.
    bool decompress_fast(u32 slot, u32 stored_size);
    /// The rest of `decompress`: inflates with zlib, which decides and names any error.
    bool decompress_with_zlib(u32 slot, u32 stored_size, const char **out_error);

  private:
    Allocator &_allocator;
    u32 _slot_count;
    u8 *_uncompressed = nullptr; // slot_count x 65536
    u8 *_compressed = nullptr;   // slot_count x 65536
    SlotState _states[max_slots] = {};
    u32 _stored_sizes[max_slots] = {};
    libdeflate_decompressor *_inflaters[max_slots] = {}; // each made on its slot's first inflate
};

/// Compresses what is written to it into a segment-compressed stream on a target archive.
class SegmentCompressedFileOutputBuffer final : public OutputBuffer {
  public:
    static constexpr u32 window_bytes = 32768;

    /// Writes the 8-byte length placeholder at the target's current position. The target
    /// must outlive this buffer. Allocation failure sets the failed flag.
    SegmentCompressedFileOutputBuffer(OutputArchive &target, Allocator &allocator);
    /// Ends the stream (see `finish`) when that was not done.
    ~SegmentCompressedFileOutputBuffer() override;

    // See OutputBuffer: compresses every full segment and writes it to the target.
    void flush() override;

    /// Ends the stream: writes the last, zero-padded segment, then fills in the length
    /// field and returns the target to the stream's end. Returns false when the stream
    /// or the target lost any byte. Later writes fail. Calling it again returns the
    /// same answer.
    [[nodiscard]] bool finish();
    /// Uncompressed bytes taken so far.
    u64 total_bytes() const { return _total; }

  private:
    void write_slot();

    OutputArchive *_target;
    Allocator &_allocator;
    u64 _length_position; // absolute position of the length field in the target
    u32 _fill = 0;        // bytes in the slot's uncompressed buffer
    u64 _total = 0;       // uncompressed bytes taken (64 bits: streams of 4 GiB and more)
    SegmentCompressor _compressor;
    bool _finished = false;
};

/// Reads a segment-compressed stream from a source archive; its stream size is L.
class SegmentCompressedFileInputBuffer final : public InputBuffer {
  public:
    static constexpr u32 window_bytes = 32768;

    /// Reads the length and starts on the first segments. The source (and `pool`, when
    /// given) must outlive this buffer. A bad header (unreadable, or a length the source
    /// cannot hold) fails the buffer with stream size 0.
    SegmentCompressedFileInputBuffer(InputArchive &source, Allocator &allocator, ThreadPool *pool = nullptr);
    /// Waits for its jobs still on the pool.
    ~SegmentCompressedFileInputBuffer() override;

    // See InputBuffer. When the window is used up, the next window is the rest of the
    // current segment in place (no copy); unread bytes left in the window are copied to
    // the front of a 32768-byte window and topped up from the segments.
    void refill() override;
    // See InputBuffer: skips forward only; a target at or before the position does nothing.
    void seek(u64 position) override;

    /// Pieces smaller than this are always copied on the reading thread.
    static constexpr u32 deferred_copy_bytes = 16384;
    /// Reads the next `n` bytes into `destination`, as reading through the window would.
    /// With a pool and `pending`, pieces of at least deferred_copy_bytes that lie in an
    /// inflated segment are copied by pool jobs instead: each adds one to `*pending` when
    /// it is handed on and takes it off once its bytes are in place. False when the stream
    /// ends or fails first; copies already handed on still complete.
    bool read_to(void *destination, u64 n, std::atomic<u32> *pending);
    /// Returns once every copy `read_to` handed on is done, running those no pool job has
    /// started yet.
    void settle_copies();

  private:
    struct InflateAhead;

    void read_segment(u32 slot);
    void collect(u32 slot);
    void next_slot();
    void refill_free_slots();

    InputArchive *_source;
    Allocator &_allocator;
    u8 *_window = nullptr;
    u32 _slot = 0;           // slot being delivered
    u32 _offset = 0;         // read offset inside the current slot's 65536 bytes
    u64 _produced = 0;       // stream position just past the window's last byte
    u64 _segment_count = 0;  // ceil(L / 65536)
    u64 _segments_read = 0;  // segments taken from the source so far
    bool _window_in_slot = false; // the window is the current slot's bytes in place
    bool _collect_stopped = false; // a failed segment was met: later ones are not looked at
    u32 _refill_slot = 0;    // the oldest used-up slot still to be refilled (ring order)
    u32 _refill_count = 0;   // used-up slots not yet refilled: their copies are still running
    SegmentCompressor _compressor;
    InflateAhead *_ahead = nullptr; // per slot: the pending read and its inflate job
};

/// Makes a compressing buffer over `target` from `allocator`; null when out of memory.
SharedReference<SegmentCompressedFileOutputBuffer> make_segment_compressed_output_buffer(Allocator &allocator,
                                                                                      OutputArchive &target);
/// Makes a decompressing buffer over `source` from `allocator`; null when out of memory.
/// A corrupt header gives a failed buffer (every read through it fails). With a `pool`,
/// segments are inflated ahead on it.
SharedReference<SegmentCompressedFileInputBuffer> make_segment_compressed_input_buffer(Allocator &allocator,
                                                                                    InputArchive &source,
                                                                                    ThreadPool *pool = nullptr);

} // namespace tallow

#pragma once
// Buffers over memory.
//
// `MemoryInputBuffer` reads a block the caller keeps alive; its window is the whole block.
// `MemoryOutputBuffer` collects what is written in a list of chunks. Seeking back and
// writing again overwrites earlier bytes in place (used to fill in length fields after
// the fact); `copy_to` gathers everything into one block.
//
//   auto out = make_shared_reference<MemoryOutputBuffer>(allocator, allocator);
//   { OutputArchive archive(out); archive.write(header); ... }
//   Array<u8> bytes(allocator); bytes.resize(u32(out->total_size())); out->copy_to(bytes.data());

#include "foundation/containers/array.h"
#include "foundation/io/input_buffer.h"
#include "foundation/io/output_buffer.h"

namespace tallow {

class MemoryInputBuffer final : public InputBuffer {
  public:
    /// Reads `size` bytes at `data`; the block is not copied and must outlive the buffer.
    MemoryInputBuffer(const void *data, u64 size);
    // See InputBuffer: the whole block is always in the window.
    void refill() override {}
    void seek(u64 position) override;
};

class MemoryOutputBuffer final : public OutputBuffer {
  public:
    static constexpr u32 window_bytes = 32768;

    /// Window and chunks come from `allocator`. A failed window allocation sets the
    /// failed flag and drops every write.
    explicit MemoryOutputBuffer(Allocator &allocator);
    ~MemoryOutputBuffer() override;

    // See OutputBuffer. Appends the window as a chunk at the current chunk index,
    // overwriting the bytes that follow a backward seek.
    void flush() override;
    // See OutputBuffer. A target past the written end pads with zero bytes.
    void seek(u64 position) override;

    /// Bytes written so far (flushes first), whatever the current position.
    u64 total_size();
    /// Flushes, then copies every byte written, in stream order, to `destination`
    /// (which holds at least `total_size` bytes).
    void copy_to(void *destination);

  private:
    void insert_chunk(const u8 *data, u32 n);

    Allocator &_allocator;
    Array<Array<u8>> _chunks;
    u32 _chunk_index = 0; // where the next flushed chunk goes
};

} // namespace tallow

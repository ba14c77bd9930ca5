#pragma once
// Buffers over open files, made by `DiskFileSystem::open_input` / `open_output`.
//
// `FileInputBuffer` reads through a 32768-byte window. With read-ahead, the kernel is
// asked to fetch the next 32768 bytes in the background while the window is consumed;
// they are copied through a second block when the window runs out. The
// stream size is the file's size when it was opened; a file that shrinks meanwhile gives
// a read failure, never stale bytes.
//
// `FileOutputBuffer` writes through a 32768-byte window with positioned writes, so
// seeking back and writing patches the file. A write error (a full disk, an I/O error)
// is logged once and sets the sticky failed flag; `OutputArchive::flush` reports it.
//
// Buffers belong to one thread at a time.

#include "foundation/memory/allocator.h"
#include "foundation/io/input_buffer.h"
#include "foundation/io/output_buffer.h"


namespace tallow {

class FileInputBuffer final : public InputBuffer {
  public:
    static constexpr u32 block_bytes = 32768;

    /// Takes ownership of the open descriptor `fd` of a file of `size` bytes; reading
    /// starts at `position`. Blocks come from `allocator`.
    FileInputBuffer(int fd, u64 size, u64 position, bool read_ahead, Allocator &allocator);
    /// Waits for a pending read, frees the blocks and closes the file.
    ~FileInputBuffer() override;

    // See InputBuffer.
    void refill() override;
    // See InputBuffer: any position; the window is emptied.
    void seek(u64 position) override;

  private:
    void issue_read_ahead(u32 offset_in_block, u32 n);
    void complete_read_ahead();
    u32 read_at(u64 position, u8 *to, u32 n);

    int _fd;
    Allocator &_allocator;
    u8 *_window_block = nullptr; // block A
    u8 *_ahead_block = nullptr;  // block B: bytes at _ahead_position
    bool _read_ahead;
    bool _pending = false;    // a read into B was announced and not yet made
    u64 _ahead_position = 0;  // file position of B's first byte
    u32 _ahead_count = 0;     // valid bytes in B (after completion)
    u32 _ahead_offset = 0;    // where the pending read lands in B
    u32 _ahead_bytes = 0;     // bytes the pending read asks for
};

class FileOutputBuffer final : public OutputBuffer {
  public:
    static constexpr u32 window_bytes = 32768;

    /// Takes ownership of the open descriptor `fd`; writing starts at `position`.
    FileOutputBuffer(int fd, u64 position, Allocator &allocator);
    /// Writes the pending bytes and closes the file (a failure is logged).
    ~FileOutputBuffer() override;

    // See OutputBuffer.
    void flush() override;
    // See OutputBuffer: flushes, then continues at `position` (patching earlier bytes).
    void seek(u64 position) override;

  private:
    int _fd;
    Allocator &_allocator;
};

} // namespace tallow

#pragma once
// An abstract byte sink with a window in memory. Writers (normally an `OutputArchive`)
// fill the window and ask `flush` to hand it on; `seek` moves the stream position.
//
// A new sink implements `flush` (and `seek` when it can): `flush` hands the bytes from
// the window's begin to the cursor on, advances the window position by their count and
// resets the cursor. A sink that cannot take bytes sets the sticky failed flag and logs
// once; it never reports data as written that it dropped. Derived destructors flush.

#include "foundation/types.h"

namespace tallow {

class OutputBuffer {
  public:
    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;
    virtual ~OutputBuffer() = default;

    /// Moves the stream to the absolute `position`. The base does nothing.
    virtual void seek(u64 position) { (void)position; }
    /// Hands the window's bytes on and empties it.
    virtual void flush() = 0;

    /// Absolute stream position of the next written byte.
    u64 position() const { return _window_position + u64(_cursor - _begin); }
    /// Free bytes in the window.
    u32 room() const { return u32(_begin + _capacity - _cursor); }
    u8 *cursor() { return _cursor; }
    /// Marks `n` bytes after the cursor as written; `n` must not exceed `room`.
    void advance(u32 n) { _cursor += n <= room() ? n : room(); }
    u64 size_limit() const { return _size_limit; }
    /// True once the sink dropped bytes it was given; sticky.
    bool has_failed() const { return _failed; }

  protected:
    u64 _size_limit = 0x7FFFFFFFFFFFFFFFull;
    u64 _window_position = 0; // absolute position of _begin
    u8 *_begin = nullptr;
    u8 *_cursor = nullptr;
    u32 _capacity = 0; // window bytes
    bool _failed = false;
};

} // namespace tallow

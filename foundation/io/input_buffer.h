#pragma once
// An abstract byte source with a window in memory. Readers (normally an `InputArchive`)
// copy from the window and ask `refill` for more; `seek` moves the stream position.
//
// A new source implements `refill` (and `seek` when it can): after `refill` the window
// holds the unread bytes that were left plus what could be added; a window that gains no
// bytes means the end of the stream, or a failure when `has_failed` is set. A source must
// never deliver bytes past its stream size or bytes it could not read or decode.

#include "foundation/types.h"

namespace tallow {

class InputBuffer {
  public:
    InputBuffer() = default;
    InputBuffer(const InputBuffer &) = delete;
    InputBuffer &operator=(const InputBuffer &) = delete;
    virtual ~InputBuffer() = default;

    /// Moves the stream to the absolute `position`. The base does nothing.
    virtual void seek(u64 position) { (void)position; }
    /// Moves the window forward: keeps the unread bytes and adds the next ones.
    virtual void refill() = 0;

    /// Size of the whole stream in bytes.
    u64 size() const { return _size; }
    /// Absolute stream position of the next unread byte.
    u64 position() const { return _window_position + u64(_cursor - _begin); }
    /// Unread bytes in the window.
    u32 bytes_left() const { return u32(_begin + _count - _cursor); }
    const u8 *cursor() const { return _cursor; }
    /// Marks `n` window bytes as read; `n` must not exceed `bytes_left`.
    void consume(u32 n) { _cursor += n <= bytes_left() ? n : bytes_left(); }
    /// True once the source met bytes it could not read or decode; sticky.
    bool has_failed() const { return _failed; }

  protected:
    u64 _size = 0;            // bytes in the whole stream
    u64 _window_position = 0; // absolute position of _begin
    const u8 *_begin = nullptr;
    const u8 *_cursor = nullptr;
    u32 _count = 0; // valid bytes from _begin
    bool _failed = false;
};

} // namespace tallow

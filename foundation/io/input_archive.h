#pragma once
// Typed code's view of an input stream: a position and plain reads of bytes, over a
// shared `InputBuffer`. Values are read in the processor's little-endian order.
//
//   InputArchive archive(file_system.open_input("boot.bundle", allocator, true));
//   u32 version = 0;
//   archive.read(version);
//   if (archive.has_failed()) { /* truncated or corrupt: give up on this resource */ }
//
// Reads never go past the stream: a read that cannot be satisfied fills the rest of its
// destination with zero bytes, logs once, returns false and sets the sticky failed flag.
// Callers may check each read or only `has_failed` after a record.
// One thread at a time.

#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/io/input_buffer.h"
#include "foundation/io/shared_reference.h"

#include <type_traits>

namespace tallow {

class InputArchive {
  public:
    /// Takes a reference to `buffer`; a null buffer gives an archive whose reads all fail.
    explicit InputArchive(SharedReference<InputBuffer> buffer);
    ~InputArchive();
    InputArchive(const InputArchive &) = delete;
    InputArchive &operator=(const InputArchive &) = delete;

    /// Copies the next `n` bytes to `destination` and advances the position by `n`.
    /// False (the rest zero-filled, the archive failed) when the stream ends or is corrupt.
    bool read(void *destination, u64 n);
    /// Reads a fixed-size value as its bytes.
    template <typename T> bool read(T &value)
    {
        static_assert(std::is_trivially_copyable_v<T>, "read plain values only");
        return read(&value, sizeof(T));
    }

    /// Reads the rest of the stream into `out` as text (zero-terminated after the bytes;
    /// an empty stream gives ""). False (and `out` empty) when the read fails or the text
    /// would pass 4 GiB. `out` must own its text (have an allocator).
    bool read_whole_text(DynamicString &out);
    /// Reads the rest of the stream into `out`, resized to fit. False (and `out` empty)
    /// when the read fails or the bytes would pass 4 GiB.
    bool read_whole_bytes(Array<u8> &out);

    /// Position relative to the base, in bytes.
    u64 position() const { return _position; }
    /// Moves the position; the buffer is sought lazily, on the next read.
    void seek(u64 position) { _position = position; }
    /// Stream size when the archive was made.
    u64 size() const { return _end; }
    /// Bytes between the position and the end.
    u64 bytes_left() const { return _position < _end ? _end - _position : 0; }
    bool has_failed() const { return _failed; }
    /// For typed readers that find a bad value (a count too large, an unknown kind):
    /// logs `what` and sets the failed flag.
    void mark_failed(const char *what);
    InputBuffer *buffer() const { return _buffer.get(); }

    /// Records an object made while reading; returns its index (1 for the first).
    u32 add_object(void *object);
    /// The object recorded at `index`; null for index 0 or an index not recorded.
    void *object(u32 index) const { return index < _objects.size() ? _objects[index] : nullptr; }

  private:
    void fail(const char *reason, u64 wanted);

    SharedReference<InputBuffer> _buffer;
    u64 _base = 0;     // stream position of archive position 0
    u64 _end = 0;      // stream size at construction
    u64 _position = 0; // relative to _base
    Array<void *> _objects; // index 0 is "no object"
    bool _failed = false;
};

/// Reads a u32 count and that many bytes into `out`. False (and `out` empty) when the
/// count exceeds the bytes left in the stream or the read fails.
bool read_array(Array<u8> &out, InputArchive &archive);
bool read_array(Array<char> &out, InputArchive &archive);
/// Reads a u32 count and that many 8-byte items into `out`, checked like `read_array`.
bool read_array_u64(Array<u64> &out, InputArchive &archive);
/// Reads a u32 count, then per string a u32 length and its bytes, into `out` (each string
/// made with the array's allocator). Counts and lengths are checked like `read_array`.
bool read_string_array(Array<DynamicString> &out, InputArchive &archive);

} // namespace tallow

#pragma once
// Typed code's view of an output stream over a shared `OutputBuffer`: plain writes of
// bytes in the processor's little-endian order, a position and seeking (for patching
// length fields). The last reference to the buffer destroys it, and its destructor
// flushes and closes it; call `flush` first when the outcome matters.
//
//   OutputArchive archive(file_system.open_output("save.new", allocator, false));
//   archive.write(header);
//   archive.write(payload.data(), payload.size());
//   if (!archive.flush()) { /* disk full or write error: do not use the file */ }
//
// One thread at a time.

#include "foundation/containers/hash_map.h"
#include "foundation/io/output_buffer.h"
#include "foundation/io/shared_reference.h"

#include <type_traits>

namespace tallow {

class OutputArchive {
  public:
    /// Takes a reference to `buffer`; a null buffer gives an archive whose writes all fail.
    explicit OutputArchive(SharedReference<OutputBuffer> buffer);
    ~OutputArchive();
    OutputArchive(const OutputArchive &) = delete;
    OutputArchive &operator=(const OutputArchive &) = delete;

    /// Copies `n` bytes from `source` into the stream. False once the buffer has failed.
    bool write(const void *source, u64 n);
    /// Writes a fixed-size value as its bytes.
    template <typename T> bool write(const T &value)
    {
        static_assert(std::is_trivially_copyable_v<T>, "write plain values only");
        return write(&value, sizeof(T));
    }

    /// Hands the buffered bytes on (to the file, the compressor, the chunk list).
    /// False when any byte written so far was dropped.
    [[nodiscard]] bool flush();
    /// Absolute stream position of the next written byte.
    u64 position() const { return _buffer ? _buffer->position() : 0; }
    /// Moves the stream position (the buffer's rules apply: memory and file buffers
    /// patch earlier bytes, a compressed buffer ignores it).
    void seek(u64 position);
    bool has_failed() const { return !_buffer || _buffer->has_failed(); }
    OutputBuffer *buffer() const { return _buffer.get(); }

    /// The index recorded for `object`, or 0 (null's index) when it has none.
    u32 object_index(const void *object) const;
    /// Records `index` for `object` (replacing an earlier one).
    void set_object_index(const void *object, u32 index);

  private:
    SharedReference<OutputBuffer> _buffer;
    HashMap<u64, u32> _objects; // address -> index; null has index 0
};

} // namespace tallow

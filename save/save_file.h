#pragma once
// The save file around an encoded script value: a checked header and the payload as a
// segment-compressed stream.
//
// Layout (little-endian), written whole:
//   u32 check   crc32 (zlib's polynomial) over every byte from offset 4 to the end
//   u32 L       length of the compressed stream
//   u32 U       length of the payload once uncompressed
//   L bytes     the payload as a segment-compressed stream (see foundation/io/compressed_buffer.h)
//
//   Array<u8> file(allocator);
//   if (!save::write_save_file(payload, size, allocator, file)) { /* out of memory */ }
//   ...
//   Array<u8> payload(allocator);
//   if (!save::read_save_file(file.data(), file.size(), allocator, payload)) { /* broken */ }
//
// Both are pure functions of their bytes; any thread may call them.
#include "foundation/containers/array.h"
#include "foundation/types.h"

namespace tallow {
class Allocator;
}

namespace tallow::save {

/// Bytes before the stream.
constexpr u32 save_file_header_bytes = 12;
/// Largest payload a save file holds.
constexpr u64 max_save_payload_bytes = u64(1) << 30;

/// Builds the whole file for `size` payload bytes into `out_file` (its allocator); false
/// (logged) when the payload is larger than `max_save_payload_bytes` or memory runs out.
[[nodiscard]] bool write_save_file(const void *payload, u64 size, Allocator &allocator, Array<u8> &out_file);

/// Checks a whole save file and unpacks its payload into `out_payload`. False (logged,
/// `out_payload` empty) when the file is broken: shorter than the header, a check value
/// that does not match, lengths that disagree with the file or with each other, or a
/// stream that does not inflate to exactly U bytes. Nothing is read outside `file`.
[[nodiscard]] bool read_save_file(const void *file, u64 size, Allocator &allocator, Array<u8> &out_payload);

} // namespace tallow::save

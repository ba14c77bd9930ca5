#include "save/save_file.h"

#include "foundation/io/compressed_buffer.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/little_endian.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/io/output_archive.h"
#include "foundation/log.h"

#include <zlib.h>


namespace tallow::save {

namespace {

constexpr const char *log_category = "SaveSystem";

// crc32 over any number of bytes (zlib takes at most 4 GiB per call).
u32 checksum(const u8 *data, u64 size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        uInt n = size > 0x40000000u ? 0x40000000u : uInt(size);
        crc = crc32(crc, data, n);
        data += n;
        size -= n;
    }
    return u32(crc);
}

// The stream of U payload bytes: an 8-byte length and then one stored size (4 bytes) and
// at least one byte per 64 KiB segment. A U that needs more bytes than L is a lie.
bool stream_can_hold(u64 stream_bytes, u64 payload_bytes)
{
    u64 segments = (payload_bytes + SegmentCompressor::segment_bytes - 1) / SegmentCompressor::segment_bytes;
    return stream_bytes >= 8 && (stream_bytes - 8) / 5 >= segments;
}

} // namespace

bool write_save_file(const void *payload, u64 size, Allocator &allocator, Array<u8> &out_file)
{
    out_file.resize(0);
    if (size > max_save_payload_bytes) {
        log_message(log_category, "a save payload of %llu bytes is over the limit of %llu",
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(max_save_payload_bytes));
        return false;
    }
    auto memory = make_shared_reference<MemoryOutputBuffer>(allocator, allocator);
    if (!memory)
        return false;
    {
        OutputArchive stream(memory);
        auto compressed = make_segment_compressed_output_buffer(allocator, stream);
        if (!compressed)
            return false;
        OutputArchive archive(compressed);
        if (size > 0)
            archive.write(payload, size);
        if (archive.has_failed() || !compressed->finish() || !stream.flush())
            return false;
    }
    u64 stream_bytes = memory->total_size();
    u64 total = save_file_header_bytes + stream_bytes;
    if (total > 0xFFFFFFFFu)
        return false;
    out_file.resize(u32(total));
    if (out_file.size() != total)
        return false;
    u8 *bytes = out_file.data();
    memory->copy_to(bytes + save_file_header_bytes);
    store_u32_le(bytes + 4, u32(stream_bytes));
    store_u32_le(bytes + 8, u32(size));
    store_u32_le(bytes, checksum(bytes + 4, total - 4));
    return true;
}

bool read_save_file(const void *file, u64 size, Allocator &allocator, Array<u8> &out_payload)
{
    out_payload.resize(0);
    const u8 *bytes = static_cast<const u8 *>(file);
    if (!bytes || size < save_file_header_bytes) {
        log_message(log_category, "save file of %llu bytes is shorter than its header", static_cast<unsigned long long>(size));
        return false;
    }
    u64 stream_bytes = load_u32_le(bytes + 4);
    u64 payload_bytes = load_u32_le(bytes + 8);
    // Lengths are checked against the file before anything is read by them.
    if (stream_bytes != size - save_file_header_bytes) {
        log_message(log_category, "save file holds %llu stream bytes but says %llu",
                    static_cast<unsigned long long>(size - save_file_header_bytes),
                    static_cast<unsigned long long>(stream_bytes));
        return false;
    }
    if (checksum(bytes + 4, size - 4) != load_u32_le(bytes)) {
        log_message(log_category, "save file fails its check");
        return false;
    }
    if (payload_bytes > max_save_payload_bytes || !stream_can_hold(stream_bytes, payload_bytes)) {
        log_message(log_category, "save file claims %llu payload bytes in a stream of %llu",
                    static_cast<unsigned long long>(payload_bytes), static_cast<unsigned long long>(stream_bytes));
        return false;
    }
    u64 declared = load_u64_le(bytes + save_file_header_bytes);
    if (declared != payload_bytes) {
        log_message(log_category, "save file stream holds %llu bytes, the header says %llu",
                    static_cast<unsigned long long>(declared), static_cast<unsigned long long>(payload_bytes));
        return false;
    }
    out_payload.resize(u32(payload_bytes));
    if (out_payload.size() != payload_bytes)
        return false;
    InputArchive stream(make_shared_reference<MemoryInputBuffer>(allocator, bytes + save_file_header_bytes, stream_bytes));
    InputArchive archive(make_segment_compressed_input_buffer(allocator, stream));
    if (payload_bytes > 0 && !archive.read(out_payload.data(), payload_bytes)) {
        log_message(log_category, "save file stream does not inflate to its payload");
        out_payload.resize(0);
        return false;
    }
    return true;
}

} // namespace tallow::save

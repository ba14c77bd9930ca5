#include "tests/support/writers/segment_stream_writer.h"

#include <cstring>
#include <zlib.h>

namespace tallow::test {

namespace {
constexpr u32 segment_bytes = 65536;

void put_u32(std::vector<u8> &out, u32 v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(u8(v >> (8 * i)));
}

std::vector<u8> padded(const std::vector<u8> &bytes)
{
    std::vector<u8> segment(segment_bytes, 0);
    memcpy(segment.data(), bytes.data(), bytes.size() < segment_bytes ? bytes.size() : segment_bytes);
    return segment;
}
} // namespace

std::vector<u8> craft_segment_stream(u64 length, const std::vector<CraftedSegment> &segments)
{
    std::vector<u8> out;
    for (int i = 0; i < 8; ++i)
        out.push_back(u8(length >> (8 * i)));
    for (const CraftedSegment &segment : segments) {
        std::vector<u8> stored;
        switch (segment.form) {
        case CraftedSegment::Form::Zlib: {
            std::vector<u8> plain = padded(segment.bytes);
            uLongf size = compressBound(segment_bytes);
            stored.resize(size);
            compress2(stored.data(), &size, plain.data(), segment_bytes, Z_DEFAULT_COMPRESSION);
            stored.resize(size);
            break;
        }
        case CraftedSegment::Form::Raw:
            stored = padded(segment.bytes);
            break;
        case CraftedSegment::Form::Bytes:
            stored = segment.bytes;
            break;
        }
        put_u32(out, segment.stored_size != 0xFFFFFFFFu ? segment.stored_size : u32(stored.size()));
        out.insert(out.end(), stored.begin(), stored.end());
    }
    return out;
}

std::vector<u8> segment_stream_of(const void *data, u64 size)
{
    std::vector<CraftedSegment> segments;
    const u8 *bytes = static_cast<const u8 *>(data);
    for (u64 at = 0; at < size; at += segment_bytes) {
        u64 n = size - at < segment_bytes ? size - at : segment_bytes;
        CraftedSegment segment;
        segment.bytes.assign(bytes + at, bytes + at + n);
        std::vector<u8> plain = padded(segment.bytes);
        uLongf bound = compressBound(segment_bytes);
        std::vector<u8> probe(bound);
        compress2(probe.data(), &bound, plain.data(), segment_bytes, Z_DEFAULT_COMPRESSION);
        if (bound >= segment_bytes)
            segment.form = CraftedSegment::Form::Raw;
        segments.push_back(segment);
    }
    return craft_segment_stream(size, segments);
}

std::vector<u8> sample_bytes(u64 size, u32 seed, u32 noise_percent)
{
    static const char words[] = "unit level world render settings package resource bundle flow ";
    std::vector<u8> out(size);
    u32 state = seed * 2654435761u + 1;
    for (u64 i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 24) % 100 < noise_percent)
            out[i] = u8(state >> 16);
        else
            out[i] = u8(words[i % (sizeof words - 1)]);
    }
    return out;
}

} // namespace tallow::test

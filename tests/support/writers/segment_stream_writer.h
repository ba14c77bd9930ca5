#pragma once
// Test inputs for segment-compressed streams, built with zlib directly (not with the
// engine's writer), so readers are checked against streams made independently.
//
//   std::vector<u8> good = test::segment_stream_of(bytes.data(), bytes.size());
//   std::vector<u8> bad = test::craft_segment_stream(65536, {{Form::Zlib, payload, 70000}});

#include "foundation/types.h"

#include <vector>

namespace tallow::test {

struct CraftedSegment {
    enum class Form {
        Zlib,  // `bytes` (zero-padded to 65536) compressed with zlib's compress2
        Raw,   // `bytes` (zero-padded to 65536) stored as they are, stored size 65536
        Bytes, // `bytes` stored as they are: any content, any size
    };
    Form form = Form::Zlib;
    std::vector<u8> bytes;
    u32 stored_size = 0xFFFFFFFFu; // written in place of the real stored size unless 0xFFFFFFFF
};

/// A stream header with length `length` followed by `segments` in order.
std::vector<u8> craft_segment_stream(u64 length, const std::vector<CraftedSegment> &segments);

/// The stream of `size` bytes at `data`: zlib segments, raw where zlib saves nothing.
std::vector<u8> segment_stream_of(const void *data, u64 size);

/// `size` bytes of deterministic test data: runs of text-like bytes mixed with noise, so
/// that some segments compress and some (when `noise_percent` is high) do not.
std::vector<u8> sample_bytes(u64 size, u32 seed, u32 noise_percent);

} // namespace tallow::test

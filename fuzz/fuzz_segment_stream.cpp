// Segment-compressed streams: decompress any bytes through the archives, once inflating
// on the reading thread and once ahead on a thread pool, and once more with the copies
// into the pieces left to the pool; all must read the same.
#include "foundation/io/compressed_buffer.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"

#include <atomic>
#include <cstdlib>
#include <vector>

using namespace tallow;

namespace {

// Reads the whole stream in pieces of `n` bytes; returns what arrived.
std::vector<u8> read_all(const std::vector<u8> &bytes, u64 n, ThreadPool *pool)
{
    Allocator &a = default_allocator();
    InputArchive source(make_shared_reference<MemoryInputBuffer>(a, bytes.data(), u64(bytes.size())));
    InputArchive archive(make_segment_compressed_input_buffer(a, source, pool));
    std::vector<u8> out;
    static u8 piece[256 * 331 + 1];
    while (archive.bytes_left() > 0) {
        u64 take = archive.bytes_left() < n ? archive.bytes_left() : n;
        if (!archive.read(piece, take))
            break;
        out.insert(out.end(), piece, piece + take);
    }
    return out;
}

// As read_all, with read_to leaving the copies of large pieces to `pool`.
std::vector<u8> read_all_copied(const std::vector<u8> &bytes, u64 n, ThreadPool *pool)
{
    Allocator &a = default_allocator();
    InputArchive source(make_shared_reference<MemoryInputBuffer>(a, bytes.data(), u64(bytes.size())));
    auto reader = make_segment_compressed_input_buffer(a, source, pool);
    std::atomic<u32> pending{0};
    std::vector<std::vector<u8>> pieces;
    for (u64 at = 0; at < reader->size();) {
        u64 take = reader->size() - at < n ? reader->size() - at : n;
        pieces.emplace_back(take);
        if (!reader->read_to(pieces.back().data(), take, &pending)) {
            reader->settle_copies(); // copies into the dropped piece may still run
            pieces.pop_back();
            break;
        }
        at += take;
    }
    reader->settle_copies();
    if (pending.load() != 0)
        abort();
    std::vector<u8> out;
    for (const std::vector<u8> &piece : pieces)
        out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    std::vector<u8> bytes(data, data + size);
    // Odd piece sizes cross windows and segments at varying places.
    u64 n = size ? data[0] * 331 + 1 : 1;
    std::vector<u8> plain = read_all(bytes, n, nullptr);
    if (plain != read_all(bytes, n, &fuzz::pool()) || plain != read_all_copied(bytes, n, &fuzz::pool()))
        abort();
    return 0;
}

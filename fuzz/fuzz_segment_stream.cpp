// Segment-compressed streams: decompress any bytes through the archives, once inflating
// on the reading thread and once ahead on a thread pool; both must read the same.
#include "foundation/io/compressed_buffer.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "fuzz/fuzz_support.h"

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

ThreadPool &pool()
{
    // Lives for the process: libFuzzer never returns from its loop.
    static ThreadRegistry *registry = make_new<ThreadRegistry>(default_allocator(), default_allocator(), "main");
    static ThreadPool *instance = make_new<ThreadPool>(default_allocator(), default_allocator(), 2u, *registry);
    return *instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    std::vector<u8> bytes(data, data + size);
    // Odd piece sizes cross windows and segments at varying places.
    u64 n = size ? data[0] * 331 + 1 : 1;
    if (read_all(bytes, n, nullptr) != read_all(bytes, n, &pool()))
        abort();
    return 0;
}

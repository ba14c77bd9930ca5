// Segment-compressed streams: decompress any bytes through the archives.
#include "foundation/io/compressed_buffer.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    std::vector<u8> bytes(data, data + size);
    InputArchive source(make_shared_reference<MemoryInputBuffer>(a, bytes.data(), u64(bytes.size())));
    InputArchive archive(make_segment_compressed_input_buffer(a, source));
    // Odd piece sizes cross windows and segments at varying places.
    static u8 piece[256 * 331 + 1];
    u64 n = size ? data[0] * 331 + 1 : 1;
    while (archive.bytes_left() > 0) {
        u64 take = archive.bytes_left() < n ? archive.bytes_left() : n;
        if (!archive.read(piece, take))
            break;
    }
    return 0;
}

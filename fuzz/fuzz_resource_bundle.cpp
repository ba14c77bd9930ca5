// Bundles: open any bytes as a bundle and read or skip every resource of its table; half
// of the inputs inflate ahead on a pool and leave the copies into the blocks to it.
#include "foundation/io/disk_file_system.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "resource/bundle.h"

#include <atomic>
#include <cstdlib>
#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    std::vector<u8> bytes(data, data + size);
    DiskFileSystem no_files("", a);
    Bundle bundle(no_files, "fuzz", a);
    const bool with_pool = size && (data[size - 1] & 1);
    if (with_pool)
        bundle.set_thread_pool(&fuzz::pool());
    std::atomic<u32> pending{0};
    Array<ResourceId> table(a);
    if (!bundle.open_from(make_shared_reference<MemoryInputBuffer>(a, bytes.data(), u64(bytes.size())), table))
        return 0;
    // Every property the bundle names, most preferred first.
    bundle.set_active_properties(bundle.property_ids(), Bundle::property_slots);
    std::vector<u8> block;
    for (u32 i = 0; i < table.size(); ++i) {
        if (size && (data[i % size] & 1)) {
            bundle.skip_resource(table[i]);
            continue;
        }
        u64 n = 0;
        if (!bundle.begin_resource(table[i], n))
            continue;
        block.resize(n);
        if (!bundle.finish_resource(block.data(), with_pool ? &pending : nullptr) && pending.load() != 0)
            abort(); // a failed record must leave no copy into its block
        bundle.settle_copies(); // the block is reused for the next record
        if (pending.load() != 0)
            abort();
    }
    return 0;
}

// Bundles: open any bytes as a bundle and read or skip every resource of its table.
#include "foundation/io/disk_file_system.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "resource/bundle.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    std::vector<u8> bytes(data, data + size);
    DiskFileSystem no_files("", a);
    Bundle bundle(no_files, "fuzz", a);
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
        bundle.finish_resource(block.data());
    }
    return 0;
}

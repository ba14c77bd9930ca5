// The loose-file database index, the "package" resource and the "mouse_cursor" resource:
// parse any bytes. The first byte picks the reader.
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "resource/exploded_database.h"
#include "resource/resource_types.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    if (size == 0)
        return 0;
    Allocator &a = default_allocator();
    std::vector<u8> bytes(data + 1, data + size);
    if (data[0] % 3 == 0) {
        ExplodedDatabase database("/nonexistent", a);
        if (database.parse(bytes.data(), bytes.size())) {
            database.set_active_properties(nullptr, 0);
            u32 file = 0;
            database.find({NameId64("lua"), NameId64("boot")}, file);
        }
        return 0;
    }
    ResourceTypeCallbacks callbacks = data[0] % 3 == 1 ? package_resource_callbacks() : mouse_cursor_callbacks(nullptr);
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(a, bytes.data(), u64(bytes.size())));
    void *loaded = callbacks.load(
        ResourceLoadParams{callbacks.userdata, NameId64("t"), NameId64("n"), archive, bytes.size(), a, 0});
    if (loaded)
        callbacks.unload(ResourceUnloadParams{callbacks.userdata, NameId64("t"), loaded, a, 0});
    return 0;
}

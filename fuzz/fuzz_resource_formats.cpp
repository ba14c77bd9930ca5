// The loose-file database index and the "package", "mouse_cursor" and "strings" resources:
// parse any bytes. The first byte picks the reader.
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "resource/byte_reader.h"
#include "resource/exploded_database.h"
#include "resource/resource_types.h"
#include "resource/strings_resource.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    if (size == 0)
        return 0;
    Allocator &a = default_allocator();
    std::vector<u8> bytes(data + 1, data + size);
    const u32 reader = data[0] % 4;
    if (reader == 0) {
        ExplodedDatabase database("/nonexistent", a);
        if (database.parse(bytes.data(), bytes.size())) {
            database.set_active_properties(nullptr, 0);
            u32 file = 0;
            database.find({NameId64("lua"), NameId64("boot")}, file);
        }
        return 0;
    }
    ResourceTypeCallbacks callbacks = reader == 1   ? package_resource_callbacks()
                                      : reader == 2 ? mouse_cursor_callbacks(nullptr)
                                                    : strings_resource_callbacks();
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(a, bytes.data(), u64(bytes.size())));
    void *loaded = callbacks.load(
        ResourceLoadParams{callbacks.userdata, NameId64("t"), NameId64("n"), archive, bytes.size(), a, 0});
    if (loaded && reader == 3) {
        // Every lookup of an accepted table stays inside it.
        const auto *strings = static_cast<const StringsResource *>(loaded);
        for (u32 key : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu})
            strings_lookup(*strings, NameId32::from_value(key));
        if (strings->count > 0)
            strings_lookup(*strings, NameId32::from_value(load_u32_le(strings->bytes() + 4)));
    }
    // As the resource manager does: a type without an unload step is freed whole.
    if (loaded && callbacks.unload)
        callbacks.unload(ResourceUnloadParams{callbacks.userdata, NameId64("t"), loaded, a, 0});
    else if (loaded)
        a.deallocate(loaded);
    return 0;
}

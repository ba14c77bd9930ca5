// Config text: parse any bytes, then write, flatten, validate and read what came out.
#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_text_writer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_config_walk.h"
#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    // An exact-size copy: any read past the range is caught.
    std::vector<char> text(data, data + size);
    ConfigValue *root = create_config_root(a);
    parse_config_text(text.data(), text.data() + text.size(), *root);

    {
        StringStream stream(a);
        write_config_text(*root, stream, true);
        ConfigValue *again = create_config_root(a);
        parse_config_text(stream.bytes().data(), stream.bytes().data() + stream.bytes().size(), *again);
        destroy_config_root(again);
    }
    u32 blob_size = 0;
    void *blob = flatten_config(*root, a, &blob_size);
    if (blob) {
        if (!validate_const_config(blob, blob_size))
            abort(); // flatten must always make a valid blob
        u32 budget = 100000;
        fuzz::walk_config(ConstConfigValue::root(blob, blob_size), 64, budget);
        a.deallocate(blob);
    }
    destroy_config_root(root);
    return 0;
}

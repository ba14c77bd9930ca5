// Flat config blobs from compiled resources: validate any bytes, and read them whatever
// the verdict (reads must stay inside the blob).
#include "foundation/config/config_blob.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_config_walk.h"
#include "fuzz/fuzz_support.h"

#include <cstring>
#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    // Blobs are 4-aligned in memory.
    std::vector<u32> words((size + 3) / 4);
    if (size)
        memcpy(words.data(), data, size);
    bool valid = validate_const_config(words.data(), size);
    ConstConfigValue root = ConstConfigValue::root(words.data(), size);
    u32 budget = 10000;
    fuzz::walk_config(root, 32, budget);
    if (valid) {
        ConfigValue *tree = create_config_root(default_allocator());
        tree->assign_const(root);
        destroy_config_root(tree);
    }
    return 0;
}

// Flat config blobs from compiled resources: validate any bytes, and read them whatever
// the verdict (reads must stay inside the blob).
#include "foundation/config_blob.h"
#include "foundation/config_value.h"
#include "foundation/log.h"
#include "foundation/memory_globals.h"

#include <cstring>
#include <vector>

using namespace tallow;

namespace {
void quiet(void *, const char *, const char *) {}

// A damaged blob may share records between many parents: the walk has a budget.
void read_all(ConstConfigValue value, int depth, u32 &budget)
{
    if (budget == 0)
        return;
    --budget;
    if (depth > 32)
        return;
    (void)value.to_string();
    for (i32 i = 0; i < value.count() && i < 32; ++i) {
        read_all(value.member_at(i), depth + 1, budget);
        read_all(value.element(i), depth + 1, budget);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    static bool ready = (memory_globals_init(), set_log_capture(quiet, nullptr, false), true);
    (void)ready;
    // Blobs are 4-aligned in memory.
    std::vector<u32> words((size + 3) / 4);
    if (size)
        memcpy(words.data(), data, size);
    bool valid = validate_const_config(words.data(), size);
    ConstConfigValue root = ConstConfigValue::root(words.data(), size);
    u32 budget = 10000;
    read_all(root, 0, budget);
    if (valid) {
        ConfigValue *tree = create_config_root(default_allocator());
        tree->assign_const(root);
        destroy_config_root(tree);
    }
    return 0;
}

// Config text: parse any bytes, then write, flatten, validate and read what came out.
#include "foundation/config_blob.h"
#include "foundation/config_text_parser.h"
#include "foundation/config_text_writer.h"
#include "foundation/log.h"
#include "foundation/memory_globals.h"

#include <cstdlib>
#include <vector>

using namespace tallow;

namespace {
void quiet(void *, const char *, const char *) {}

// Walks a flat value the way readers do.
// A damaged blob may share records between many parents: the walk has a budget.
void read_all(ConstConfigValue value, int depth, u32 &budget)
{
    if (budget == 0)
        return;
    --budget;
    if (depth > 64)
        return;
    (void)value.to_string();
    (void)value.to_float();
    for (i32 i = 0; i < value.count() && i < 64; ++i) {
        const char *key = nullptr;
        read_all(value.member_at(i, &key), depth + 1, budget);
        read_all(value.element(i), depth + 1, budget);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    static bool ready = (memory_globals_init(), set_log_capture(quiet, nullptr, false), true);
    (void)ready;
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
        read_all(ConstConfigValue::root(blob, blob_size), 0, budget);
        a.deallocate(blob);
    }
    destroy_config_root(root);
    return 0;
}

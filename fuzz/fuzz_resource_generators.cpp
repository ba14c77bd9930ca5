// The "resource_generators" section of a render configuration: config text as the data
// build would compile it, flattened into a blob and built into generators (static branches,
// nesting, lists and keys of every modifier type), then cleared.
#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "fuzz/fuzz_support.h"
#include "render/generators/resource_generator.h"

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    const char *text = reinterpret_cast<const char *>(data);
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    u32 blob_size = 0;
    void *blob = flatten_config(*root, default_allocator(), &blob_size);
    destroy_config_root(root);
    if (!blob)
        return 0;
    static ConfigValue *settings = [] {
        ConfigValue *s = create_config_root(default_allocator());
        s->set_object();
        s->member("bloom").set_bool(true);
        s->member("quality").set_integer(2);
        return s;
    }();
    ResourceGenerators generators(default_allocator());
    GeneratorLoadParams params;
    params.values.render_settings = settings;
    params.values.render_caps = settings;
    const ConstConfigValue config = ConstConfigValue::root(blob, blob_size);
    (void)generators.load(config.member("resource_generators"), params);
    for (u32 i = 0; i < generators.count(); ++i)
        (void)generators.find(generators.name_at(i));
    generators.clear(nullptr);
    default_allocator().deallocate(blob);
    return 0;
}

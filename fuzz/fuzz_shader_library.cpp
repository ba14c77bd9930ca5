// The "shader_library" and "shader_library_group" readers: any bytes either load to a
// library whose shaders, templates and programs a shader manager can take and draw from,
// or fail cleanly.
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "fuzz/fuzz_support.h"
#include "render/config/layer_config_set.h"
#include "render/shaders/shader_library_loader.h"
#include "render/shaders/shader_manager.h"
#include "tests/support/fakes/null_render_device.h"

#include <cstring>

using namespace tallow;

namespace {

struct World {
    NullRenderDevice device{default_allocator()};
    LayerConfigSet layers{default_allocator()};
    ConfigValue *caps = create_config_root(default_allocator());

    World()
    {
        const char text[] = "deferred = true quality = 2";
        parse_config_text(text, text + sizeof(text) - 1, *caps);
        Layer layer;
        layer.name = NameId32("opaque").value();
        (void)layers.add_layer(NameId32("main").value(), layer);
        layer.name = NameId32("transparent").value();
        (void)layers.add_layer(NameId32("debug").value(), layer);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    static World *world = make_new<World>(default_allocator());
    Allocator &a = default_allocator();
    if (ShaderLibraryGroup *group = read_shader_library_group(data, size, a))
        destroy_shader_library_group(group);
    ShaderLibrary *library = read_shader_library(data, size, a);
    if (!library)
        return 0;
    resolve_passes(*library, &world->layers);
    {
        ShaderManager shaders(world->device, a);
        shaders.set_render_caps(world->caps);
        shaders.add_shader_library(*library);
        shaders.update_templates(*library);
        ShaderContext context(a);
        for (const TemplateRecord &t : library->templates) {
            if (!shaders.find_template(t.name, context))
                continue;
            for (const ShaderVariableEntry &v : library->variables) {
                context.set_scalar(v.name, 1.0f);
                context.set_vector3(v.name, 1, 2, 3);
                context.set_matrix(v.name, matrix4x4_identity);
            }
            context.set_matrices(matrix4x4_identity, matrix4x4_identity, matrix4x4_identity, nullptr);
            for (u32 s = 0; s < context.slot_count() + 1; ++s) {
                ShaderSlotEntry entry;
                if (context.slot_entry(s, &entry) && entry.constant_size_bytes)
                    static_cast<const volatile u8 *>(entry.constant_block)[entry.constant_size_bytes - 1];
            }
        }
        shaders.remove_templates(*library);
        shaders.remove_shader_library(*library);
    }
    destroy_shader_library(library);
    return 0;
}

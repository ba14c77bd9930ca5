// The "texture" (DDS), "material" and "shading_environment" readers: any bytes either load
// to an image whose level pointers all lie inside its texels, a material whose values and
// texture tables a render material can take, an environment whose values all lie inside its
// settings blocks, or fail cleanly.
#include "fuzz/fuzz_support.h"
#include "render/materials/material_resource.h"
#include "render/textures/texture_resource.h"
#include "render/world/render_shading_environment.h"

using namespace tallow;

namespace {

void check_texture(const TextureImage &image)
{
    const TextureDescription &d = image.description;
    u64 offset = 0;
    u32 word = 0;
    for (u32 f = 0; f < d.face_count; ++f)
        for (u32 m = 0; m < d.mip_count; ++m, ++word) {
            const u64 bytes = texture_level_bytes(d.format, d.width >> m, d.height >> m);
            if (word >= image.data.size() || image.data[word] != image.texels + offset || offset + bytes > image.texel_bytes)
                __builtin_trap();
            // Touch the level's last byte: it must be inside the texels.
            if (bytes)
                (void)static_cast<const volatile u8 *>(image.data[word])[bytes - 1];
            offset += bytes;
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    if (TextureImage *image = read_texture_image(data, size, a)) {
        check_texture(*image);
        destroy_texture_image(image);
    }
    if (MaterialResource *material = read_material_resource(data, size, a)) {
        Array<u32> channels(a);
        channels.push_back(NameId32("diffuse_map").value());
        channels.push_back(NameId32("normal_map").value());
        resolve_material_textures(*material, channels, ResourceLookup{});
        for (const MaterialEntry *e : material->entries) {
            if (e->slots.size() != channels.size())
                __builtin_trap();
            for (const MaterialValue &v : e->values)
                if (material_value_floats(v.kind) == 0)
                    __builtin_trap();
        }
        destroy_material_resource(material);
    }
    // The "shading_environment" reader: every variable of a loaded environment lies inside
    // every settings block, and its bindings name variables it has.
    if (ShadingEnvironmentResource *env = read_shading_environment(data, size, a)) {
        for (const ShadingSetting &s : env->settings)
            for (const ShadingVariableDesc &v : env->variables)
                if (u64(s.offset) + s.size_bytes > env->setting_bytes.size() || u64(v.offset) + v.size_bytes > s.size_bytes)
                    __builtin_trap();
        for (const ShadingMaterialBinding &b : env->bindings)
            if (b.variable >= env->variables.size())
                __builtin_trap();
        for (const ShadingRenderVariable &v : env->render_variables)
            if (v.variable >= env->variables.size())
                __builtin_trap();
        destroy_shading_environment(env, a);
    }
    return 0;
}

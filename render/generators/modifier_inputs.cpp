#include "render/generators/modifier_inputs.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/device/render_device.h"
#include "render/resources/render_resource_set.h"
#include "render/resources/render_target.h"
#include "render/shaders/shader_manager.h"

#include <cstdio>
#include <cstring>

namespace tallow::resource_generator {

u32 parse_name_list(const char *text, Array<u32> &out_ids)
{
    u32 count = 0;
    if (!text)
        return 0;
    const char *at = text;
    while (*at) {
        const char *end = strchr(at, ' ');
        const u64 length = end ? u64(end - at) : strlen(at);
        if (length > 0) {
            (void)out_ids.push_back(NameId32(at, u32(length)).value());
            ++count;
        }
        if (!end)
            break;
        at = end + 1;
    }
    return count;
}

u32 parse_clear_flags(const char *text)
{
    static const struct {
        const char *word;
        u32 flag;
    } words[] = {{"SURFACE", 1}, {"DEPTH", 2}, {"STENCIL", 4}};
    u32 flags = 0;
    if (!text)
        return 0;
    const char *at = text;
    while (*at) {
        const char *end = strchr(at, ' ');
        const u64 length = end ? u64(end - at) : strlen(at);
        for (const auto &w : words)
            if (strlen(w.word) == length && memcmp(w.word, at, length) == 0)
                flags |= w.flag;
        if (!end)
            break;
        at = end + 1;
    }
    return flags;
}

bool resolve_resource(const GeneratorFrame &frame, u32 name, ResolvedResource *out)
{
    *out = ResolvedResource{};
    RenderResource *resource = frame.resources ? frame.resources->find(name) : nullptr;
    if (!resource)
        return false;
    switch (resource->type) {
    case RenderResourceType::RenderTarget:
    case RenderResourceType::DependentRenderTarget:
    case RenderResourceType::BackBuffer: {
        if (!frame.device)
            return false;
        RenderTarget *instance =
            frame.device->render_target(static_cast<const RenderTarget *>(resource), template_window_index);
        if (!instance)
            return false;
        out->target = instance;
        out->handle = instance->handle;
        out->width = instance->description.width;
        out->height = instance->description.height;
        out->depth = instance->array_size;
        return true;
    }
    case RenderResourceType::Texture: {
        const Texture &texture = *static_cast<const Texture *>(resource);
        out->handle = texture.handle;
        out->width = texture.description.width;
        out->height = texture.description.height;
        out->depth = texture.description.face_count;
        return true;
    }
    default: return false;
    }
}

InputVariables input_variables(u32 index)
{
    char text[48];
    InputVariables v;
    snprintf(text, sizeof text, "input_texture%u", index);
    v.texture = NameId32(text).value();
    snprintf(text, sizeof text, "input_texture%u_size", index);
    v.size = NameId32(text).value();
    snprintf(text, sizeof text, "inv_input_texture%u_size", index);
    v.inv_size = NameId32(text).value();
    return v;
}

bool load_shading(ConstConfigValue config, const char *type_name, ShaderManager *shaders, ShaderContext &own,
                  u32 *out_material)
{
    *out_material = 0;
    ConstConfigValue material = config.member("material");
    if (material.kind() == ConstConfigKind::String && material.to_string()[0] != '\0') {
        *out_material = NameId32(material.to_string()).value();
        return true;
    }
    ConstConfigValue shader = config.member("shader");
    if (shader.kind() != ConstConfigKind::String || shader.to_string()[0] == '\0') {
        log_message("render", "%s without a \"material\" or \"shader\"; it draws nothing", type_name);
        return false;
    }
    if (!shaders) {
        log_message("render", "%s: no shader manager to find \"%s\" in; it draws nothing", type_name, shader.to_string());
        return false;
    }
    // Reported here, by name.
    if (!shaders->find_optional_template(NameId32(shader.to_string()).value(), own)) {
        log_message("render", "%s: shader template \"%s\" not found; it draws nothing", type_name, shader.to_string());
        return false;
    }
    return true;
}

ShaderContext *step_shader_context(const GeneratorFrame &frame, u32 material, ShaderContext &own)
{
    if (material != 0)
        return frame.shading ? frame.shading->material_context(material) : nullptr;
    return own.is_instantiated() ? &own : nullptr;
}

} // namespace tallow::resource_generator

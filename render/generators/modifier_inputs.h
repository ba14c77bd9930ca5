#pragma once
// What the fullscreen pass and the compute kernel share: blank-separated name lists, the
// lookup of a render target or texture by name in the frame, the "input_texture<i>"
// bindings, and the shader context a step draws with (a material's or its own).
// Render thread, except the load-time parsers.

#include "foundation/config/const_config_value.h"
#include "foundation/containers/array.h"
#include "render/generators/generator_frame.h"
#include "render/resources/render_resource.h"

namespace tallow {

class RenderTarget;
class ShaderContext;
class ShaderManager;

namespace resource_generator {

/// Splits `text` at single blanks into NameId32 values and appends them to `out_ids`
/// (empty words are skipped). Returns the number of names in the text.
u32 parse_name_list(const char *text, Array<u32> &out_ids);

/// "SURFACE" 1, "DEPTH" 2, "STENCIL" 4, ORed; other words add 0.
u32 parse_clear_flags(const char *text);

/// A render target instance or texture found by name for this frame.
struct ResolvedResource {
    RenderResourceHandle handle = invalid_render_handle; // what a shader resource variable takes
    RenderTarget *target = nullptr;                       // the instance, for targets; null for textures
    u32 width = 0, height = 0, depth = 0;
};

/// Looks `name` up in the frame's resources; a render target becomes its instance for the
/// current window. False when the set lacks the name or a target has no instance.
bool resolve_resource(const GeneratorFrame &frame, u32 name, ResolvedResource *out);

/// The ids of input i's shader variables.
struct InputVariables {
    u32 texture = 0;  // "input_texture<i>"
    u32 size = 0;     // "input_texture<i>_size"
    u32 inv_size = 0; // "inv_input_texture<i>_size"
};
InputVariables input_variables(u32 index);

/// The shared load of a step's "material" (NameId32, 0 for none) and "shader" (a template
/// instantiated into `own`, only without a material). False (logged) when the shader
/// template is unknown or no shader manager is at hand.
bool load_shading(ConstConfigValue config, const char *type_name, ShaderManager *shaders, ShaderContext &own,
                  u32 *out_material);

/// The shader context a step draws with this frame: the material's from the frame's
/// shading environment, or `own`. Null when the material is missing or `own` was never
/// instantiated.
ShaderContext *step_shader_context(const GeneratorFrame &frame, u32 material, ShaderContext &own);

/// Reports a problem of one modifier once: true the first time `bit` is set in `flags`.
inline bool first_report(u32 &flags, u32 bit)
{
    const bool first = (flags & bit) == 0;
    flags |= bit;
    return first;
}

} // namespace resource_generator
} // namespace tallow

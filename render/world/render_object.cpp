#include "render/world/render_object.h"

#include "foundation/log.h"

namespace tallow {

const char *to_string(RenderObjectClass render_class)
{
    static const char *const names[render_object_class_count] = {
        "RenderWorld", "RenderSceneGraph",   "RenderMeshObject",         "RenderCamera",
        "RenderLineObjectDrawer", "RenderMaterial", "RenderLight",        "RenderParticleWorld",
        "RenderGui",   "RenderViewport",     "RenderShadingEnvironment", "RenderLODObject",
    };
    u32 i = u32(render_class);
    return i < render_object_class_count ? names[i] : "unknown";
}

void RenderObject::apply_message(u32 kind, const u8 *payload, u32 payload_bytes)
{
    (void)payload;
    log_message("render", "%s takes no record of kind %u (%u bytes); dropped", to_string(RenderObjectClass(_class_id)),
                kind, payload_bytes);
}

} // namespace tallow

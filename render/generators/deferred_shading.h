#pragma once
// "deferred_shading": draws every light the view sees as a proxy mesh (a sphere-like mesh
// for omni lights, a cone for spot lights) with its light type's shader into the output,
// rendering a shadow map first for each shadow-casting light (six cube faces into
// "shadow_map_cube" for omni lights, one map into "shadow_map" for spot lights).
//
//   { type = "deferred_shading" output = "light_accumulation" depth_stencil_target = "depth"
//     proxy_geometry = "core/light_proxies"
//     light_types = [ { type = "omni" proxy_mesh = "sphere" shader = "omni_light" }
//                     { type = "spot" proxy_mesh = "cone" shader = "spot_light" } ] }
//
// Light-type records: one per type (0 omni, 1 spot), filled by the element naming the type
// (a later element replaces an earlier one). Each holds its own copy of the proxy mesh's
// geometry in buffers the step owns (made at load, released by `release`), so an unloaded
// or reloaded unit resource cannot leave it drawing with handles of someone else's
// buffers; and two shader contexts: "shader" and "shader:SHADOW_MAPPING" (a missing shadow
// variant draws the light without shadows, reported once).
//
// Keys: the step's segment under its key; then a light counter c from 1, each key the
// step's key with c as its sub-key: an unshadowed light takes one, a shadowed spot light
// two (its map, then its draw), a shadowed omni light seven (six faces, then its draw).
// Lights whose keys would pass the sub-key field (1023) are not drawn (reported once).
// Lights of a type without a record (directional lights, or a type the configuration does
// not list) are skipped, reported once.
//
// Constants, each only when the shader has it: "light_position", "light_color",
// "light_falloff", "light_proxy_scale", "light_spot_falloff", "world_to_shadow_map" (spot,
// shadowed), "light_vector_to_shadow_map" (omni, shadowed); see light_constants.h. Each
// draw carries its own copy of the constants. The casters of an omni light's cube face get
// "rt_index" = the face index (a float) in their shader's variable of that name.
//
// The step files every light's commands on the render thread, then draws the casters of
// all its shadow views at once (render_shadow_views), spread over the frame's pool.

#include "foundation/containers/array.h"
#include "render/generators/proxy_mesh.h"
#include "render/generators/resource_generator.h"
#include "render/generators/shadow_casters.h"
#include "render/commands/render_records.h"
#include "render/resources/render_resource.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_record.h"

namespace tallow::resource_generator {

constexpr u32 deferred_light_types = 2; // 0 omni, 1 spot

class DeferredShading final : public ModifierBase {
  public:
    struct LightType {
        explicit LightType(Allocator &allocator);
        bool filled = false;          // an element of "light_types" named this type
        bool has_shadow_variant = false;
        ShaderContext shading[2];     // 0 plain, 1 ":SHADOW_MAPPING"
        ProxyMesh mesh;               // the proxy mesh's own copy
    };

    static ModifierBase *create(const ModifierLoadParams &params);

    explicit DeferredShading(Allocator &allocator);
    void execute(const ModifierExecution &run) override;                                  // See ModifierBase
    void release(ResourceGenerator &generator, RenderResourceContext *context) override; // See ModifierBase

    u32 output() const { return _output; }
    u32 depth_stencil_target() const { return _depth_stencil; }
    u64 proxy_geometry() const { return _proxy_geometry; }
    const LightType &light_type(u32 type) const { return _types[type]; }

  private:
    bool load_type(const ModifierLoadParams &params, u32 type, ConstConfigValue element);

    u32 _output = 0;
    u32 _depth_stencil = 0;
    u64 _proxy_geometry = 0;
    LightType _types[deferred_light_types];
    Array<ShadowView> _views;                   // this run's shadow views, drawn together
    Array<RenderRecord> _scratch;               // culled records of a shadow view drawn alone
    Array<ShaderVariableBlock> _face_variables; // per cube face: "rt_index" = the face
    u32 _reported = 0;
};

} // namespace tallow::resource_generator

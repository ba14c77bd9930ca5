#include "render/generators/deferred_shading.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/generators/light_constants.h"
#include "render/generators/modifier_inputs.h"
#include "render/generators/shadow_casters.h"
#include "render/math/shadow_math.h"
#include "render/resources/render_resource_context.h"
#include "render/world/render_camera.h"
#include "render/world/render_light.h"
#include "render/world/render_mesh_object.h"
#include "render/world/render_world.h"

#include <cstring>
#include <string>

namespace tallow::resource_generator {

namespace {
enum : u32 {
    reported_shadow_variant_spot = 1,
    reported_keys = 2,
    reported_shadow_variant = 4,
    reported_target = 8,
    reported_context = 16,
    reported_camera = 32,
    reported_geometry = 64,
    reported_type = 128, // << light type: omni, spot, any other
};

const char *light_type_name(u32 type)
{
    switch (type) {
    case light_omni: return "omni";
    case light_spot: return "spot";
    default: return "other";
    }
}

const char *string_member(ConstConfigValue config, const char *key)
{
    ConstConfigValue v = config.member(key);
    return v.kind() == ConstConfigKind::String ? v.to_string() : nullptr;
}

u32 casts_shadows(const LightBlock &block)
{
    u32 flags;
    memcpy(&flags, &block.word9, 4); // the flags word: bit 0 casts shadows
    return flags & 1u;
}

LightShape shape_of(const LightBlock &block)
{
    LightShape s;
    s.type = block.type;
    s.falloff_start = block.falloff_start;
    s.falloff_end = block.falloff_end;
    s.falloff_exponent = block.word6;  // falloff exponent
    s.spot_angle_start = block.word7;  // spot angle start
    s.spot_angle_end = block.spot_angle;
    return s;
}
} // namespace

DeferredShading::LightType::LightType(Allocator &allocator)
    : shading{ShaderContext(allocator), ShaderContext(allocator)}, mesh(allocator)
{
}

DeferredShading::DeferredShading(Allocator &allocator)
    : ModifierBase(ModifierType::DeferredShading), _types{LightType(allocator), LightType(allocator)},
      _views(allocator), _scratch(allocator), _face_variables(allocator)
{
    // Without memory the faces' casters go without "rt_index" (execute checks the size).
    _face_variables.resize(cube_face_count);
    for (u32 face = 0; face < _face_variables.size(); ++face) {
        const f32 face_index = f32(face);
        (void)_face_variables[face].add(0, NameId32("rt_index").value(), &face_index);
    }
}

bool DeferredShading::load_type(const ModifierLoadParams &params, u32 type, ConstConfigValue element)
{
    LightType &t = _types[type];
    const char *mesh = string_member(element, "proxy_mesh");
    const char *shader = string_member(element, "shader");
    if (!mesh || !shader || !shader[0]) {
        log_message("render", "deferred_shading: a light type needs \"proxy_mesh\" and \"shader\"; refused");
        return false;
    }
    ShaderManager *shaders = params.load->shaders;
    if (!shaders || !shaders->find_optional_template(NameId32(shader).value(), t.shading[0])) {
        log_message("render", "deferred_shading: shader template \"%s\" is unknown; refused", shader);
        return false;
    }
    const std::string shadowed = std::string(shader) + ":SHADOW_MAPPING";
    // Optional: without it the type's lights draw unshadowed (reported once, at the first).
    t.has_shadow_variant = shaders->find_optional_template(NameId32(shadowed.c_str()).value(), t.shading[1]);

    if (!t.mesh.load(params.load->meshes, _proxy_geometry, NameId32(mesh).value(), params.load->resources,
                     "deferred_shading"))
        return false;
    t.filled = true;
    return true;
}

ModifierBase *DeferredShading::create(const ModifierLoadParams &params)
{
    const ConstConfigValue config = params.config;
    const char *output = string_member(config, "output");
    const char *proxy = string_member(config, "proxy_geometry");
    ConstConfigValue types = config.member("light_types");
    if (!output || !output[0] || !proxy || !proxy[0] || types.kind() != ConstConfigKind::Array) {
        log_message("render", "deferred_shading needs \"output\", \"proxy_geometry\" and \"light_types\"; refused");
        return nullptr;
    }
    ResourceGenerator &generator = *params.generator;
    DeferredShading *step = make_new<DeferredShading>(generator.allocator(), generator.allocator());
    if (!step) {
        log_message("render", "deferred_shading: out of memory");
        return nullptr;
    }
    step->_output = NameId32(output).value();
    if (const char *depth = string_member(config, "depth_stencil_target"))
        step->_depth_stencil = depth[0] ? NameId32(depth).value() : 0;
    step->_proxy_geometry = NameId64(proxy).value();
    bool ok = true;
    for (i32 i = 0; i < types.count() && ok; ++i) {
        ConstConfigValue element = types.element(i);
        const char *name = string_member(element, "type");
        const u32 type = name && strcmp(name, "omni") == 0 ? light_omni : name && strcmp(name, "spot") == 0 ? light_spot : 2;
        if (type >= deferred_light_types) {
            log_message("render", "deferred_shading: light type \"%s\" is neither \"omni\" nor \"spot\"; refused",
                        name ? name : "");
            ok = false;
            break;
        }
        // A later element replaces an earlier one (ProxyMesh::load releases the old buffers).
        step->_types[type].filled = false;
        ok = step->load_type(params, type, element);
    }
    if (!ok) {
        step->release(generator, params.load->resources);
        delete_with_allocator(generator.allocator(), step);
        return nullptr;
    }
    return step;
}

void DeferredShading::release(ResourceGenerator &generator, RenderResourceContext *context)
{
    (void)generator;
    if (!context)
        return;
    for (LightType &t : _types)
        t.mesh.release(context);
}

void DeferredShading::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    if (!frame.render_world || !frame.camera) {
        if (first_report(_reported, reported_camera))
            log_message("render", "deferred_shading needs the view's camera and render world; it draws nothing");
        return;
    }
    const RenderWorld &world = *frame.render_world;
    const ShaderVariableBlock *environment = frame.shading ? frame.shading->environment_values() : nullptr;
    const Array<RenderRecord> &lights = world.visible_lights();
    if (lights.empty())
        return;
    RenderContext &context = *run.context;
    const RenderCamera &camera = *frame.camera;

    // 1. Each record's shaders see the frame's resources.
    for (LightType &t : _types)
        for (u32 e = 0; e < 2 && t.filled; ++e)
            if (frame.device && frame.resources)
                t.shading[e].bind_resources(*frame.device, *frame.resources);

    // 2. Output and depth under the step's key.
    ResolvedResource output, depth;
    const bool has_output = resolve_resource(frame, _output, &output) && output.target;
    const bool has_depth = _depth_stencil && resolve_resource(frame, _depth_stencil, &depth) && depth.target;
    if ((!has_output || (_depth_stencil && !has_depth)) && first_report(_reported, reported_target))
        log_message("render", "deferred_shading: output 0x%08x or depth target 0x%08x is not a render target of the "
                              "frame; it stays unbound",
                    _output, _depth_stencil);
    auto bind_targets = [&](u64 key, bool with_viewport) {
        if (!context.begin_segment(key))
            return;
        const CommandSetRenderTarget slot0{0, 0, has_output ? output.target : nullptr};
        (void)context.write_command(RenderCommand::SetRenderTarget, &slot0, sizeof slot0);
        const CommandSetDepthStencil ds{has_depth ? depth.target : nullptr, 0, 0};
        (void)context.write_command(RenderCommand::SetDepthStencil, &ds, sizeof ds);
        if (with_viewport)
            context.set_viewports(1, &frame.viewport);
        context.end_segment();
    };
    bind_targets(run.key, false);

    // Every shadow view is set up in the loop, then all are drawn together after it.
    _views.clear();
    auto add_view = [&](RenderContext *shadow, const CameraBlock &camera, const Matrix4x4 &pose, u64 key,
                        const ShaderVariableBlock *variables) {
        ShadowView view;
        view.context = shadow;
        view.camera = camera;
        view.pose = pose;
        view.key = key;
        view.variables = variables;
        if (!_views.push_back(view))
            render_shadow_views(world, &view, 1, nullptr, environment); // no room in the list: drawn now
    };

    u32 counter = 1;
    for (const RenderRecord &record : lights) {
        RenderObject *object = world.object_in_slot(record.slot);
        if (!object || object->class_id() != u32(RenderObjectClass::Light))
            continue;
        const RenderLight &light = *static_cast<const RenderLight *>(object);
        const LightBlock &block = light.block();
        // A directional light lights the whole view: a pass of its own draws it, not a proxy.
        if (block.type == light_directional)
            continue;
        if (block.type >= deferred_light_types || !_types[block.type].filled || !_types[block.type].mesh.has_geometry()) {
            const u32 kind = block.type < deferred_light_types ? block.type : deferred_light_types;
            if (first_report(_reported, reported_type << kind))
                log_message("render", "deferred_shading: %s lights (type %u) have no light-type record in "
                                      "\"light_types\"; they are not drawn",
                            light_type_name(block.type), block.type);
            continue;
        }
        LightType &t = _types[block.type];
        bool shadowed = casts_shadows(block) != 0;
        if (shadowed && !t.has_shadow_variant) {
            if (first_report(_reported, block.type == light_spot ? reported_shadow_variant_spot : reported_shadow_variant))
                log_message("render", "deferred_shading: %s lights have no \":SHADOW_MAPPING\" shader template; they "
                                      "draw without shadows",
                            light_type_name(block.type));
            shadowed = false;
        }
        const u32 keys = !shadowed ? 1 : block.type == light_omni ? 7 : 2;
        if (counter + keys - 1 > sort_key::max_generator_sub_counter) {
            if (first_report(_reported, reported_keys))
                log_message("render", "deferred_shading: more lights than the sort key's %u light keys; the rest are "
                                      "not drawn",
                            sort_key::max_generator_sub_counter);
            break;
        }
        ShaderContext &shading = t.shading[shadowed ? 1 : 0];
        const Matrix4x4 world_transform = light.world();
        const Vector3 position = translation(world_transform);
        const f32 range = block.falloff_end;

        // Shadow maps, each into a context of its own.
        if (shadowed && block.type == light_omni) {
            ResolvedResource cube;
            const bool has_cube = resolve_resource(frame, NameId32("shadow_map_cube").value(), &cube) && cube.target;
            for (u32 face = 0; face < cube_face_count; ++face) {
                u64 key = 0;
                RenderContext *shadow = has_cube ? begin_shadow_context(frame) : nullptr;
                if (!shadow || !make_generator_sub_key(run.key, counter + face, &key) || !shadow->begin_segment(key))
                    continue;
                const CommandSetRenderTarget none{0, 0, nullptr};
                (void)shadow->write_command(RenderCommand::SetRenderTarget, &none, sizeof none);
                const Viewport full{0, 0, 1, 1, 0, 1};
                shadow->set_viewports(1, &full);
                const CommandSetDepthStencil ds{cube.target, face, 0};
                (void)shadow->write_command(RenderCommand::SetDepthStencil, &ds, sizeof ds);
                shadow->clear(2);
                shadow->end_segment();
                CameraBlock face_block;
                face_block.vertical_fov = 1.57079633f;
                face_block.near_range = shadow_near_range;
                face_block.far_range = range;
                // The casters' shaders learn which face they draw ("rt_index", a float).
                add_view(shadow, face_block, cube_face_pose(face, position), key,
                         face < _face_variables.size() ? &_face_variables[face] : nullptr);
            }
            if (!has_cube && first_report(_reported, reported_target))
                log_message("render", "deferred_shading: no \"shadow_map_cube\" render target; omni shadows are not "
                                      "rendered");
            const Vector3 v = light_vector_to_shadow_map(range);
            shading.set_vector3(NameId32("light_vector_to_shadow_map").value(), v.x, v.y, v.z);
        } else if (shadowed) {
            ResolvedResource map;
            u64 key = 0;
            RenderContext *shadow = resolve_resource(frame, NameId32("shadow_map").value(), &map) && map.target
                                        ? begin_shadow_context(frame)
                                        : nullptr;
            if (shadow && make_generator_sub_key(run.key, counter, &key) && shadow->begin_segment(key)) {
                const Viewport full{0, 0, 1, 1, 0, 1};
                shadow->set_viewports(1, &full);
                const CommandSetRenderTarget none{0, 0, nullptr};
                (void)shadow->write_command(RenderCommand::SetRenderTarget, &none, sizeof none);
                const CommandSetDepthStencil ds{map.target, 0, 0};
                (void)shadow->write_command(RenderCommand::SetDepthStencil, &ds, sizeof ds);
                shadow->clear(2);
                shadow->end_segment();
                CameraBlock spot_block;
                spot_block.vertical_fov = block.spot_angle;
                spot_block.near_range = shadow_near_range;
                spot_block.far_range = range;
                add_view(shadow, spot_block, spot_shadow_pose(world_transform), key, nullptr);
            } else if (first_report(_reported, reported_target)) {
                log_message("render", "deferred_shading: no \"shadow_map\" render target; spot shadows are not rendered");
            }
            shading.set_matrix(NameId32("world_to_shadow_map").value(),
                               spot_shadow_matrix(world_transform, block.spot_angle, range));
        }
        u64 draw_key = 0;
        if (!make_generator_sub_key(run.key, counter + keys - 1, &draw_key))
            break;
        counter += keys;
        if (shadowed)
            bind_targets(draw_key, true);

        // The light's draw.
        shading.set_matrices(world_transform, camera.view(), camera.projection(), environment);
        const LightShape shape = shape_of(block);
        shading.set_vector3(NameId32("light_position").value(), position.x, position.y, position.z);
        const Vector3 scale = light_proxy_scale(shape);
        shading.set_vector3(NameId32("light_proxy_scale").value(), scale.x, scale.y, scale.z);
        shading.set_vector3(NameId32("light_color").value(), block.color[0], block.color[1], block.color[2]);
        const Vector3 falloff = light_falloff(shape);
        shading.set_vector3(NameId32("light_falloff").value(), falloff.x, falloff.y, falloff.z);
        const Vector3 spot = light_spot_falloff(shape);
        shading.set_vector2(NameId32("light_spot_falloff").value(), spot.x, spot.y);
        ShaderSlotEntry slot;
        if (!shading.slot_entry(context.shader_slot_index(), &slot))
            continue;
        RenderBatch batch = t.mesh.batch();
        batch.copy_constants = true;
        (void)context.render_step_batch(batch, slot, draw_key);
    }
    render_shadow_views(world, _views.data(), _views.size(), frame.pool, environment, &_scratch);
    _views.clear();
}

} // namespace tallow::resource_generator

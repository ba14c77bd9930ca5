#include "render/generators/tiled_deferred_shading.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/generators/light_constants.h"
#include "render/generators/modifier_inputs.h"
#include "render/world/render_camera.h"
#include "render/world/render_light.h"
#include "render/world/render_world.h"

#include <cstring>

namespace tallow::resource_generator {

namespace {
enum : u32 { reported_output = 1, reported_cap = 2, reported_camera = 4 };

/// An array variable of the shader's slot: where it starts and how many elements fit.
struct LightArray {
    u8 *at = nullptr;
    u32 stride = 0;   // bytes per element
    u32 capacity = 0; // elements
};

LightArray light_array(ShaderContext &shading, u32 slot, const char *name)
{
    LightArray out;
    const Shader *shader = shading.shader(slot);
    const ShaderVariable *v = shader ? shader->find_variable(NameId32(name).value()) : nullptr;
    u8 *block = shading.block(slot);
    const u32 element = v ? shader_value_size(v->type) : 0;
    if (!v || !block || element < 12 || u64(v->offset) + v->size_bytes > shading.block_size(slot))
        return out;
    out.at = block + v->offset;
    out.stride = element;
    out.capacity = v->size_bytes / element;
    return out;
}

void put3(const LightArray &array, u32 i, f32 a, f32 b, f32 c)
{
    if (!array.at || i >= array.capacity)
        return;
    const f32 v[3] = {a, b, c};
    memcpy(array.at + u64(i) * array.stride, v, sizeof v);
}
} // namespace

CSTiledDeferredShading::CSTiledDeferredShading(Allocator &allocator)
    : ModifierBase(ModifierType::TiledDeferredShading), _shading(allocator)
{
}

void CSTiledDeferredShading::dispatch_counts(u32 width, u32 height, u32 out_groups[3])
{
    out_groups[0] = (width + light_tile_size - 1) / light_tile_size;
    out_groups[1] = (height + light_tile_size - 1) / light_tile_size;
    out_groups[2] = 1;
}

ModifierBase *CSTiledDeferredShading::create(const ModifierLoadParams &params)
{
    ConstConfigValue shader = params.config.member("shader");
    ConstConfigValue output = params.config.member("output");
    if (shader.kind() != ConstConfigKind::String || output.kind() != ConstConfigKind::String ||
        !output.to_string()[0]) {
        log_message("render", "tiled_deferred_shading needs \"shader\" and \"output\"; refused");
        return nullptr;
    }
    ResourceGenerator &generator = *params.generator;
    CSTiledDeferredShading *step = make_new<CSTiledDeferredShading>(generator.allocator(), generator.allocator());
    if (!step) {
        log_message("render", "tiled_deferred_shading: out of memory");
        return nullptr;
    }
    if (!params.load->shaders ||
        !params.load->shaders->find_optional_template(NameId32(shader.to_string()).value(), step->_shading)) {
        log_message("render", "tiled_deferred_shading: shader template \"%s\" is unknown; refused", shader.to_string());
        delete_with_allocator(generator.allocator(), step);
        return nullptr;
    }
    step->_output = NameId32(output.to_string()).value();
    return step;
}

void CSTiledDeferredShading::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    RenderContext &context = *run.context;
    if (frame.device && frame.resources)
        _shading.bind_resources(*frame.device, *frame.resources);
    ResolvedResource output;
    if (!resolve_resource(frame, _output, &output) || output.width == 0 || output.height == 0) {
        if (first_report(_reported, reported_output))
            log_message("render", "tiled_deferred_shading: output 0x%08x is not a sized render target of the frame; "
                                  "nothing is dispatched",
                        _output);
        return;
    }
    u32 groups[3];
    dispatch_counts(output.width, output.height, groups);

    // The environment's values first: the step's own values below win over them.
    const Matrix4x4 &identity = matrix4x4_identity;
    _shading.set_matrices(identity, frame.camera ? frame.camera->view() : identity,
                          frame.camera ? frame.camera->projection() : identity,
                          frame.shading ? frame.shading->environment_values() : nullptr);

    // The lights, capped at the shortest array the shader has.
    const u32 slot = context.shader_slot_index();
    const LightArray positions = light_array(_shading, slot, "light_positions");
    const LightArray spheres = light_array(_shading, slot, "light_screen_spheres");
    const LightArray colors = light_array(_shading, slot, "light_colors");
    u32 cap = 0xFFFFFFFFu;
    for (const LightArray *a : {&positions, &spheres, &colors})
        if (a->at && a->capacity < cap)
            cap = a->capacity;
    u32 written = 0;
    if (frame.render_world && frame.camera) {
        const RenderWorld &world = *frame.render_world;
        for (const RenderRecord &record : world.visible_lights()) {
            RenderObject *object = world.object_in_slot(record.slot);
            if (!object || object->class_id() != u32(RenderObjectClass::Light))
                continue;
            // The tiles take lights that reach a sphere; a directional light reaches every tile.
            if (static_cast<const RenderLight *>(object)->block().type == light_directional)
                continue;
            if (written == cap) {
                if (first_report(_reported, reported_cap))
                    log_message("render", "tiled_deferred_shading: more lights than the shader's arrays hold (%u); the "
                                          "rest are left out",
                                cap);
                break;
            }
            const RenderLight &light = *static_cast<const RenderLight *>(object);
            const Vector3 p = translation(light.world());
            const LightScreenSphere sphere = light_screen_sphere(frame.camera->view(), frame.camera->projection(), p);
            put3(positions, written, p.x, p.y, p.z);
            put3(spheres, written, sphere.x, sphere.y, sphere.radius);
            put3(colors, written, light.block().color[0], light.block().color[1], light.block().color[2]);
            ++written;
        }
    } else if (first_report(_reported, reported_camera)) {
        log_message("render", "tiled_deferred_shading without the view's camera or render world lights nothing");
    }
    _shading.set_scalar(NameId32("n_lights").value(), f32(written));

    ShaderSlotEntry entry;
    if (!_shading.slot_entry(slot, &entry))
        return;
    RenderBatch batch;
    batch.thread_groups[0] = groups[0];
    batch.thread_groups[1] = groups[1];
    batch.thread_groups[2] = groups[2];
    batch.copy_constants = true;
    (void)context.render_step_batch(batch, entry, run.key);
}

} // namespace tallow::resource_generator

#include "render/generators/mesh_renderer.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/generators/modifier_inputs.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_camera.h"

namespace tallow::resource_generator {

namespace {
enum : u32 { reported_material = 1, reported_target = 2 };

const char *string_member(ConstConfigValue config, const char *key)
{
    ConstConfigValue v = config.member(key);
    return v.kind() == ConstConfigKind::String ? v.to_string() : nullptr;
}
} // namespace

MeshRenderer::MeshRenderer(Allocator &allocator) : ModifierBase(ModifierType::MeshRenderer), _mesh(allocator) {}

ModifierBase *MeshRenderer::create(const ModifierLoadParams &params)
{
    const ConstConfigValue config = params.config;
    const char *unit = string_member(config, "unit_resource");
    const char *mesh = string_member(config, "mesh");
    const char *material = string_member(config, "material");
    if (!unit || !unit[0] || !mesh || !mesh[0] || !material || !material[0]) {
        log_message("render", "mesh_renderer needs \"unit_resource\", \"mesh\" and \"material\"; refused");
        return nullptr;
    }
    ResourceGenerator &generator = *params.generator;
    MeshRenderer *step = make_new<MeshRenderer>(generator.allocator(), generator.allocator());
    if (!step) {
        log_message("render", "mesh_renderer: out of memory");
        return nullptr;
    }
    step->_unit_resource = NameId64(unit).value();
    step->_material = NameId32(material).value();
    if (!step->_mesh.load(params.load->meshes, step->_unit_resource, NameId32(mesh).value(), params.load->resources,
                          "mesh_renderer")) {
        delete_with_allocator(generator.allocator(), step);
        return nullptr;
    }
    Array<u32> outputs(generator.allocator());
    const u32 named = parse_name_list(string_member(config, "output"), outputs);
    if (named > max_render_target_slots)
        log_message("render", "mesh_renderer: %u output targets named; the ones past %u are left out", named,
                    max_render_target_slots);
    for (u32 i = 0; i < outputs.size() && i < max_render_target_slots; ++i)
        step->_outputs[i] = outputs[i];
    if (const char *depth = string_member(config, "depth_stencil_target"))
        step->_depth_stencil = depth[0] ? NameId32(depth).value() : 0;
    return step;
}

void MeshRenderer::release(ResourceGenerator &generator, RenderResourceContext *context)
{
    (void)generator;
    _mesh.release(context);
}

void MeshRenderer::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    RenderContext &context = *run.context;

    // 1. The targets in one segment.
    if (!context.begin_segment(run.key))
        return;
    for (u32 slot = 0; slot < max_render_target_slots; ++slot) {
        CommandSetRenderTarget command{slot, 0, nullptr};
        ResolvedResource output;
        if (_outputs[slot] != 0) {
            if (resolve_resource(frame, _outputs[slot], &output) && output.target)
                command.target = output.target;
            else if (first_report(_reported, reported_target))
                log_message("render", "mesh_renderer: output 0x%08x is not a render target of the frame; slot %u stays "
                                      "unbound",
                            _outputs[slot], slot);
        }
        (void)context.write_command(RenderCommand::SetRenderTarget, &command, sizeof command);
    }
    CommandSetDepthStencil depth{nullptr, 0, 0};
    ResolvedResource target;
    if (_depth_stencil != 0) {
        if (resolve_resource(frame, _depth_stencil, &target) && target.target)
            depth.target = target.target;
        else if (first_report(_reported, reported_target))
            log_message("render", "mesh_renderer: depth-stencil target 0x%08x is not a render target of the frame",
                        _depth_stencil);
    }
    (void)context.write_command(RenderCommand::SetDepthStencil, &depth, sizeof depth);
    context.end_segment();

    // 2.-4. The material, the camera's matrices, the draw.
    ShaderContext *shading = frame.shading ? frame.shading->material_context(_material) : nullptr;
    if (!shading) {
        if (first_report(_reported, reported_material))
            log_message("render", "mesh_renderer: material 0x%08x is not in the frame's shading environment; the mesh "
                                  "is not drawn",
                        _material);
        return;
    }
    const Matrix4x4 &identity = matrix4x4_identity;
    shading->set_matrices(identity, frame.camera ? frame.camera->view() : identity,
                          frame.camera ? frame.camera->projection() : identity, frame.shading->environment_values());
    if (frame.device && frame.resources)
        shading->bind_resources(*frame.device, *frame.resources);
    ShaderSlotEntry slot;
    if (!_mesh.has_geometry() || !shading->slot_entry(context.shader_slot_index(), &slot))
        return;
    RenderBatch batch = _mesh.batch();
    batch.copy_constants = true;
    (void)context.render_step_batch(batch, slot, run.key);
}

} // namespace tallow::resource_generator

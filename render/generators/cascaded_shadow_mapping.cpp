#include "render/generators/cascaded_shadow_mapping.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/generators/modifier_inputs.h"
#include "render/generators/shadow_casters.h"
#include "render/generators/variable_override_map.h"
#include "render/math/shadow_math.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_camera.h"

#include <cstring>
#include <string>

namespace tallow::resource_generator {

namespace {
enum : u32 {
    reported_light = 1,
    reported_direction = 2,
    reported_range = 4,
    reported_target = 8,
    reported_context = 16,
    reported_camera = 32,
    reported_material = 64,
};

u32 optional_name(ConstConfigValue config, const char *key)
{
    ConstConfigValue v = config.member(key);
    return v.kind() == ConstConfigKind::String && v.to_string()[0] ? NameId32(v.to_string()).value() : 0;
}

bool is_number(ConstConfigValue v) { return v.kind() == ConstConfigKind::Integer || v.kind() == ConstConfigKind::Float; }
} // namespace

CascadedShadowMapping::CascadedShadowMapping(Allocator &allocator)
    : ModifierBase(ModifierType::CascadedShadowMapping), _slices(allocator), _scratch(allocator)
{
}

ModifierBase *CascadedShadowMapping::create(const ModifierLoadParams &params)
{
    const ConstConfigValue config = params.config;
    ConstConfigValue light = config.member("light_direction");
    const char *text = light.kind() == ConstConfigKind::String ? light.to_string() : "";
    const char *colon = strchr(text, ':');
    if (!colon || colon == text || !colon[1]) {
        log_message("render", "cascaded_shadow_mapping: \"light_direction\" must be \"material:variable\" (got \"%s\"); "
                              "refused",
                    text);
        return nullptr;
    }
    ResourceGenerator &generator = *params.generator;
    CascadedShadowMapping *step = make_new<CascadedShadowMapping>(generator.allocator(), generator.allocator());
    if (!step) {
        log_message("render", "cascaded_shadow_mapping: out of memory");
        return nullptr;
    }
    step->_light_material = NameId32(std::string(text, colon).c_str()).value();
    step->_light_variable = NameId32(colon + 1).value();

    ConstConfigValue slices = config.member("slices");
    const i32 count = slices.kind() == ConstConfigKind::Array ? slices.count() : 0;
    bool refused = count == 0;
    if (count == 0)
        log_message("render", "cascaded_shadow_mapping without \"slices\"; refused");
    if (u32(count) > max_cascade_slices) {
        log_message("render", "cascaded_shadow_mapping: %d slices, at most %u; refused", count, max_cascade_slices);
        refused = true;
    }
    for (i32 i = 0; i < count && !refused; ++i) {
        ConstConfigValue s = slices.element(i);
        Slice slice;
        slice.output = optional_name(s, "output");
        ConstConfigValue viewport = s.member("viewport");
        if (slice.output == 0 || (!viewport.is_nil() && (viewport.kind() != ConstConfigKind::Array || viewport.count() < 4))) {
            log_message("render", "cascaded_shadow_mapping: slice %d needs an \"output\" and, when it names one, a "
                                  "\"viewport\" of four numbers; refused",
                        i);
            refused = true;
            break;
        }
        for (i32 v = 0; v < 4 && !viewport.is_nil(); ++v)
            slice.viewport[v] = viewport.element(v).to_float();
        slice.depth_range = optional_name(s, "depth_range");
        if (slice.depth_range == 0) {
            if (!is_number(s.member("depth_start")) || !is_number(s.member("depth_end")))
                log_message("render", "cascaded_shadow_mapping: slice %d has no depth range; it uses 0 to 0", i);
            slice.depth_start = s.member("depth_start").to_float();
            slice.depth_end = s.member("depth_end").to_float();
        }
        slice.cutter_material = optional_name(s, "cutter_material");
        slice.mask_material = optional_name(s, "mask_material");
        if (!step->_slices.push_back(slice))
            refused = true;
    }
    if (refused) {
        delete_with_allocator(generator.allocator(), step);
        return nullptr;
    }
    return step;
}

bool CascadedShadowMapping::light_direction(const GeneratorFrame &frame, Vector3 *out)
{
    ShaderContext *material = frame.shading ? frame.shading->material_context(_light_material) : nullptr;
    for (u32 slot = 0; material && slot < material->slot_count(); ++slot) {
        const Shader *shader = material->shader(slot);
        const ShaderVariable *v = shader ? shader->find_variable(_light_variable) : nullptr;
        const u8 *block = material->block(slot);
        if (!v || !block || v->size_bytes < 12 || v->offset + 12 > material->block_size(slot))
            continue;
        f32 xyz[3];
        memcpy(xyz, block + v->offset, sizeof xyz);
        *out = {xyz[0], xyz[1], xyz[2]};
        return true;
    }
    return false;
}

void CascadedShadowMapping::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    if (!frame.camera || !frame.render_world) {
        if (first_report(_reported, reported_camera))
            log_message("render", "cascaded_shadow_mapping needs the view's camera and render world; it draws nothing");
        return;
    }
    // 1. The light direction, normalised (zero when it is too short).
    Vector3 direction{0, 0, 0};
    if (!light_direction(frame, &direction) && first_report(_reported, reported_light))
        log_message("render", "cascaded_shadow_mapping: material 0x%08x or its vector3 0x%08x is not in the frame's "
                              "shading environment; no slice is drawn",
                    _light_material, _light_variable);
    direction = normalize(direction);

    const RenderCamera &camera = *frame.camera;
    CascadeCamera view;
    view.pose = camera.pose();
    view.perspective = camera.block().projection_type == camera_perspective;
    view.vertical_fov = camera.block().vertical_fov;
    view.aspect = camera.aspect();
    view.ortho_left = camera.block().ortho_left;
    view.ortho_right = camera.block().ortho_right;
    view.ortho_bottom = camera.block().ortho_bottom;
    view.ortho_top = camera.block().ortho_top;

    u32 cleared[max_cascade_slices];
    u32 cleared_count = 0;
    // The slices are set up here, then their casters drawn together (on the pool).
    ShadowView views[max_cascade_slices];
    u32 view_count = 0;
    bool stopped = false; // the rest of the slices, and the viewport's restore, are left out
    for (u32 i = 0; i < _slices.size(); ++i) {
        const Slice &slice = _slices[i];
        u64 key = 0;
        if (!make_generator_sub_key(run.key, 1 + i, &key)) {
            stopped = true;
            break;
        }
        ResolvedResource target;
        if (!resolve_resource(frame, slice.output, &target) || !target.target) {
            if (first_report(_reported, reported_target))
                log_message("render", "cascaded_shadow_mapping: slice %u's output 0x%08x is not a render target of "
                                      "the frame; it is skipped",
                            i, slice.output);
            continue;
        }
        RenderContext *context = begin_shadow_context(frame);
        if (!context) {
            if (first_report(_reported, reported_context))
                log_message("render", "cascaded_shadow_mapping: no render context for a slice; the rest are skipped");
            stopped = true;
            break;
        }

        // b. The slice's region of its target; the first slice on a target clears it.
        bool first_use = true;
        for (u32 c = 0; c < cleared_count; ++c)
            first_use = first_use && cleared[c] != slice.output;
        if (!context->begin_segment(key))
            continue;
        const Viewport region{slice.viewport[0], slice.viewport[1], slice.viewport[2], slice.viewport[3], 0.0f, 1.0f};
        context->set_viewports(1, &region);
        for (u32 s = 0; s < max_render_target_slots; ++s) {
            const CommandSetRenderTarget unbind{s, 0, nullptr};
            (void)context->write_command(RenderCommand::SetRenderTarget, &unbind, sizeof unbind);
        }
        const CommandSetDepthStencil depth{target.target, 0, 0};
        (void)context->write_command(RenderCommand::SetDepthStencil, &depth, sizeof depth);
        if (first_use) {
            context->clear(2);
            cleared[cleared_count++] = slice.output;
        }
        context->end_segment();

        // c. The depth range.
        CascadeSliceInput input;
        input.depth_start = slice.depth_start;
        input.depth_end = slice.depth_end;
        if (slice.depth_range != 0) {
            const void *bound = frame.overrides ? frame.overrides->find(slice.depth_range) : nullptr;
            if (!bound) {
                if (first_report(_reported, reported_range))
                    log_message("render", "cascaded_shadow_mapping: depth range 0x%08x is not bound this frame; the "
                                          "slice draws nothing",
                                slice.depth_range);
                continue;
            }
            f32 range[2];
            memcpy(range, bound, sizeof range);
            input.depth_start = range[0];
            input.depth_end = range[1];
        }
        input.light_direction = direction;
        input.target_width = f32(target.width);
        input.target_height = f32(target.height);
        for (u32 v = 0; v < 4; ++v)
            input.viewport[v] = slice.viewport[v];

        // d.-j. The light box.
        CascadeSliceFit fit;
        if (!fit_cascade_slice(view, input, &fit)) {
            if (first_report(_reported, reported_direction))
                log_message("render", "cascaded_shadow_mapping: the light direction has no length; the slices are "
                                      "cleared and draw nothing");
            continue;
        }

        // k. The materials.
        if (slice.mask_material) {
            if (ShaderContext *mask = frame.shading ? frame.shading->material_context(slice.mask_material) : nullptr)
                mask->set_matrix(NameId32("world_to_shadow_map").value(), fit.world_to_shadow_map);
            else if (first_report(_reported, reported_material))
                log_message("render", "cascaded_shadow_mapping: mask material 0x%08x is not in the frame's shading "
                                      "environment",
                            slice.mask_material);
        }
        if (slice.cutter_material) {
            if (ShaderContext *cutter = frame.shading ? frame.shading->material_context(slice.cutter_material) : nullptr) {
                cutter->set_matrix(NameId32("box_wtm").value(), fit.light_pose);
                cutter->set_vector3(NameId32("box_scale").value(), fit.radius, fit.far_range, fit.radius);
                cutter->set_vector3(NameId32("box_translation").value(), 0.0f, shadow_near_range, 0.0f);
            } else if (first_report(_reported, reported_material)) {
                log_message("render", "cascaded_shadow_mapping: cutter material 0x%08x is not in the frame's shading "
                                      "environment",
                            slice.cutter_material);
            }
        }

        // l. The casters the light camera sees.
        CameraBlock block;
        block.projection_type = camera_orthographic;
        block.near_range = shadow_near_range;
        block.far_range = fit.far_range;
        block.ortho_left = -fit.radius;
        block.ortho_right = fit.radius;
        block.ortho_bottom = -fit.radius;
        block.ortho_top = fit.radius;
        ShadowView &slice_view = views[view_count++];
        slice_view.context = context;
        slice_view.camera = block;
        slice_view.pose = fit.light_pose;
        slice_view.key = key;
    }
    render_shadow_views(*frame.render_world, views, view_count, frame.pool,
                        frame.shading ? frame.shading->environment_values() : nullptr, &_scratch);
    if (stopped)
        return;

    // m. The frame's viewport again, after every slice.
    u64 restore = 0;
    if (!make_generator_sub_key(run.key, _slices.size() + 1, &restore) || !run.context->begin_segment(restore))
        return;
    run.context->set_viewports(1, &frame.viewport);
    run.context->end_segment();
}

} // namespace tallow::resource_generator

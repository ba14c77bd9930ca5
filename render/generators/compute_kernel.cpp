#include "render/generators/compute_kernel.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/generators/modifier_inputs.h"

namespace tallow::resource_generator {

namespace {
enum : u32 {
    reported_target = 1,
    reported_input = 2,
    reported_shading = 4,
};

const char *const count_keys[3] = {"thread_count_x", "thread_count_y", "thread_count_z"};
const char *const axis_names[3] = {"x", "y", "z"};

u32 read_divider(ConstConfigValue v, u32 axis)
{
    if (v.kind() == ConstConfigKind::Integer && v.to_integer() > 0)
        return u32(v.to_integer());
    log_message("render", "compute_kernel: thread_count_divider of axis %s is not an integer of 1 or more; 1 is used",
                axis_names[axis]);
    return 1;
}
} // namespace

ComputeKernel::ComputeKernel(Allocator &allocator)
    : ModifierBase(ModifierType::ComputeKernel), _allocator(allocator), _own_context(allocator), _inputs(allocator)
{
}

u32 ComputeKernel::group_count(u32 count, u32 divider)
{
    if (divider == 0)
        divider = 1;
    return u32((u64(count) + divider - 1) / divider);
}

ModifierBase *ComputeKernel::create(const ModifierLoadParams &params)
{
    ResourceGenerator &generator = *params.generator;
    ComputeKernel *kernel = make_new<ComputeKernel>(generator.allocator(), generator.allocator());
    if (!kernel) {
        log_message("render", "compute_kernel: out of memory");
        return nullptr;
    }
    const ConstConfigValue config = params.config;
    (void)load_shading(config, "compute_kernel", params.load->shaders, kernel->_own_context, &kernel->_material);
    ConstConfigValue input = config.member("input");
    if (input.kind() == ConstConfigKind::String)
        (void)parse_name_list(input.to_string(), kernel->_inputs);

    for (u32 axis = 0; axis < 3; ++axis) {
        ConstConfigValue v = config.member(count_keys[axis]);
        ThreadCount &count = kernel->_counts[axis];
        if (v.kind() == ConstConfigKind::Integer && v.to_integer() >= 0)
            count.fixed = u32(v.to_integer());
        else if (v.kind() == ConstConfigKind::String)
            count.target = NameId32(v.to_string()).value();
        else if (!v.is_nil())
            log_message("render", "compute_kernel: %s is neither an integer of 0 or more nor a target name; 1 is used",
                        count_keys[axis]);
    }
    ConstConfigValue divider = config.member("thread_count_divider");
    if (divider.kind() == ConstConfigKind::Array) {
        if (divider.count() > 3)
            log_message("render", "compute_kernel: thread_count_divider has %d values; the ones past 3 are left out",
                        divider.count());
        for (i32 axis = 0; axis < 3 && axis < divider.count(); ++axis)
            kernel->_dividers[axis] = read_divider(divider.element(axis), u32(axis));
    } else if (!divider.is_nil()) {
        const u32 all = read_divider(divider, 0);
        for (u32 &d : kernel->_dividers)
            d = all;
    }
    return kernel;
}

void ComputeKernel::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    RenderContext &context = *run.context;

    // 1. Shading and inputs.
    ShaderContext *shading = step_shader_context(frame, _material, _own_context);
    if (!shading && first_report(_reported, reported_shading))
        log_message("render", "compute_kernel: %s; nothing is dispatched",
                    _material ? "its material is not in the frame's shading environment" : "it has no shader");
    if (shading) {
        const Matrix4x4 &identity = matrix4x4_identity;
        shading->set_matrices(identity, identity, identity,
                              frame.shading ? frame.shading->environment_values() : nullptr);
        if (frame.device && frame.resources)
            shading->bind_resources(*frame.device, *frame.resources);
        for (u32 i = 0; i < _inputs.size(); ++i) {
            ResolvedResource input;
            if (!resolve_resource(frame, _inputs[i], &input)) {
                if (first_report(_reported, reported_input))
                    log_message("render", "compute_kernel: input 0x%08x is not a render target or texture of the "
                                          "frame; it is not bound",
                                _inputs[i]);
                continue;
            }
            const InputVariables names = input_variables(i);
            shading->set_resource(names.texture, input.handle);
            shading->set_vector2(names.size, f32(input.width), f32(input.height));
        }
    }

    // 2. Group counts.
    u32 groups[3] = {0, 0, 0};
    bool counted = true;
    for (u32 axis = 0; axis < 3; ++axis) {
        u32 count = _counts[axis].fixed;
        if (_counts[axis].target != 0) {
            ResolvedResource target;
            if (!resolve_resource(frame, _counts[axis].target, &target)) {
                if (first_report(_reported, reported_target))
                    log_message("render", "compute_kernel: %s names 0x%08x, which is not a render target or texture "
                                          "of the frame; nothing is dispatched",
                                count_keys[axis], _counts[axis].target);
                counted = false;
                continue;
            }
            count = axis == 0 ? target.width : axis == 1 ? target.height : target.depth;
        }
        groups[axis] = group_count(count, _dividers[axis]);
    }

    // 3. Unbind every target: the kernel may write what they were.
    if (!context.begin_segment(run.key))
        return;
    for (u32 slot = 0; slot < max_render_target_slots; ++slot) {
        const CommandSetRenderTarget command{slot, 0, nullptr};
        (void)context.write_command(RenderCommand::SetRenderTarget, &command, sizeof command);
    }
    context.end_segment();

    // 4. The dispatch.
    ShaderSlotEntry slot;
    if (!counted || !shading || !shading->slot_entry(context.shader_slot_index(), &slot))
        return;
    RenderBatch batch;
    batch.primitive_count = 0;
    batch.vertex_count = 0;
    batch.thread_groups[0] = groups[0];
    batch.thread_groups[1] = groups[1];
    batch.thread_groups[2] = groups[2];
    (void)context.render_step_batch(batch, slot, run.key);
}

} // namespace tallow::resource_generator

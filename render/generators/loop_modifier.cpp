#include "render/generators/loop_modifier.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/sort_key.h"
#include "render/generators/modifier_inputs.h"
#include "render/generators/variable_override_map.h"

namespace tallow::resource_generator {

namespace {
enum : u32 {
    reported_no_count = 1,
    reported_no_source = 2,
    reported_short_source = 4,
    reported_outside_block = 8,
};

u32 element_bytes(u32 kind)
{
    switch (kind) {
    case shading_variable_kind::scalar_array: return 4;
    case shading_variable_kind::vector2_array: return 8;
    case shading_variable_kind::vector3_array: return 12;
    default: return 0;
    }
}
} // namespace

LoopModifier::LoopModifier(Allocator &allocator)
    : ModifierBase(ModifierType::Loop), _indexed(allocator), _children(allocator)
{
}

ModifierBase *LoopModifier::create(const ModifierLoadParams &params)
{
    ResourceGenerator &generator = *params.generator;
    LoopModifier *loop = make_new<LoopModifier>(generator.allocator(), generator.allocator());
    if (!loop) {
        log_message("render", "loop: out of memory");
        return nullptr;
    }
    (void)generator.create_modifier_list(loop->_children, params.config.member("modifiers"), *params.load,
                                         params.depth + 1);
    ConstConfigValue count = params.config.member("count_variable");
    if (count.kind() == ConstConfigKind::String)
        loop->_count_variable = NameId32(count.to_string()).value();
    else
        log_message("render", "loop without a \"count_variable\" string; it runs nothing");
    ConstConfigValue indexed = params.config.member("indexed_variables");
    for (i32 i = 0; i < indexed.count() && indexed.kind() == ConstConfigKind::Array; ++i) {
        ConstConfigValue source = indexed.element(i).member("source_array");
        ConstConfigValue variable = indexed.element(i).member("variable");
        if (source.kind() != ConstConfigKind::String || variable.kind() != ConstConfigKind::String) {
            log_message("render", "loop: indexed variable %d needs \"source_array\" and \"variable\" strings; left out",
                        i);
            continue;
        }
        (void)loop->_indexed.push_back(
            IndexedVariable{NameId32(source.to_string()).value(), NameId32(variable.to_string()).value()});
    }
    return loop;
}

void LoopModifier::bind(const GeneratorFrame &frame, const IndexedVariable &pair, u32 iteration)
{
    const ShadingVariable *source = frame.shading->find_variable(pair.source_array);
    if (!source || source->element_count == 0) {
        if (first_report(_reported, reported_no_source))
            log_message("render", "loop: source array 0x%08x is missing or empty in the shading environment; "
                                  "variable 0x%08x is not bound",
                        pair.source_array, pair.variable);
        return;
    }
    u32 element = iteration;
    if (element >= source->element_count) {
        if (first_report(_reported, reported_short_source))
            log_message("render", "loop: source array 0x%08x has %u elements, fewer than the loop runs; its last "
                                  "element stays bound",
                        pair.source_array, source->element_count);
        element = source->element_count - 1;
    }
    const u32 size = element_bytes(source->kind);
    const u64 at = u64(source->offset) + u64(size) * element;
    if (at + (size ? size : 4) > frame.shading->value_block_size()) {
        if (first_report(_reported, reported_outside_block))
            log_message("render", "loop: element %u of array 0x%08x lies outside the environment's values; not bound",
                        element, pair.source_array);
        return;
    }
    (void)frame.overrides->set(pair.variable, frame.shading->value_block() + at);
}

void LoopModifier::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    const ShadingVariable *count = frame.shading ? frame.shading->find_variable(_count_variable) : nullptr;
    if (!count) {
        if (first_report(_reported, reported_no_count))
            log_message("render", "loop: count variable 0x%08x is not in the frame's shading environment; it runs "
                                  "nothing",
                        _count_variable);
        return;
    }
    for (u32 i = 0; i < count->element_count; ++i) {
        for (ModifierBase *child : _children) {
            if (*run.counter > sort_key::max_generator_counter) {
                // No later step can have a key: report it once and stop, whatever the count.
                run.generator->execute_modifier(*child, *run.context, run.layer_key, *run.counter, frame);
                return;
            }
            if (frame.overrides)
                for (const IndexedVariable &pair : _indexed)
                    bind(frame, pair, i);
            run.generator->execute_modifier(*child, *run.context, run.layer_key, *run.counter, frame);
            ++*run.counter;
        }
    }
}

void LoopModifier::release(ResourceGenerator &generator, RenderResourceContext *context)
{
    generator.destroy_modifiers(_children, context);
}

} // namespace tallow::resource_generator

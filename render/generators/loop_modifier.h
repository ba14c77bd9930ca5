#pragma once
// "loop": runs its children once per element of a shading-environment array, binding named
// shader variables to the current element of other arrays through the view's
// VariableOverrideMap (variable_override_map.h).
//
//   { type = "loop" count_variable = "cascade_count_array" modifiers = [ ... ]
//     indexed_variables = [ { source_array = "cascade_depths" variable = "slice_depth" } ] }
//
// Iteration i (0 to N - 1, N the count variable's element count) binds each variable to
// element i of its source array (elements of 4, 8 or 12 bytes for scalar, vector2 and
// vector3 arrays), then runs every child, each under its own counter. A source array
// shorter than N binds its last element for the later iterations; an empty or missing
// source binds nothing; a missing count variable (or no environment) runs nothing. Each is
// logged once. The last bindings stay in the map for the rest of the view's run.

#include "render/generators/resource_generator.h"

namespace tallow::resource_generator {

class LoopModifier final : public ModifierBase {
  public:
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit LoopModifier(Allocator &allocator);
    bool holds_children() const override { return true; }              // See ModifierBase
    void execute(const ModifierExecution &run) override;               // See ModifierBase
    void release(ResourceGenerator &generator, RenderResourceContext *context) override; // See ModifierBase

    struct IndexedVariable {
        u32 source_array; // NameId32 of the environment's array
        u32 variable;     // NameId32 of the shader variable bound to its element
    };
    u32 count_variable() const { return _count_variable; }
    const Array<IndexedVariable> &indexed_variables() const { return _indexed; }
    const Array<ModifierBase *> &children() const { return _children; }

  private:
    void bind(const GeneratorFrame &frame, const IndexedVariable &pair, u32 iteration);

    u32 _count_variable = 0;
    Array<IndexedVariable> _indexed;
    Array<ModifierBase *> _children;
    u32 _reported = 0;
};

} // namespace tallow::resource_generator

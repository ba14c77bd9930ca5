#pragma once
// "dynamic_branch": each frame, runs its pass list when the current render settings and
// caps match its conditions, else its fail list.
//
//   { type = "dynamic_branch" render_settings = { bloom = true } render_caps = { deferred = true }
//     pass_modifiers = [ ... ] fail_modifiers = [ ... ] }
//
// A missing condition matches (config_matches, render_branch.h); a failed settings test
// does not look at the caps. The conditions stay in the loaded configuration (not copied);
// the settings and caps are read each frame through the pointers the load was given, so a
// changed render setting switches the branch on the next frame. Children take counters
// from the branch's own (resource_generator.h).

#include "render/generators/resource_generator.h"

namespace tallow::resource_generator {

class BranchModifier final : public ModifierBase {
  public:
    /// Reads the conditions and builds both lists (nested static branches resolved in
    /// place). Null (logged) when memory runs out; refused children are left out.
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit BranchModifier(Allocator &allocator);
    bool holds_children() const override { return true; }              // See ModifierBase
    void execute(const ModifierExecution &run) override;               // See ModifierBase
    void release(ResourceGenerator &generator, RenderResourceContext *context) override; // See ModifierBase

    /// True when this frame takes the pass list.
    bool passes() const;
    const Array<ModifierBase *> &pass_modifiers() const { return _pass; }
    const Array<ModifierBase *> &fail_modifiers() const { return _fail; }

  private:
    ConstConfigValue _settings_condition;
    ConstConfigValue _caps_condition;
    RenderBranchValues _values;
    Array<ModifierBase *> _pass;
    Array<ModifierBase *> _fail;
};

} // namespace tallow::resource_generator

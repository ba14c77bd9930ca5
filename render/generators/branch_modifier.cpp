#include "render/generators/branch_modifier.h"

#include "foundation/log.h"

namespace tallow::resource_generator {

BranchModifier::BranchModifier(Allocator &allocator)
    : ModifierBase(ModifierType::DynamicBranch), _pass(allocator), _fail(allocator)
{
}

ModifierBase *BranchModifier::create(const ModifierLoadParams &params)
{
    ResourceGenerator &generator = *params.generator;
    BranchModifier *branch = make_new<BranchModifier>(generator.allocator(), generator.allocator());
    if (!branch) {
        log_message("render", "dynamic_branch: out of memory");
        return nullptr;
    }
    branch->_settings_condition = params.config.member("render_settings");
    branch->_caps_condition = params.config.member("render_caps");
    branch->_values = params.load->values;
    // Refused children are logged where they are refused; the branch keeps the others.
    (void)generator.create_modifier_list(branch->_pass, params.config.member("pass_modifiers"), *params.load,
                                         params.depth + 1);
    (void)generator.create_modifier_list(branch->_fail, params.config.member("fail_modifiers"), *params.load,
                                         params.depth + 1);
    return branch;
}

bool BranchModifier::passes() const
{
    return config_matches(_values.render_settings, _settings_condition) &&
           config_matches(_values.render_caps, _caps_condition);
}

void BranchModifier::execute(const ModifierExecution &run)
{
    run.generator->run_children(passes() ? _pass : _fail, run);
}

void BranchModifier::release(ResourceGenerator &generator, RenderResourceContext *context)
{
    generator.destroy_modifiers(_pass, context);
    generator.destroy_modifiers(_fail, context);
}

} // namespace tallow::resource_generator

#pragma once
// The one comparison of a condition object with the renderer's settings or capabilities,
// used by static branches of the render configuration and by shader template options.
//
//   RenderBranchValues values{settings, caps};
//   if (static_branch_passes(item, values)) parse item.member("pass") ... else ... "fail"
//   bool chosen = config_matches(caps, option_condition);
//
// Numbers compare by value whatever their kind: a setting made an integer by the config
// text (3) equals a condition float 3.0 and the other way round, since render variables
// set from text may change kind at run time. Bools, strings and nil compare by kind and
// value; arrays and objects never match. Any thread, given trees nobody writes meanwhile.

#include "foundation/config/config_value.h"
#include "foundation/config/const_config_value.h"

namespace tallow {

/// What a static branch tests.
struct RenderBranchValues {
    const ConfigValue *render_settings = nullptr; // the renderer settings object (null: none)
    const ConfigValue *render_caps = nullptr;     // "RenderCaps"
    const char *platform = "win";                 // the name data tests "platform" against
};

/// True when `condition` is not an object or is empty, or when every member exists in
/// `settings` with an equal value (see above). A null `settings` matches only an empty
/// condition.
bool config_matches(const ConfigValue *settings, ConstConfigValue condition);

/// A static branch: "platform" must equal values.platform ("win" for every platform of this
/// engine, so existing data keeps its meaning), "render_settings" and "render_caps" must
/// match (config_matches). A key the branch lacks is not tested.
bool static_branch_passes(ConstConfigValue branch, const RenderBranchValues &values);

/// Nested static branches deeper than this are refused (logged), so hostile data cannot
/// exhaust the stack.
constexpr u32 max_static_branch_depth = 16;

} // namespace tallow

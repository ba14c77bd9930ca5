#include "render/config/render_branch.h"

#include <cstring>

namespace tallow {

namespace {

bool is_number(ConfigKind k) { return k == ConfigKind::Integer || k == ConfigKind::Float; }

bool value_equals(const ConfigValue &have, ConstConfigValue wanted)
{
    switch (wanted.kind()) {
    case ConstConfigKind::Nil: return have.kind() == ConfigKind::Nil;
    case ConstConfigKind::Bool: return have.kind() == ConfigKind::Bool && have.to_bool() == wanted.to_bool();
    case ConstConfigKind::Integer:
        if (have.kind() == ConfigKind::Integer)
            return have.to_integer() == wanted.to_integer();
        return have.kind() == ConfigKind::Float && have.to_float() == f32(wanted.to_integer());
    case ConstConfigKind::Float: return is_number(have.kind()) && have.to_float() == wanted.to_float();
    case ConstConfigKind::String:
        return have.kind() == ConfigKind::String && strcmp(have.to_string(), wanted.to_string()) == 0;
    case ConstConfigKind::Array:
    case ConstConfigKind::Object: return false;
    }
    return false;
}

} // namespace

bool config_matches(const ConfigValue *settings, ConstConfigValue condition)
{
    if (condition.kind() != ConstConfigKind::Object || condition.count() == 0)
        return true;
    if (!settings)
        return false;
    const i32 n = condition.count();
    for (i32 i = 0; i < n; ++i) {
        const char *key = "";
        ConstConfigValue wanted = condition.member_at(i, &key);
        const ConfigValue *have = settings->find(key);
        if (!have || !value_equals(*have, wanted))
            return false;
    }
    return true;
}

bool static_branch_passes(ConstConfigValue branch, const RenderBranchValues &values)
{
    ConstConfigValue platform = branch.member("platform");
    if (!platform.is_nil() && strcmp(platform.to_string(), values.platform ? values.platform : "") != 0)
        return false;
    ConstConfigValue settings = branch.member("render_settings");
    if (!settings.is_nil() && !config_matches(values.render_settings, settings))
        return false;
    ConstConfigValue caps = branch.member("render_caps");
    if (!caps.is_nil() && !config_matches(values.render_caps, caps))
        return false;
    return true;
}

} // namespace tallow

#include "application/application_settings.h"

#include "foundation/config/config_value.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/path.h"

#include <cstdlib>
#include <cstring>

namespace tallow {

namespace {

ConfigValue *user_member(ConfigValue *user, const char *user_key)
{
    if (!user || !user_key)
        return nullptr;
    return &user->member(user_key);
}

} // namespace

bool setting_bool(ConstConfigValue s, ConfigValue *user, const char *user_key, bool fallback)
{
    if (ConfigValue *u = user_member(user, user_key); u && u->kind() == ConfigKind::Bool)
        return u->to_bool();
    if (s.kind() == ConstConfigKind::Bool)
        return s.to_bool();
    return fallback;
}

i32 setting_integer(ConstConfigValue s, ConfigValue *user, const char *user_key, i32 fallback)
{
    if (ConfigValue *u = user_member(user, user_key); u && u->kind() == ConfigKind::Integer)
        return u->to_integer();
    if (s.kind() == ConstConfigKind::Integer)
        return s.to_integer();
    return fallback;
}

f32 setting_float(ConstConfigValue s, ConfigValue *user, const char *user_key, f32 fallback)
{
    if (ConfigValue *u = user_member(user, user_key);
        u && (u->kind() == ConfigKind::Integer || u->kind() == ConfigKind::Float))
        return u->to_float();
    if (s.kind() == ConstConfigKind::Integer || s.kind() == ConstConfigKind::Float)
        return s.to_float();
    return fallback;
}

i32 setting_resolution(ConstConfigValue s, ConfigValue *user, u32 index, i32 fallback)
{
    if (ConfigValue *u = user_member(user, "screen_resolution"); u && u->kind() == ConfigKind::Array &&
                                                                  index < u->items().size()) {
        const ConfigValue &e = u->items()[index];
        if (e.kind() == ConfigKind::Integer)
            return e.to_integer();
        if (e.kind() == ConfigKind::Float) {
            f32 f = e.to_float();
            // Truncated towards zero; values no window can have are refused.
            if (f > -2147483520.0f && f < 2147483520.0f)
                return i32(f);
        }
    }
    ConstConfigValue e = s.element(i32(index));
    if (e.kind() == ConstConfigKind::Integer)
        return e.to_integer();
    return fallback;
}

bool application_data_folder(DynamicString &out_folder)
{
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        out_folder.assign_cstr(xdg);
    } else {
        const char *home = getenv("HOME");
        if (!home || !home[0])
            return false;
        out_folder.assign_cstr(home);
        out_folder.append("/.config");
    }
    return true;
}

bool expand_application_data(const char *path, DynamicString &out_path)
{
    static const char pattern[] = "%APPDATA%";
    out_path.assign_cstr(path);
    if (!strstr(path, pattern))
        return true;
    Allocator &allocator = out_path.allocator() ? *out_path.allocator() : default_allocator();
    DynamicString folder(allocator);
    if (!application_data_folder(folder)) {
        log_message("application", "\"%s\" needs the application-data folder, which is unknown (no $HOME)", path);
        return false;
    }
    DynamicString result(allocator);
    for (const char *p = path; *p;) {
        if (strncmp(p, pattern, sizeof(pattern) - 1) == 0) {
            result.append(folder.c_str());
            p += sizeof(pattern) - 1;
        } else {
            result.append_char(*p++);
        }
    }
    out_path.assign_cstr(result.c_str());
    return true;
}

bool save_directory_path(const char *setting, DynamicString &out_path)
{
    if (!expand_application_data(setting, out_path))
        return false;
    if (out_path.c_str()[0] == '/')
        return true;
    // A relative folder lives in the user's data folder.
    Allocator &allocator = out_path.allocator() ? *out_path.allocator() : default_allocator();
    DynamicString home(allocator), joined(allocator);
    const char *xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        home.assign_cstr(xdg);
    } else {
        const char *user_home = getenv("HOME");
        if (!user_home || !user_home[0]) {
            log_message("application", "the save folder \"%s\" needs the user's data folder, which is unknown (no $HOME)",
                        setting);
            return false;
        }
        home.assign_cstr(user_home);
        home.append("/.local/share");
    }
    path_join(home.c_str(), out_path.c_str(), joined);
    out_path.assign_cstr(joined.c_str());
    return true;
}

} // namespace tallow

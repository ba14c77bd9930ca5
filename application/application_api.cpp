// Script table `Application`: the program-wide services scripts reach.
//
//   Application.quit()
//   local args = {Application.argv()}
//   Application.set_win32_user_setting("video", "vsync", true)
//   Application.save_win32_user_settings()
//
// The bindings reach the one Application through the environment (set by the
// registration driver). Functions whose service is not built yet are not registered.
// The table belongs to the Application's layer and is put in through the script layer's
// registration helpers (the script layer does not know the Application).

#include "application/application_api.h"

#include "application/application.h"
#include "foundation/strings/command_line.h"
#include "foundation/config/config_value.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/memory/memory_globals.h"
#include "platform/shell/open_url.h"
#include "script/lua_environment.h"
#include "script/registration.h"
#include "script/script_api.h"

#include <lua.hpp>

#include <algorithm>
#include <unistd.h>

namespace tallow {

namespace {

constexpr u32 max_preference_names = 10;

Application &application_of(const LuaStack &stack)
{
    return *static_cast<Application *>(stack.environment().application());
}

int platform_name(lua_State *L)
{
    lua_pushliteral(L, "win32"); // scripts keep seeing the platform name they were written for
    return 1;
}

int build(lua_State *L)
{
    lua_pushliteral(L, "release");
    return 1;
}

int set_resource_property_preference_order(lua_State *L)
{
    LuaStack stack(L);
    i32 n = stack.count();
    if (n > i32(max_preference_names))
        stack.argument_message(max_preference_names + 1, "at most %u property names", max_preference_names);
    u64 ids[max_preference_names];
    for (i32 i = 0; i < n; ++i)
        ids[i] = stack.get_id64(i + 1).value();
    application_of(stack).set_resource_property_preference_order(ids, u32(n));
    return 0;
}

int open_url(lua_State *L)
{
    LuaStack stack(L);
    platform::open_url_in_browser(stack.get_string(1));
    return 0;
}

int argv(lua_State *L)
{
    LuaStack stack(L);
    Array<DynamicString> arguments(default_allocator());
    // Read before any Lua call that could raise: the array must be destroyed normally.
    bool ok = command_line_arguments(arguments);
    i32 n = ok && arguments.size() > 0 ? i32(arguments.size()) - 1 : 0;
    if (!lua_checkstack(L, n + 1))
        n = 0;
    for (i32 i = 0; i < n; ++i)
        lua_pushstring(L, arguments[u32(i + 1)].c_str());
    return n;
}

int quit(lua_State *L)
{
    application_of(LuaStack(L)).quit();
    return 0;
}

/// Walks the user settings along the keys at arguments first..last; null when the path
/// leads nowhere.
const ConfigValue *find_setting(const LuaStack &stack, const ConfigValue *value, i32 first, i32 last)
{
    for (i32 arg = first; arg <= last && value; ++arg) {
        if (stack.is_string(arg)) {
            value = value->kind() == ConfigKind::Object ? value->find(stack.get_string(arg)) : nullptr;
        } else {
            i64 k = stack.get_integer(arg, 1, script_config_max_array);
            value = value->kind() == ConfigKind::Array && u64(k) <= value->items().size()
                        ? &value->items()[u32(k - 1)]
                        : nullptr;
        }
    }
    return value;
}

int win32_user_setting(lua_State *L)
{
    LuaStack stack(L);
    ConfigValue *settings = application_of(stack).user_settings();
    if (stack.count() < 1)
        stack.argument_error(1, "key");
    const ConfigValue *value = settings ? find_setting(stack, settings, 1, stack.count()) : nullptr;
    if (value)
        push_config_value(L, *value);
    else
        lua_pushnil(L);
    return 1;
}

int set_win32_user_setting(lua_State *L)
{
    LuaStack stack(L);
    i32 n = stack.count();
    if (n < 2)
        stack.argument_error(n + 1, n == 0 ? "key" : "value");
    ConfigValue *value = application_of(stack).user_settings();
    if (!value)
        stack.error("no user settings");
    // Check every key and the value before changing anything.
    for (i32 arg = 1; arg < n; ++arg)
        if (!stack.is_string(arg))
            (void)stack.get_integer(arg, 1, script_config_max_array);
    check_config_value(L, n);
    for (i32 arg = 1; arg < n; ++arg) {
        if (stack.is_string(arg))
            value = &value->member(stack.get_string(arg));
        else
            value = &value->element(u32(stack.get_integer(arg) - 1));
    }
    to_config_value(L, n, *value);
    return 0;
}

int save_win32_user_settings(lua_State *L)
{
    application_of(LuaStack(L)).save_user_settings();
    return 0;
}

int apply_win32_user_settings(lua_State *L)
{
    application_of(LuaStack(L)).apply_user_settings();
    return 0;
}

int process_id(lua_State *L)
{
    lua_pushnumber(L, f64(getpid()));
    return 1;
}

int resource_package(lua_State *L)
{
    LuaStack stack(L);
    NameId64 name = stack.get_id64(1);
    // Made, not loaded; null (logged) when the package cannot be found.
    ResourcePackage *package = application_of(stack).create_package(name);
    if (package)
        push_resource_package(L, package);
    else
        stack.push_nil();
    return 1;
}

int release_resource_package(lua_State *L)
{
    LuaStack stack(L);
    ResourcePackage *package = get_resource_package(stack, 1);
    Application &application = application_of(stack);
    if (std::find(application.packages().begin(), application.packages().end(), package) ==
        application.packages().end())
        stack.argument_message(1, "the package is not one the Application made for scripts");
    clear_resource_package(stack, 1);
    application.release_package(package);
    return 0;
}

int time_since_launch(lua_State *L)
{
    lua_pushnumber(L, application_of(LuaStack(L)).time_since_launch());
    return 1;
}

} // namespace

void register_application_api(LuaEnvironment &env, Application &application)
{
    (void)application;
    static const struct {
        const char *name;
        LuaFunction function;
    } functions[] = {
        {"platform", platform_name},
        {"build", build},
        {"set_resource_property_preference_order", set_resource_property_preference_order},
        {"open_url_in_browser", open_url},
        {"argv", argv},
        {"quit", quit},
        {"set_win32_user_setting", set_win32_user_setting},
        {"win32_user_setting", win32_user_setting},
        {"save_win32_user_settings", save_win32_user_settings},
        {"apply_win32_user_settings", apply_win32_user_settings},
        {"process_id", process_id},
        {"time_since_launch", time_since_launch},
        {"resource_package", resource_package},
        {"release_resource_package", release_resource_package},
    };
    for (const auto &f : functions)
        env.add_module_function("Application", f.name, f.function);
}

} // namespace tallow

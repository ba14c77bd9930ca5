// Script tables of the main state that reach resources: `ResourcePackage` and `Localizer`.
//
//   local package = Application.resource_package("level_one")   -- made, not loaded
//   ResourcePackage.load(package)
//   if ResourcePackage.has_loaded(package) then ResourcePackage.flush(package) end
//   local text = Localizer("menu")                               -- a loaded "strings" resource
//   print(Localizer.lookup(text, "start_game"))                  -- nil when it has no such id
//
// A package is a full userdata holding the package's address; once the Application has
// released it (`Application.release_resource_package`) the userdata holds null and every
// call with it is a Lua error. Only the userdata made here are packages: each is listed (by
// weak key) in a registry table, so another userdata given the `ResourcePackage`
// metatable is refused rather than read as a package. A localizer is the loaded resource's address as light
// userdata; a name that names no loaded "strings" resource gives the null localizer, and a
// localizer whose resource has been unloaded since behaves as the null one: their lookups
// give nil.

#include "resource/resource_package.h"
#include "resource/strings_resource.h"
#include "script/runtime/lua_environment.h"
#include "script/script_api.h"

#include <lua.hpp>

#include <cstring>

namespace tallow {

namespace {

constexpr const char *package_table = "ResourcePackage";
// Registry key of the table whose keys are the package userdata handed out (weak keys).
constexpr const char *issued_packages = "ResourcePackage.issued";

int package_load(lua_State *L)
{
    get_resource_package(LuaStack(L), 1)->load();
    return 0;
}

int package_flush(lua_State *L)
{
    get_resource_package(LuaStack(L), 1)->flush();
    return 0;
}

int package_unload(lua_State *L)
{
    get_resource_package(LuaStack(L), 1)->unload();
    return 0;
}

int package_has_loaded(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(get_resource_package(stack, 1)->has_loaded());
    return 1;
}

// Registry key of the table that maps each localizer handed out to its resource name. A
// localizer is only read through after the manager confirms it still holds that resource
// at that address: a localizer kept past its package's unload is never dereferenced.
constexpr const char *localizer_names = "Localizer.names";

int localizer_create(lua_State *L)
{
    LuaStack stack(L); // argument 1 is the table itself
    auto *manager = static_cast<ResourceManager *>(stack.upvalue());
    void *strings = manager->get(strings_type, stack.get_id64(2));
    if (strings) {
        lua_getfield(L, LUA_REGISTRYINDEX, localizer_names);
        lua_pushlightuserdata(L, strings);
        lua_pushvalue(L, 2);
        lua_rawset(L, -3);
        lua_pop(L, 1);
    }
    stack.push_lightuserdata(strings);
    return 1;
}

int localizer_lookup(lua_State *L)
{
    LuaStack stack(L);
    auto *manager = static_cast<ResourceManager *>(stack.upvalue());
    if (lua_type(L, 1) != LUA_TLIGHTUSERDATA)
        stack.argument_error(1, "Localizer");
    void *p = lua_touserdata(L, 1);
    NameId32 id = stack.get_id32(2);
    if (!p) {
        stack.push_nil(); // the null localizer holds no texts
        return 1;
    }
    lua_getfield(L, LUA_REGISTRYINDEX, localizer_names);
    lua_pushvalue(L, 1);
    lua_rawget(L, -2);
    if (lua_type(L, -1) != LUA_TSTRING)
        stack.argument_error(1, "Localizer");
    NameId64 name = stack.get_id64(-1);
    lua_pop(L, 2);
    // Unloaded since (or replaced by a reload): no texts to give.
    if (manager->get(strings_type, name) != p) {
        stack.push_nil();
        return 1;
    }
    const char *text = strings_lookup(*static_cast<const StringsResource *>(p), id);
    if (text)
        stack.push_string(text);
    else
        stack.push_nil();
    return 1;
}

} // namespace

void push_resource_package(lua_State *L, ResourcePackage *package)
{
    LuaStack(L).push_object(package, package_table);
    lua_getfield(L, LUA_REGISTRYINDEX, issued_packages);
    lua_pushvalue(L, -2);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);
    lua_pop(L, 1);
}

ResourcePackage *get_resource_package(const LuaStack &stack, i32 arg)
{
    lua_State *L = stack.state();
    bool issued = false;
    if (lua_type(L, stack.index(arg)) == LUA_TUSERDATA) {
        lua_getfield(L, LUA_REGISTRYINDEX, issued_packages);
        lua_pushvalue(L, stack.index(arg));
        lua_rawget(L, -2);
        issued = lua_toboolean(L, -1);
        lua_pop(L, 2);
    }
    if (!issued)
        stack.argument_error(arg, package_table);
    return static_cast<ResourcePackage *>(stack.get_object(arg, package_table));
}

void clear_resource_package(const LuaStack &stack, i32 arg)
{
    get_resource_package(stack, arg);
    ResourcePackage *none = nullptr;
    std::memcpy(lua_touserdata(stack.state(), stack.index(arg)), &none, sizeof(none));
}

void register_resource_api(LuaEnvironment &env, ResourceManager *resources)
{
    lua_State *L = env.state();
    lua_newtable(L);
    lua_newtable(L);
    lua_pushstring(L, "k");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
    lua_setfield(L, LUA_REGISTRYINDEX, issued_packages);
    env.add_module_function(package_table, "load", package_load);
    env.add_module_function(package_table, "flush", package_flush);
    env.add_module_function(package_table, "unload", package_unload);
    env.add_module_function(package_table, "has_loaded", package_has_loaded);
    if (!resources)
        return;
    env.add_module_function("Localizer", "lookup", localizer_lookup, resources);
    env.add_module_metamethod("Localizer", "__call", localizer_create, resources);
    lua_newtable(env.state());
    lua_setfield(env.state(), LUA_REGISTRYINDEX, localizer_names);
}

} // namespace tallow

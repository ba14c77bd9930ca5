#pragma once
// The "lua" resource type: a script file as the data build stores it (a u32 little-endian
// byte length, then that many bytes of Lua source or precompiled chunk), and the script
// source that serves loaded "lua" resources to a LuaEnvironment.
//
//   manager.register_type(lua_script_type, lua_resource_type_callbacks());
//   ResourceScriptSource source(manager);
//   LuaEnvironment env(&source, allocator);

#include "resource/resource_manager.h"
#include "script/runtime/lua_environment.h"

namespace tallow {

constexpr NameId64 lua_script_type("lua");

/// A loaded "lua" resource: the stored bytes (length word included), checked at load.
struct LuaScriptResource {
    u64 size;  // bytes that follow
    u8 bytes[]; // u32 length, then the script
};

/// Load callback checks the length word against the resource's size (a bad one fails the
/// load with a logged message); the type's other callbacks are not needed.
ResourceTypeCallbacks lua_resource_type_callbacks();

/// Serves loaded "lua" resources. find_script runs on the thread of the environment that
/// asks: the manager must not change meanwhile (job threads ask while the main thread
/// waits for them).
class ResourceScriptSource final : public IScriptSource {
  public:
    explicit ResourceScriptSource(ResourceManager &manager) : _manager(manager) {}
    bool find_script(const char *name, const u8 *&out_data, u64 &out_size) override; // See IScriptSource

  private:
    ResourceManager &_manager;
};

} // namespace tallow

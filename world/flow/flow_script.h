#pragma once
// What flow graphs call in the game's scripts. The script layer implements it (over its
// Lua environment) and hands it to a World, so the world library needs no script library.
//
//   class MyScripts : public IFlowScript { ... };   // script/runtime/lua_flow_script.h is the real one
//   world.set_script(&scripts, level_script_reference);
//
// Calls come from flow runs on the main thread. A call may destroy units or load another
// level; the World defers both until the run has ended, so flow stays safe. Values are
// passed as the flow graph holds them: `values[i]` points at the bytes of a variable (or
// is null for an unconnected slot) and `types[i]` says what they are.

#include "foundation/types.h"
#include "world/units/unit_handle.h"

namespace tallow {

/// Value types of script arguments in flow graphs (the script layer pushes them).
enum class FlowArgument : u32 {
    None = 0,       // nil
    Unit = 1,       // u32 unit handle
    Pointer = 2,    // the address itself, as light userdata
    Object = 3,     // as Pointer
    Vector3 = 4,    // three f32
    Float = 5,      // f32
    Bool = 6,       // u32, non-zero is true
    String = 7,     // a zero-terminated text
    Id64 = 8,       // u64
    Quaternion = 9, // four f32
};

/// "No script reference" (no level script).
constexpr i32 flow_no_script_reference = -2;

class IFlowScript {
  public:
    virtual ~IFlowScript() = default;
    /// reference:method(unit) for the script table `reference` (flow_no_script_reference:
    /// the global callbacks); `unit` is 0 for none.
    virtual void callback(i32 reference, const char *method, UnitHandle unit) = 0;
    /// table.function(values...) (`table` null: the global function).
    virtual void call_method_with_args(const char *table, const char *function, u32 count, const FlowArgument *types,
                                       const void *const *values) = 0;
    /// table.function({names[i] = values[i]}).
    virtual void call_method_with_table(const char *table, const char *function, u32 count,
                                        const FlowArgument *types, const void *const *values,
                                        const char *const *names) = 0;
    /// Runs `code` with the values as its `...`.
    virtual void do_string(const char *code, u32 count, const FlowArgument *types, const void *const *values) = 0;
    /// Drops a script reference the World held (a level's script when the level goes).
    virtual void release_reference(i32 reference) = 0;
};

} // namespace tallow

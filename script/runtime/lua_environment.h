#pragma once
// The host of one Lua state: script files from "lua" resources, `require` with a recorded
// load order, reload, the protected calls through which the engine enters Lua, the
// temporary math values handed to scripts and the per-frame collection budget.
//
//   LuaEnvironment env(script_source);           // check env.is_valid()
//   register_script_api(env, &application, application.resource_manager(), script_allocator, register_application_api);
//   CallResult r = env.require("boot");
//   if (r.error) log_message("Lua", "%s", lua_tostring(r.state, -1));
//   env.call_function("init");
//
// The game owns the main environment; each job thread that runs script jobs owns one more
// (script/runtime/script_jobs.h). An environment is used by one thread at a time; its Lua state
// has no lock. Every entry into Lua is a protected call: no Lua error escapes into engine
// code. Messages are logged under the category "Lua". Each protected call records the Lua
// traceback of its error where it was raised; whoever reports the error logs it after the
// message with `log_traceback`, one line per frame.

#include "foundation/memory/allocator.h"
#include "foundation/memory/trace_allocator.h"
#include "foundation/types.h"
#include "script/runtime/gc_budget.h"
#include "script/runtime/lua_stack.h"
#include "script/runtime/temp_values.h"

#include <atomic>

struct lua_State;

namespace tallow {

/// A native Lua function (the lua_CFunction of the Lua API).
using LuaFunction = int (*)(lua_State *);

/// Where an environment finds its script files: the loaded "lua" resources.
class IScriptSource {
  public:
    virtual ~IScriptSource() = default;
    /// The bytes of the "lua" resource `name` (given without ".lua"): a u32 little-endian
    /// length followed by that many bytes of source or precompiled chunk. False when no
    /// such resource is loaded. Called on the environment's thread.
    virtual bool find_script(const char *name, const u8 *&out_data, u64 &out_size) = 0;
};

/// Kinds of values that flow graphs pass to script calls (`call_method_with_args`,
/// `do_string`). values[i] points at: 1 a u32 unit handle; 4 three f32; 5 an f32; 6 a u32;
/// 8 a u64 id; 9 four f32. For 2 and 3 the pointer itself is pushed as light userdata; for
/// 7 it is a zero-terminated string. Codes above 9 push nothing.
enum class FlowValueType : u32 {
    None = 0,
    Unit = 1,
    Pointer = 2,
    Object = 3,
    Vector3 = 4,
    Float = 5,
    Bool = 6,
    String = 7,
    Id64 = 8,
    Quaternion = 9,
};

/// An event handed to `callback`: a unit event (tag unit_event_tag) passes its unit to the
/// script method as the second argument.
struct ScriptEvent {
    u32 tag = 0;
    UnitHandle unit = 0;
};
constexpr u32 unit_event_tag = 0x94B65FC5;
/// "No reference" for `callback`.
constexpr i32 no_script_reference = -2;

class LuaEnvironment {
  public:
    /// Builds the state over a "lua" allocator drawn from `parent`. `source` (may be null:
    /// every file is then missing) must outlive the environment. Check is_valid().
    explicit LuaEnvironment(IScriptSource *source, Allocator &parent);
    ~LuaEnvironment();
    LuaEnvironment(const LuaEnvironment &) = delete;
    LuaEnvironment &operator=(const LuaEnvironment &) = delete;

    /// False when construction failed (out of memory); nothing else may be called then.
    bool is_valid() const { return _state != nullptr; }
    lua_State *state() const { return _state; }
    /// The environment that owns `state` (every state made by a LuaEnvironment).
    static LuaEnvironment &from_state(lua_State *state);

    /// The "lua" allocator: every allocation of the state and of the temporaries.
    Allocator &allocator() { return _allocator; }
    /// Bytes of the Lua heap (as the state counts them); the temporaries not included.
    u64 allocated_bytes() const { return _allocated_bytes.load(std::memory_order_relaxed); }
    u64 allocation_count() { return _allocator.allocation_count(); }

    /// Runs the script file `name`; all its results lie above the result's base. A missing
    /// script fails with "script not found: NAME".
    CallResult load_file(const char *name);
    /// Runs `name` once; later calls return the value kept in package.loaded (on top). The
    /// bookkeeping in `package` runs inside the protected call, so a raising metatable there
    /// is an error result.
    CallResult require(const char *name);
    /// Re-runs every required file in first-require order; errors are logged and skipped.
    void reload_all();
    /// Protected call of the function below `argument_count` arguments. The error value is
    /// left as raised; its traceback is recorded for `log_traceback`.
    CallResult pcall(i32 argument_count, i32 result_count);
    /// Logs, under "Lua", the traceback recorded when the error value on top of the stack was
    /// raised: "stack traceback:" and then one line per frame. Nothing when that value did
    /// not come from a protected call of this environment (a compile error has none).
    void log_traceback();
    /// Resets the temporaries, then calls global `name` with the values above args' base
    /// (none when args is null) as arguments, keeping all results. A missing global fails
    /// as a call of nil.
    CallResult call_function(const char *name, const LuaStack *args = nullptr);
    /// Logs the error value on top of the stack with `format` (one %s), its traceback, and
    /// calls the error handler: how a failed callback of a binding is reported.
    void report_error(const char *format);
    /// Calls registry[reference]:method(unit?) for an event; errors are logged and reported
    /// to the error handler. The stack is left as it was.
    void callback(i32 reference, const char *method, const ScriptEvent &event);
    /// Pushes `table.function` (or global `function` when table is null); false, with a
    /// warning and nothing pushed, when either is missing.
    bool call_method(const char *table, const char *function);
    /// Flow calls: `table.function(values...)` or `table.function({names[i] = values[i]})`.
    /// Errors are logged and reported to the error handler; the stack is left as it was.
    void call_method_with_args(const char *table, const char *function, u32 count, const FlowValueType *types,
                               const void *const *values);
    void call_method_with_table(const char *table, const char *function, u32 count, const FlowValueType *types,
                                const void *const *values, const char *const *names);
    /// Compiles and runs `code` with the flow values as its `...`; errors logged and reported.
    void do_string(const char *code, u32 count = 0, const FlowValueType *types = nullptr,
                   const void *const *values = nullptr);
    /// Pushes one flow value (nothing for codes above 9).
    void push_flow_value(FlowValueType type, const void *value);

    /// Called after an error in a callback, flow call or do_string (the game pauses).
    void set_error_handler(void (*handler)(void *user), void *user)
    {
        _error_handler = handler;
        _error_handler_user = user;
    }

    // Temporary math values (valid until the next call_function or Script.set_temp_count).
    Vector3Temp *make_vector3(f32 x, f32 y, f32 z);
    QuaternionTemp *make_quaternion(f32 x, f32 y, f32 z, f32 w);
    Matrix4x4Temp *make_matrix4x4(const f32 *m16);
    TempArray<Vector3Temp> &vector3_temps() { return _vector3_temps; }
    TempArray<QuaternionTemp> &quaternion_temps() { return _quaternion_temps; }
    TempArray<Matrix4x4Temp> &matrix4x4_temps() { return _matrix4x4_temps; }
    void reset_temps();

    /// One frame's collection budget; see script/runtime/gc_budget.h.
    void collect_garbage();
    GcStatistics &gc_statistics() { return _gc; }

    // Registration helpers (script/runtime/registration.cpp). Every native function is stored as a
    // closure whose first upvalue is its name "Table.function" (for error messages); the
    // optional light-userdata upvalue is read with LuaStack::upvalue().

    /// Leaves the script table `name` on the stack, creating it (global and registry[name],
    /// `__index` = itself, `_name` = name) when it does not exist yet.
    void class_table(const char *name);
    /// Stores `function` in the script table `table` under `name`.
    void add_module_function(const char *table, const char *name, LuaFunction function, void *upvalue = nullptr);
    /// Stores `function` under `name` (e.g. "__call") in the metatable of the script table.
    void add_module_metamethod(const char *table, const char *name, LuaFunction function, void *upvalue = nullptr);
    /// Stores a number constant in the script table.
    void add_module_number(const char *table, const char *name, f32 value);
    /// Sets a global function.
    void add_global_function(const char *name, LuaFunction function);
    /// Makes the global table `table` the metatable every light userdata shares.
    void set_lightuserdata_metatable(const char *table);
    /// Pushes global `name` (read raw: no metamethod of _G runs) and returns a cursor whose
    /// base is that value (arguments pushed after it are the cursor's arguments).
    LuaStack get_global(const char *name);
    /// Releases a registry reference.
    void unref(i32 reference);

    /// The object the script API reaches (the Application); set by the registration driver.
    void set_application(void *application) { _application = application; }
    void *application() const { return _application; }

  private:
    static void *allocate_hook(void *user, void *block, size_t old_size, size_t new_size);
    /// load_file that also tells whether the script was found (so nothing ran).
    CallResult load_file(const char *name, bool &found);
    /// The body of `require`, run inside its protected call.
    static int require_body(lua_State *L);

    lua_State *_state = nullptr;
    std::atomic<u64> _allocated_bytes{0};
    TraceAllocator _allocator; // "lua"; declared before the temporaries, released after them
    IScriptSource *_source;
    TempArray<Vector3Temp> _vector3_temps;
    TempArray<Matrix4x4Temp> _matrix4x4_temps;
    TempArray<QuaternionTemp> _quaternion_temps;
    GcStatistics _gc;
    void *_application = nullptr;
    i32 _call_reference = 0;   // registry: calls a global by name inside the protected call
    i32 _getter_reference = 0; // registry: obj[key] with metamethods, inside a protected call
    i32 _require_reference = 0; // registry: the body of `require`, run as a protected call
    i32 _handler_reference = 0;   // registry: the message handler of every protected call
    i32 _error_references[2] = {}; // registry: the error value last recorded, its traceback (false: none)
    u32 _pcall_depth = 0;         // protected calls of this environment now running
    void (*_error_handler)(void *user) = nullptr;
    void *_error_handler_user = nullptr;
};

} // namespace tallow

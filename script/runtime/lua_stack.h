#pragma once
// The argument cursor every script binding reads its arguments through, and the result
// of every load or protected call.
//
//   static int vector3_length(lua_State *L)
//   {
//       LuaStack stack(L);
//       const f32 *v = stack.get_vector3(1);      // raises "bad argument #1 to 'Vector3.length' ..."
//       stack.push_float(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
//       return 1;
//   }
//
// Readers named get_* check the argument and raise a Lua error naming the function and the
// argument when it is of the wrong kind, out of range, stale or missing; opt_* readers take
// a default for an absent or nil argument. A raised error unwinds to the nearest protected
// call, which reports it; no binding crashes the engine whatever a script passes. Bindings
// run on the thread that owns the state; a raised error skips C++ destructors, so bindings
// keep no objects with destructors alive across a get_* call.

#include "foundation/strings/name_id.h"
#include "foundation/types.h"

struct lua_State;

namespace tallow {

class LuaEnvironment;

/// Outcome of a load or protected call: after success the results lie above `base`;
/// after failure the message is the top value. Callers pop back to their own top.
struct CallResult {
    lua_State *state = nullptr;
    i32 base = 0;
    bool error = false;
};

/// Unit handle as scripts see it: generation in the high 16 bits, slot in the low 16 bits.
using UnitHandle = u32;
/// Slots of the unit handle table; a decoded slot at or above this is no unit.
constexpr u32 unit_slot_count = 16384;

/// The odd light-userdata value that stands for a unit handle in scripts.
constexpr u64 unit_reference_value(UnitHandle handle)
{
    return (u64(handle >> 16) << 16) | (u64(handle & 0x7FFF) << 1) | 1u;
}

class LuaStack {
  public:
    /// Arguments are numbered from `base` + 1; a binding uses base 0.
    explicit LuaStack(lua_State *state, i32 base = 0) : _state(state), _base(base) {}

    lua_State *state() const { return _state; }
    i32 base() const { return _base; }
    /// Stack index of argument `arg` (positive: relative to base; negative: from the top).
    i32 index(i32 arg) const { return arg > 0 ? _base + arg : arg; }
    /// Number of values above base.
    i32 count() const;
    LuaEnvironment &environment() const;
    /// The light-userdata upvalue given to add_module_function (null when none).
    void *upvalue() const;

    // Queries (never raise).
    bool is_none_or_nil(i32 arg) const;
    bool is_string(i32 arg) const;
    bool is_number(i32 arg) const;
    bool is_table(i32 arg) const;
    bool is_vector3(i32 arg) const;
    bool is_quaternion(i32 arg) const;
    bool is_matrix4x4(i32 arg) const;
    bool is_unit_reference(i32 arg) const;

    // Checked readers (raise a Lua error on a wrong argument).
    f32 get_float(i32 arg) const;
    f64 get_number(i32 arg) const;
    /// An integral number within [min, max].
    i64 get_integer(i32 arg, i64 min = -(i64(1) << 53), i64 max = i64(1) << 53) const;
    bool get_bool(i32 arg) const;
    const char *get_string(i32 arg, u64 *out_length = nullptr) const;
    NameId64 get_id64(i32 arg) const;
    NameId32 get_id32(i32 arg) const;
    /// Payload (x, y, z) of a live Vector3 temporary.
    const f32 *get_vector3(i32 arg) const;
    f32 *get_vector3_mutable(i32 arg) const;
    /// Payload (x, y, z, w) of a live Quaternion temporary.
    const f32 *get_quaternion(i32 arg) const;
    f32 *get_quaternion_mutable(i32 arg) const;
    /// Payload (16 floats) of a live Matrix4x4 temporary.
    const f32 *get_matrix4x4(i32 arg) const;
    f32 *get_matrix4x4_mutable(i32 arg) const;
    /// Handle of a unit reference (decoded and range-checked; liveness is the caller's).
    UnitHandle get_unit_handle(i32 arg) const;
    /// A non-null, even light userdata (an engine object pointer handed out before).
    void *get_pointer(i32 arg) const;
    /// The address held by a full userdata whose metatable is the script table `type_name`.
    void *get_object(i32 arg, const char *type_name) const;

    f32 opt_float(i32 arg, f32 fallback) const { return is_none_or_nil(arg) ? fallback : get_float(arg); }
    i64 opt_integer(i32 arg, i64 fallback, i64 min = -(i64(1) << 53), i64 max = i64(1) << 53) const
    {
        return is_none_or_nil(arg) ? fallback : get_integer(arg, min, max);
    }
    bool opt_bool(i32 arg, bool fallback) const { return is_none_or_nil(arg) ? fallback : get_bool(arg); }
    const char *opt_string(i32 arg, const char *fallback) const
    {
        return is_none_or_nil(arg) ? fallback : get_string(arg);
    }

    // Pushers. Temporaries raise a Lua error when the frame's limit is reached, so
    // push them only from bindings (inside a protected call).
    void push_nil() const;
    void push_float(f32 value) const;
    void push_number(f64 value) const;
    void push_integer(i64 value) const;
    void push_bool(bool value) const;
    void push_string(const char *text) const;
    void push_string(const char *text, u64 length) const;
    void push_lightuserdata(void *pointer) const;
    /// A new full userdata holding `object`, with the script table `type_name` as its
    /// metatable (read back with get_object).
    void push_object(void *object, const char *type_name) const;
    /// Pushes the script table `type_name` (registry and global), made on first use; on
    /// this cursor's state, which may be a coroutine of the environment's.
    void push_class_table(const char *type_name) const;
    void push_unit_reference(UnitHandle handle) const;
    void push_registry_reference(i32 reference) const;
    void push_copy(i32 arg) const;
    void push_vector3(f32 x, f32 y, f32 z) const;
    void push_quaternion(f32 x, f32 y, f32 z, f32 w) const;
    void push_matrix4x4(const f32 *m16) const;
    /// Pops n values.
    void pop(i32 n) const;

    /// Raises "bad argument #n to 'Table.function' (expected, got kind)".
    [[noreturn]] void argument_error(i32 arg, const char *expected) const;
    /// Raises "bad argument #n to 'Table.function' (message)".
    [[noreturn]] void argument_message(i32 arg, const char *format, ...) const __attribute__((format(printf, 3, 4)));
    /// Raises "Table.function: message".
    [[noreturn]] void error(const char *format, ...) const __attribute__((format(printf, 2, 3)));

  private:
    f32 *temp_payload(i32 arg, u32 which, const char *expected) const;

    lua_State *_state;
    i32 _base;
};

/// Name of the running native function as registered ("Vector3.length"), or what Lua
/// knows of it; for error messages.
const char *current_function_name(lua_State *state);

} // namespace tallow

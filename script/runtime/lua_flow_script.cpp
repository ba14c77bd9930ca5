#include "script/runtime/lua_flow_script.h"

#include "script/runtime/lua_environment.h"

namespace tallow {

namespace {

constexpr u32 most_arguments = 32;

// Flow argument codes are the environment's flow value codes; a missing value is nil.
u32 convert(u32 count, const FlowArgument *types, const void *const *values, FlowValueType *out)
{
    count = count < most_arguments ? count : most_arguments;
    for (u32 i = 0; i < count; ++i)
        out[i] = values[i] && u32(types[i]) <= u32(FlowValueType::Quaternion) ? FlowValueType(u32(types[i]))
                                                                              : FlowValueType::None;
    return count;
}

} // namespace

void LuaFlowScript::callback(i32 reference, const char *method, UnitHandle unit)
{
    ScriptEvent event;
    if (unit) {
        event.tag = unit_event_tag;
        event.unit = unit;
    }
    _environment.callback(reference, method, event);
}

void LuaFlowScript::call_method_with_args(const char *table, const char *function, u32 count,
                                          const FlowArgument *types, const void *const *values)
{
    FlowValueType t[most_arguments];
    count = convert(count, types, values, t);
    _environment.call_method_with_args(table, function, count, t, values);
}

void LuaFlowScript::call_method_with_table(const char *table, const char *function, u32 count,
                                           const FlowArgument *types, const void *const *values,
                                           const char *const *names)
{
    FlowValueType t[most_arguments];
    count = convert(count, types, values, t);
    _environment.call_method_with_table(table, function, count, t, values, names);
}

void LuaFlowScript::do_string(const char *code, u32 count, const FlowArgument *types, const void *const *values)
{
    FlowValueType t[most_arguments];
    count = convert(count, types, values, t);
    _environment.do_string(code, count, t, values);
}

void LuaFlowScript::release_reference(i32 reference) { _environment.unref(reference); }

} // namespace tallow

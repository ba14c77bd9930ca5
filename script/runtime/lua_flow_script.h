#pragma once
// The script side of flow graphs: what a World's flow nodes call (world/flow/flow_script.h),
// carried out in a LuaEnvironment.
//
//   LuaFlowScript scripts(environment);
//   WorldParams params; params.script = &scripts;        // or world.set_script(&scripts)
//
// Script errors are the environment's (logged, the error handler told); a value a graph
// leaves unconnected reaches the script as nil. Main thread, like the environment.

#include "world/flow/flow_script.h"

namespace tallow {

class LuaEnvironment;

class LuaFlowScript final : public IFlowScript {
  public:
    explicit LuaFlowScript(LuaEnvironment &environment) : _environment(environment) {}

    void callback(i32 reference, const char *method, UnitHandle unit) override;
    void call_method_with_args(const char *table, const char *function, u32 count, const FlowArgument *types,
                               const void *const *values) override;
    void call_method_with_table(const char *table, const char *function, u32 count, const FlowArgument *types,
                                const void *const *values, const char *const *names) override;
    void do_string(const char *code, u32 count, const FlowArgument *types, const void *const *values) override;
    void release_reference(i32 reference) override;

  private:
    LuaEnvironment &_environment;
};

} // namespace tallow

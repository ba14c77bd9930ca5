#include "script/script_api.h"

#include "script/lua_environment.h"

namespace tallow {

void register_script_api(LuaEnvironment &env, Application *application, Allocator &script_allocator,
                         ApplicationTableRegistrar register_application_table)
{
    (void)script_allocator;
    env.set_application(application);
    // 1. math: Vector3, the light-userdata metatable, Quaternion, Matrix4x4, Math.
    // 2. scene: Application and Window first.
    if (application && register_application_table)
        register_application_table(env, *application);
    // 3. core: Script (temporary counts).
    register_temp_values_api(env);
}

void register_job_thread_script_api(LuaEnvironment &env)
{
    // math, Unit, then the core set without ResourcePackage and Localizer.
    register_temp_values_api(env);
}

} // namespace tallow

#include "script/script_api.h"

#include "script/world/physics_api.h"

#include "script/runtime/lua_environment.h"
#include "script/world/ai_api.h"
#include "script/render/render_api.h"
#include "script/world/world_api.h"

namespace tallow {

void register_script_api(LuaEnvironment &env, Application *application, ResourceManager *resources,
                         Allocator &script_allocator, ApplicationTableRegistrar register_application_table)
{
    env.set_application(application);
    // 1. math: Vector3, the light-userdata metatable, Quaternion, Matrix4x4, Math.
    register_math_api(env);
    // 2. scene: Application and Window first.
    if (application && register_application_table)
        register_application_table(env, *application);
    register_world_api(env);
    register_unit_api(env);
    // Camera, Light, LineObject, then Gui with its constructors.
    register_render_object_api(env);
    register_line_object_api(env);
    register_gui_api(env);
    register_viewport_api(env);
    register_physics_api(env);
    install_script_data_releaser();
    // 3. core: ResourcePackage, SaveSystem and DLC, Profiler, Script (temporary counts), tostring, Localizer.
    register_resource_api(env, resources);
    register_save_api(env);
    register_temp_values_api(env);
    register_core_api(env);
    // 4. AI: Broadphase, Flock, AI, Level.navigation_mesh.
    register_ai_api(env, script_allocator);
}

void register_job_thread_script_api(LuaEnvironment &env)
{
    // math, Unit, then the core set without ResourcePackage and Localizer.
    register_math_api(env);
    register_temp_values_api(env);
    register_core_api(env);
}

} // namespace tallow

// Script tables `Camera`, `Light` and `Mesh`: the render objects of units. Until units make
// their render objects (Unit.camera, Unit.light and Unit.mesh raise that they are not built
// yet), every function of these tables raises the same, so scripts that call them fail
// clearly rather than read objects that do not exist. See script/render/render_api.h.

#include "script/runtime/lua_environment.h"
#include "script/render/render_api.h"
#include "script/world/world_api.h"

namespace tallow {

void register_render_object_api(LuaEnvironment &env)
{
    static const char *const node_functions[] = {"node",          "local_position",     "local_rotation",
                                                  "local_pose",    "world_position",     "world_rotation",
                                                  "world_pose",    "set_local_position", "set_local_rotation",
                                                  "set_local_pose"};
    static const char *const camera[] = {"near_range",       "far_range",       "vertical_fov",
                                         "set_near_range",   "set_far_range",   "set_vertical_fov",
                                         "projection_type",  "set_projection_type", "set_orthographic_view",
                                         "screen_to_world",  "world_to_screen", "inside_frustum"};
    static const char *const light[] = {"falloff_start",    "falloff_end",          "set_falloff_start",
                                        "set_falloff_end",  "color",                "set_color",
                                        "set_falloff_exponent", "set_spot_angle_start", "set_spot_angle_end",
                                        "set_casts_shadows", "set_type",            "set_data"};
    for (const char *name : node_functions) {
        add_missing_service_function(env, "Camera", name, "camera rendering");
        add_missing_service_function(env, "Light", name, "light rendering");
        add_missing_service_function(env, "Mesh", name, "mesh rendering");
    }
    for (const char *name : camera)
        add_missing_service_function(env, "Camera", name, "camera rendering");
    for (const char *name : light)
        add_missing_service_function(env, "Light", name, "light rendering");
    add_missing_service_function(env, "Mesh", "material", "mesh rendering");
    env.add_module_number("Camera", "PERSPECTIVE", 1);
    env.add_module_number("Camera", "ORTHOGRAPHIC", 0);
}

} // namespace tallow

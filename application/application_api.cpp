// Script tables `Application` and `Window`: the program-wide services scripts reach.
//
//   Application.quit()
//   local args = {Application.argv()}
//   Application.set_win32_user_setting("video", "vsync", true)
//   Application.save_win32_user_settings()
//   local w = Application.new_world()          -- released by Application.release_world(w)
//   Application.render_world(w)                -- in render(): its changes go to the render side
//   Window.set_title("Level 2")
//
// The bindings reach the one Application through the environment (set by the
// registration driver). Functions whose service is not built yet are registered and raise
// "the <service> service is not built yet" (script/world/world_api.h). render_world, resolution,
// enum_display_modes, set_render_setting and render_config go through the render interface
// and raise "there is no render interface" in a build without one.
// The table belongs to the Application's layer and is put in through the script layer's
// registration helpers (the script layer does not know the Application).

#include "application/application_api.h"

#include "application/application.h"
#include "animation/animation_resources.h"
#include "animation/camera_animation_sampler.h"
#include "platform/window/window.h"
#include "render/interface/render_interface.h"
#include "render/viewports/viewport.h"
#include "render/world/render_camera.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_world.h"
#include "resource/resource_manager.h"
#include "resource/resource_types.h"
#include "script/runtime/script_data_store.h"
#include "script/world/world_api.h"
#include "world/units/unit.h"
#include "world/world.h"
#include "foundation/strings/command_line.h"
#include "foundation/config/config_value.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/memory/memory_globals.h"
#include "platform/shell/open_url.h"
#include "script/runtime/lua_environment.h"
#include "script/world/ai_api.h"
#include "script/services/input_api.h"
#include "script/services/network_api.h"
#include "network/network_manager.h"
#include "script/runtime/registration.h"
#include "script/render/render_api.h"
#include "script/script_api.h"

#include <lua.hpp>

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace tallow {

namespace {

constexpr u32 max_preference_names = 10;

using Kind = World::ScriptObjectKind;

Application &application_of(const LuaStack &stack)
{
    return *static_cast<Application *>(stack.environment().application());
}

int platform_name(lua_State *L)
{
    lua_pushliteral(L, "win32"); // scripts keep seeing the platform name they were written for
    return 1;
}

int build(lua_State *L)
{
    lua_pushliteral(L, "release");
    return 1;
}

int set_resource_property_preference_order(lua_State *L)
{
    LuaStack stack(L);
    i32 n = stack.count();
    if (n > i32(max_preference_names))
        stack.argument_message(max_preference_names + 1, "at most %u property names", max_preference_names);
    u64 ids[max_preference_names];
    for (i32 i = 0; i < n; ++i)
        ids[i] = stack.get_id64(i + 1).value();
    application_of(stack).set_resource_property_preference_order(ids, u32(n));
    return 0;
}

int open_url(lua_State *L)
{
    LuaStack stack(L);
    platform::open_url_in_browser(stack.get_string(1));
    return 0;
}

int argv(lua_State *L)
{
    LuaStack stack(L);
    Array<DynamicString> arguments(default_allocator());
    // Read before any Lua call that could raise: the array must be destroyed normally.
    bool ok = command_line_arguments(arguments);
    i32 n = ok && arguments.size() > 0 ? i32(arguments.size()) - 1 : 0;
    if (!lua_checkstack(L, n + 1))
        n = 0;
    for (i32 i = 0; i < n; ++i)
        lua_pushstring(L, arguments[u32(i + 1)].c_str());
    return n;
}

int quit(lua_State *L)
{
    application_of(LuaStack(L)).quit();
    return 0;
}

/// Walks the user settings along the keys at arguments first..last; null when the path
/// leads nowhere.
const ConfigValue *find_setting(const LuaStack &stack, const ConfigValue *value, i32 first, i32 last)
{
    for (i32 arg = first; arg <= last && value; ++arg) {
        if (stack.is_string(arg)) {
            value = value->kind() == ConfigKind::Object ? value->find(stack.get_string(arg)) : nullptr;
        } else {
            i64 k = stack.get_integer(arg, 1, script_config_max_array);
            value = value->kind() == ConfigKind::Array && u64(k) <= value->items().size()
                        ? &value->items()[u32(k - 1)]
                        : nullptr;
        }
    }
    return value;
}

int win32_user_setting(lua_State *L)
{
    LuaStack stack(L);
    ConfigValue *settings = application_of(stack).user_settings();
    if (stack.count() < 1)
        stack.argument_error(1, "key");
    const ConfigValue *value = settings ? find_setting(stack, settings, 1, stack.count()) : nullptr;
    if (value)
        push_config_value(L, *value);
    else
        lua_pushnil(L);
    return 1;
}

int set_win32_user_setting(lua_State *L)
{
    LuaStack stack(L);
    i32 n = stack.count();
    if (n < 2)
        stack.argument_error(n + 1, n == 0 ? "key" : "value");
    ConfigValue *value = application_of(stack).user_settings();
    if (!value)
        stack.error("no user settings");
    // Check every key and the value before changing anything.
    for (i32 arg = 1; arg < n; ++arg)
        if (!stack.is_string(arg))
            (void)stack.get_integer(arg, 1, script_config_max_array);
    check_config_value(L, n);
    for (i32 arg = 1; arg < n; ++arg) {
        if (stack.is_string(arg))
            value = &value->member(stack.get_string(arg));
        else
            value = &value->element(u32(stack.get_integer(arg) - 1));
    }
    to_config_value(L, n, *value);
    return 0;
}

int save_win32_user_settings(lua_State *L)
{
    application_of(LuaStack(L)).save_user_settings();
    return 0;
}

int apply_win32_user_settings(lua_State *L)
{
    application_of(LuaStack(L)).apply_user_settings();
    return 0;
}

int process_id(lua_State *L)
{
    lua_pushnumber(L, f64(getpid()));
    return 1;
}

int resource_package(lua_State *L)
{
    LuaStack stack(L);
    NameId64 name = stack.get_id64(1);
    // Made, not loaded; null (logged) when the package cannot be found.
    ResourcePackage *package = application_of(stack).create_package(name);
    if (package)
        push_resource_package(L, package);
    else
        stack.push_nil();
    return 1;
}

int release_resource_package(lua_State *L)
{
    LuaStack stack(L);
    ResourcePackage *package = get_resource_package(stack, 1);
    Application &application = application_of(stack);
    if (std::find(application.packages().begin(), application.packages().end(), package) ==
        application.packages().end())
        stack.argument_message(1, "the package is not one the Application made for scripts");
    clear_resource_package(stack, 1);
    application.release_package(package);
    return 0;
}

ChunkStore &application_data(const LuaStack &stack) { return application_of(stack).chunk_store(); }

int new_world(lua_State *L)
{
    LuaStack stack(L);
    World *world = application_of(stack).new_world();
    if (!world)
        stack.error("no memory for a new world");
    // Its flow graphs (levels, units) call into this state.
    world->set_script(flow_script_for(L));
    push_world(L, world);
    return 1;
}

int release_world(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    // A flow run of this world is on the stack (a level or unit callback): freeing the
    // world now would pull it from under the run.
    if (world->in_flow_run())
        stack.error("a world cannot be released while its flow runs; release it after World.update");
    if (!application_of(stack).release_world(world))
        stack.argument_message(1, "the world is not one the Application made");
    return 0;
}

int worlds(lua_State *L)
{
    LuaStack stack(L);
    const Array<World *> &list = application_of(stack).worlds();
    lua_createtable(L, i32(list.size()), 0);
    for (u32 i = 0; i < list.size(); ++i) {
        push_world(L, list[i]);
        lua_rawseti(L, -2, i32(i + 1));
    }
    return 1;
}

RenderInterface &render_interface_of(const LuaStack &stack)
{
    RenderInterface *render = application_of(stack).render_interface();
    if (!render)
        stack.error("there is no render interface");
    return *render;
}

int render_world(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    // A camera of one of the world's units; nil draws from the built-in camera.
    u32 camera = no_render_handle;
    if (!stack.is_none_or_nil(2)) {
        Unit *owner = nullptr;
        const Camera &c = camera_arg(stack, 2, &owner);
        if (&owner->world() != world)
            stack.argument_message(2, "the camera belongs to a unit of another world");
        camera = c.handle();
        if (c.node() < owner->scene_graph().node_count())
            world->set_debug_camera_pose(owner->scene_graph().world_pose(c.node()));
    }
    // The viewport and the environment must be this world's: their handles name objects of
    // its render world only.
    u32 viewport = no_render_handle;
    if (!stack.is_none_or_nil(3))
        viewport = static_cast<GameViewport *>(get_world_object(stack, *world, 3, Kind::Viewport).object)->handle;
    ShadingEnvironment *environment = nullptr;
    if (!stack.is_none_or_nil(4)) {
        environment = static_cast<ShadingEnvironment *>(get_world_object(stack, *world, 4, Kind::ShadingEnvironment).object);
        check_environment_resource(stack, 4, *world, *environment);
    }
    render_interface_of(stack);
    if (environment)
        environment->apply_variables(); // its values travel with this frame's changes
    application_of(stack).render_world(*world, camera, viewport,
                                       environment ? environment->handle() : no_render_handle);
    return 0;
}

int create_viewport(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    const char *name = stack.get_string(2);
    const u32 id = NameId32(name).value();
    if (!render_interface_of(stack).viewport_template(id))
        stack.argument_message(2, "the render configuration has no viewport template '%s'", name);
    GameViewport *viewport = application_of(stack).create_viewport(*world, id);
    if (!viewport)
        stack.error("the viewport '%s' cannot be made in this world (no render world, or no memory)", name);
    push_script_object(L, Kind::Viewport, world->script_serial(Kind::Viewport, viewport));
    return 1;
}

int destroy_viewport(lua_State *L)
{
    LuaStack stack(L);
    World *world = get_world(stack, 1);
    auto *viewport = static_cast<GameViewport *>(get_world_object(stack, *world, 2, Kind::Viewport).object);
    (void)application_of(stack).destroy_viewport(*world, viewport);
    return 0;
}

int set_render_setting(lua_State *L)
{
    LuaStack stack(L);
    const char *key = stack.get_string(1);
    const char *value = stack.get_string(2);
    render_interface_of(stack).set_render_setting(true, key, value);
    return 0;
}

int render_config(lua_State *L)
{
    LuaStack stack(L);
    bool settings = strcmp(stack.get_string(1), "settings") == 0;
    const char *key = stack.get_string(2);
    RenderInterface &render = render_interface_of(stack);
    // Nothing below raises a Lua error: the copy is freed on every path.
    bool pushed = false;
    {
        ConfigValue value(default_allocator());
        if (render.render_config_value(settings, key, value)) {
            ConfigKind kind = value.kind();
            if (kind == ConfigKind::Bool || kind == ConfigKind::Integer || kind == ConfigKind::Float ||
                kind == ConfigKind::String) {
                push_config_value(L, value);
                pushed = true;
            }
        }
    }
    if (!pushed)
        lua_pushnil(L);
    return 1;
}

int resolution(lua_State *L)
{
    LuaStack stack(L);
    u32 width = 0, height = 0;
    render_interface_of(stack).back_buffer_size(width, height);
    stack.push_integer(width);
    stack.push_integer(height);
    return 2;
}

int enum_display_modes(lua_State *L)
{
    LuaStack stack(L);
    const Array<DisplayOutput> &outputs = render_interface_of(stack).display_outputs();
    lua_newtable(L);
    i32 index = 1;
    // z is the output's number: its place in the device's list of outputs.
    for (u32 output = 0; output < outputs.size(); ++output)
        for (const DisplayMode &mode : outputs[output].modes) {
            stack.push_vector3(f32(mode.width), f32(mode.height), f32(output));
            lua_rawseti(L, -2, index++);
        }
    return 1;
}

// Animation resources ----------------------------------------------------------------------

const void *loaded_resource(const LuaStack &stack, NameId64 type, const char *type_name)
{
    ResourceManager *resources = application_of(stack).resource_manager();
    const void *data = resources ? resources->get(type, stack.get_id64(1)) : nullptr;
    if (!data)
        stack.argument_message(1, "no \"%s\" resource of that name is loaded", type_name);
    return data;
}

const CameraAnimationResource &camera_animation_arg(const LuaStack &stack)
{
    return *static_cast<const CameraAnimationResource *>(
        loaded_resource(stack, camera_animation_type, "camera_animation"));
}

int get_animation(lua_State *L)
{
    LuaStack stack(L);
    // Handed back to the animation functions, which read it as an AnimationResource.
    stack.push_lightuserdata(const_cast<void *>(loaded_resource(stack, animation_type, "animation")));
    return 1;
}

int sample_camera_animation(lua_State *L)
{
    LuaStack stack(L);
    const CameraAnimationResource &resource = camera_animation_arg(stack);
    u32 cameras = camera_animation_camera_count(resource);
    i64 camera = stack.get_integer(2);
    if (camera < 0 || camera >= i64(cameras))
        stack.argument_message(2, "camera %lld out of range (the animation has %u cameras, from 0)",
                               (long long)camera, cameras);
    f32 t = stack.get_float(3);
    CameraAnimationSample sample;
    sample_camera_animation(resource, u32(camera), t, sample);
    stack.push_vector3(sample.position.x, sample.position.y, sample.position.z);
    stack.push_quaternion(sample.rotation.x, sample.rotation.y, sample.rotation.z, sample.rotation.w);
    stack.push_float(sample.value);
    return 3;
}

int camera_animation_bones(lua_State *L)
{
    LuaStack stack(L);
    const CameraAnimationResource &resource = camera_animation_arg(stack);
    lua_createtable(L, 0, i32(resource.names.size()));
    // A name given twice keeps its last index.
    for (u32 i = 0; i < resource.names.size(); ++i) {
        stack.push_string(resource.names[i].c_str(), resource.names[i].length());
        stack.push_integer(i);
        lua_rawset(L, -3);
    }
    return 1;
}

// Window ---------------------------------------------------------------------------------

Window &window_of(const LuaStack &stack)
{
    Window *window = application_of(stack).window();
    if (!window)
        stack.error("there is no window");
    return *window;
}

int window_mouse_focus(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(window_of(stack).has_mouse_focus());
    return 1;
}

int window_set_mouse_focus(lua_State *L)
{
    LuaStack stack(L);
    window_of(stack).set_mouse_focus(stack.get_bool(1));
    return 0;
}

int window_set_focus(lua_State *L)
{
    LuaStack stack(L);
    window_of(stack).focus();
    return 0;
}

int window_set_title(lua_State *L)
{
    LuaStack stack(L);
    window_of(stack).set_title(stack.get_string(1));
    return 0;
}

int window_set_cursor(lua_State *L)
{
    LuaStack stack(L);
    Window &window = window_of(stack);
    u64 length = 0;
    stack.get_string(1, &length);
    if (length == 0) {
        window.set_cursor(0);
        return 0;
    }
    ResourceManager *resources = application_of(stack).resource_manager();
    const auto *cursor =
        resources ? static_cast<const MouseCursor *>(resources->get(mouse_cursor_type, stack.get_id64(1))) : nullptr;
    if (!cursor)
        stack.argument_message(1, "no \"mouse_cursor\" resource of that name is loaded");
    window.set_cursor(cursor->cursor);
    return 0;
}

int window_show_cursor(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(window_of(stack).show_cursor());
    return 1;
}

int window_set_show_cursor(lua_State *L)
{
    LuaStack stack(L);
    window_of(stack).set_show_cursor(stack.get_bool(1));
    return 0;
}

int window_clip_cursor(lua_State *L)
{
    LuaStack stack(L);
    stack.push_bool(window_of(stack).clip_cursor());
    return 1;
}

int window_set_clip_cursor(lua_State *L)
{
    LuaStack stack(L);
    window_of(stack).set_clip_cursor(stack.get_bool(1));
    return 0;
}

int window_minimize(lua_State *L)
{
    LuaStack stack(L);
    window_of(stack).minimize();
    return 0;
}

f32 application_frame_step(LuaEnvironment &env) { return static_cast<Application *>(env.application())->frame_step(); }

/// What the GUI functions know of the screen: the back buffer and the forced aspect ratio.
bool application_gui_resolution(LuaEnvironment &env, u32 &out_width, u32 &out_height, f32 &out_aspect)
{
    auto *application = static_cast<Application *>(env.application());
    RenderInterface *render = application ? application->render_interface() : nullptr;
    if (!render)
        return false;
    render->back_buffer_size(out_width, out_height);
    out_aspect = application->aspect_ratio();
    return true;
}

/// The setting "default_shading_environment", or null.
const char *application_default_shading_environment(LuaEnvironment &env)
{
    auto *application = static_cast<Application *>(env.application());
    ConstConfigValue name = application ? application->settings().member("default_shading_environment")
                                        : ConstConfigValue();
    return name.kind() == ConstConfigKind::String ? name.to_string() : nullptr;
}

int time_since_launch(lua_State *L)
{
    lua_pushnumber(L, application_of(LuaStack(L)).time_since_launch());
    return 1;
}

/// The setting "lan_broadcast_targets": where lobby browsers send their queries, a list of
/// "a.b.c.d" (the port `LanLobbyBrowser.refresh` names) or "a.b.c.d:port". Without it the
/// browsers query the real local network's broadcast address.
network::LanBroadcastTargets broadcast_targets(Application &application)
{
    network::LanBroadcastTargets targets;
    const ConstConfigValue list = application.settings().member("lan_broadcast_targets");
    if (list.is_nil())
        return targets;
    for (i32 i = 0; i < list.count(); ++i) {
        const char *text = list.element(i).to_string();
        network::IpAddress address;
        if (!network::IpAddress::parse(text, address) || targets.count == targets.capacity) {
            log_message("network", "lan_broadcast_targets: '%s' skipped (not a.b.c.d or a.b.c.d:port, or over %u)",
                        text, targets.capacity);
            continue;
        }
        targets.targets[targets.count++] = address;
    }
    if (targets.count == 0) // a list that named nothing usable must not mean the whole network
        targets.targets[targets.count++] = {network::ipv4_loopback, 0};
    return targets;
}

} // namespace

void register_application_api(LuaEnvironment &env, Application &application)
{
    static const ScriptFunction functions[] = {
        {"Application", "platform", platform_name, nullptr},
        {"Application", "build", build, nullptr},
        {"Application", "new_world", new_world, nullptr},
        {"Application", "render_world", render_world, nullptr},
        {"Application", "release_world", release_world, nullptr},
        {"Application", "worlds", worlds, nullptr},
        {"Application", "resource_package", resource_package, nullptr},
        {"Application", "release_resource_package", release_resource_package, nullptr},
        {"Application", "set_resource_property_preference_order", set_resource_property_preference_order, nullptr},
        {"Application", "resolution", resolution, nullptr},
        {"Window", "mouse_focus", window_mouse_focus, nullptr},
        {"Window", "set_mouse_focus", window_set_mouse_focus, nullptr},
        {"Window", "set_focus", window_set_focus, nullptr},
        {"Window", "set_title", window_set_title, nullptr},
        {"Window", "set_cursor", window_set_cursor, nullptr},
        {"Window", "show_cursor", window_show_cursor, nullptr},
        {"Window", "set_show_cursor", window_set_show_cursor, nullptr},
        {"Window", "clip_cursor", window_clip_cursor, nullptr},
        {"Window", "set_clip_cursor", window_set_clip_cursor, nullptr},
        {"Window", "minimize", window_minimize, nullptr},
        {"Application", "enum_display_modes", enum_display_modes, nullptr},
        {"Application", "open_url_in_browser", open_url, nullptr},
        {"Application", "get_animation", get_animation, nullptr},
        {"Application", "sample_camera_animation", sample_camera_animation, nullptr},
        {"Application", "camera_animation_bones", camera_animation_bones, nullptr},
        {"Application", "create_viewport", create_viewport, nullptr},
        {"Application", "destroy_viewport", destroy_viewport, nullptr},
        {"Application", "set_render_setting", set_render_setting, nullptr},
        {"Application", "render_config", render_config, nullptr},
        {"Application", "argv", argv, nullptr},
        {"Application", "quit", quit, nullptr},
        {"Application", "set_data", script_data_set_binding<application_data, 1>, nullptr},
        {"Application", "get_data", script_data_get_binding<application_data, 1>, nullptr},
        {"Application", "has_data", script_data_has_binding<application_data, 1>, nullptr},
        {"Application", "set_win32_user_setting", set_win32_user_setting, nullptr},
        {"Application", "win32_user_setting", win32_user_setting, nullptr},
        {"Application", "save_win32_user_settings", save_win32_user_settings, nullptr},
        {"Application", "apply_win32_user_settings", apply_win32_user_settings, nullptr},
        {"Application", "process_id", process_id, nullptr},
        {"Application", "time_since_launch", time_since_launch, nullptr},
    };
    add_script_functions(env, functions, sizeof(functions) / sizeof(functions[0]));
    register_input_api(env, application.input_service(), application.lightfx_service());
    register_network_api(env, static_cast<network::NetworkManager *>(application.network_service()),
                         application.resource_manager(), broadcast_targets(application));
    set_frame_step_source(application_frame_step);
    set_gui_resolution_source(application_gui_resolution);
    set_default_shading_environment_source(application_default_shading_environment);
    set_ai_thread_pool(env, application.thread_pool());
}

} // namespace tallow

// A World's viewports and the serials through which scripts reach its viewports, shading
// environments and their materials (see world/world.h).
#include "foundation/log.h"
#include "render/materials/material_resource.h"
#include "render/viewports/viewport.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "resource/resource_manager.h"
#include "world/world.h"

#include <atomic>

namespace tallow {

namespace {

// 0 is never handed out: it stands for no object. Wrapping needs four billion objects made
// by scripts in one run.
std::atomic<u32> next_script_serial{1};

} // namespace

GameViewport *World::create_viewport(const ViewportTemplate &viewport_template)
{
    if (!_render_world || !_render_link) {
        log_message("world", "no viewport made: the world has no render world");
        return nullptr;
    }
    // The viewport keeps no stream: the link's state buffer changes every frame.
    GameViewport *viewport = make_new<GameViewport>(_allocator, viewport_template, nullptr);
    if (!viewport || !_viewports.push_back(viewport)) {
        log_message("world", "no memory for a viewport");
        delete_with_allocator(_allocator, viewport);
        return nullptr;
    }
    RenderViewport *twin = make_new<RenderViewport>(_render_world->allocator(), _render_world->allocator(), *viewport);
    if (!twin || _render_world->create_object(*_render_link, viewport->handle, twin) == no_render_handle ||
        !add_script_object(ScriptObjectKind::Viewport, viewport, 0)) {
        log_message("world", "no viewport made: no render twin or no memory to file it");
        (void)destroy_viewport(viewport);
        return nullptr;
    }
    return viewport;
}

bool World::destroy_viewport(GameViewport *viewport)
{
    for (u32 i = 0; i < _viewports.size(); ++i)
        if (_viewports[i] == viewport) {
            remove_script_objects(viewport);
            if (_render_world && _render_link)
                _render_world->destroy_object(*_render_link, viewport->handle);
            delete_with_allocator(_allocator, viewport);
            _viewports[i] = _viewports.back();
            _viewports.pop_back();
            return true;
        }
    return false;
}

void World::set_viewport_rect(GameViewport &viewport, f32 x, f32 y, f32 width, f32 height)
{
    viewport.set_rect(x, y, width, height);
    RenderStateQueue *state = _render_link ? _render_link->state() : nullptr;
    if (state)
        viewport.send_rect(state->update_stream(0));
}

u32 World::add_script_object(ScriptObjectKind kind, const void *object, u32 id, u64 resource)
{
    const u32 serial = next_script_serial.fetch_add(1);
    return _script_objects.push_back({serial, kind, object, id, resource}) ? serial : 0;
}

void World::remove_script_objects(const void *object)
{
    for (u32 i = 0; i < _script_objects.size();)
        if (_script_objects[i].object == object) {
            _script_objects[i] = _script_objects.back();
            _script_objects.pop_back();
        } else {
            ++i;
        }
}

u32 World::script_serial(ScriptObjectKind kind, const void *object) const
{
    for (const ScriptEntry &e : _script_objects)
        if (e.kind == kind && e.object == object)
            return e.serial;
    return 0;
}

u32 World::environment_material_serial(const ShadingEnvironment &environment, u32 id)
{
    if (!script_serial(ScriptObjectKind::ShadingEnvironment, &environment) ||
        environment.value_set(id) == no_render_handle)
        return 0;
    for (const ScriptEntry &e : _script_objects)
        if (e.kind == ScriptObjectKind::Material && e.object == &environment && e.id == id)
            return e.serial;
    return add_script_object(ScriptObjectKind::Material, &environment, id);
}

bool World::has_environment_resource(const ShadingEnvironment &environment) const
{
    for (const ScriptEntry &e : _script_objects)
        if (e.kind == ScriptObjectKind::ShadingEnvironment && e.object == &environment) {
            const NameId64 type("shading_environment"), name = NameId64::from_value(e.resource);
            return _resource_manager && _resource_manager->can_get(type, name) &&
                   _resource_manager->get(type, name) == environment.resource();
        }
    return false;
}

Material World::environment_material(const ShadingEnvironment &environment, u32 id) const
{
    RenderStateQueue *state = _render_link ? _render_link->state() : nullptr;
    return Material(state ? &state->update_stream(0) : nullptr, environment.value_set(id));
}

Material World::mesh_material(u32 handle) const
{
    RenderStateQueue *state = _render_link ? _render_link->state() : nullptr;
    return Material(state ? &state->update_stream(0) : nullptr, handle);
}

} // namespace tallow

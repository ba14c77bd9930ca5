#include "application/application.h"

#include "application/application_internal.h"
#include "foundation/log.h"
#include "foundation/math/state_hasher.h"
#include "render/interface/render_interface.h"
#include "render/world/render_world.h"
#include "world/world.h"

namespace tallow {

// --- Worlds ------------------------------------------------------------------------------

namespace {

bool contains(const Array<World *> &worlds, const World *world)
{
    for (const World *w : worlds)
        if (w == world)
            return true;
    return false;
}

} // namespace

World *Application::new_world()
{
    // The world's render side: made here, announced to the render thread once the World
    // exists (its address is the key).
    RenderInterface *render = render_interface();
    RenderWorld *render_world = nullptr;
    WorldRenderLink *render_link = nullptr;
    if (render && !render->create_render_world(render_world, render_link))
        log_message(log_category, "the new world gets no render world (no memory); it is not drawn");
    WorldParams params;
    params.resource_manager = _resource_manager;
    params.thread_pool = _thread_pool;
    params.render_world = render_world;
    params.render_link = render_link;
    params.factories = &_world_services;
    ConstConfigValue sound_disabled = _settings.member("sound").member("disabled");
    params.sound_disabled = sound_disabled.kind() == ConstConfigKind::Bool && sound_disabled.to_bool();
    World *world = make_new<World>(_allocator, _allocator, params);
    if (!world || !_worlds.push_back(world)) {
        log_message(log_category, "no memory for a new world");
        delete_with_allocator(_allocator, world);
        if (render_world)
            render->discard_render_world(render_world, render_link);
        return nullptr;
    }
    if (render_world)
        render->add_world(world, render_world, render_link);
    return world;
}

bool Application::release_world(World *world)
{
    for (u32 i = 0; i < _worlds.size(); ++i)
        if (_worlds[i] == world) {
            _worlds.erase(i);
            for (u32 k = 0; k < _rendered_worlds.size(); ++k)
                if (_rendered_worlds[k] == world) {
                    _rendered_worlds.erase(k);
                    break;
                }
            RenderInterface *render = render_interface();
            bool rendered = render && render->render_world_of(world);
            // The units file their destroy records into the world's current state buffer;
            // removing the world then sends that buffer before the render world goes.
            delete_with_allocator(_allocator, world);
            if (rendered)
                render->remove_world(world);
            return true;
        }
    return false;
}

void Application::render_world(World &world, u32 camera, u32 viewport, u32 shading_environment)
{
    RenderInterface *render = render_interface();
    if (!render)
        return;
    if (!contains(_worlds, &world))
        return;
    render->update_world(&world, world.world_time(), world.frame_step());
    if (_swap_chain >= 0)
        render->render_world(&world, camera, viewport, shading_environment, u32(_swap_chain), _aspect_ratio);
    if (!contains(_rendered_worlds, &world))
        (void)_rendered_worlds.push_back(&world);
}

GameViewport *Application::create_viewport(World &world, u32 template_name)
{
    RenderInterface *render = render_interface();
    const ViewportTemplate *viewport_template = render ? render->viewport_template(template_name) : nullptr;
    return viewport_template ? world.create_viewport(*viewport_template) : nullptr;
}

bool Application::destroy_viewport(World &world, GameViewport *viewport) { return world.destroy_viewport(viewport); }

void Application::send_world_changes()
{
    // A world the game did not render this frame still hands its changes over, so its
    // state buffer does not grow frame after frame and its render world stays current.
    RenderInterface *render = render_interface();
    if (render)
        for (World *world : _worlds)
            if (!contains(_rendered_worlds, world) && render->render_world_of(world))
                render->update_world(world, world->world_time(), world->frame_step());
    _rendered_worlds.clear();
}

u64 Application::state_hash()
{
    if (RenderInterface *render = render_interface())
        render->wait_until_idle();
    StateHasher hasher;
    hasher.add(_worlds.size());
    for (const World *world : _worlds)
        world->hash_state(hasher);
    if (_game)
        _game->hash_state(hasher);
    return hasher.value();
}

void Application::release_worlds()
{
    while (_worlds.size() > 0)
        (void)release_world(_worlds.back());
}
} // namespace tallow

#include "application/engine_setup.h"

#include "application/game.h"
#include "animation/animation_resources.h"
#include "animation/world_animation_service.h"
#include "application/application.h"
#include "application/input_step.h"
#include "foundation/memory/memory_globals.h"
#include "network/network_config_resource.h"
#include "network/network_manager.h"
#include "network/unit_synchronizer.h"
#include "physics/physics_properties.h"
#include "physics/physics_sdk.h"
#include "physics/world_physics_service.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_service.h"
#include "save/save_system.h"
#include "world/units/unit_mesh_lookup.h"
#include "sound/sound_resource.h"
#include "sound/world_sound_service.h"
#include "world/services/world_particle_service.h"

namespace tallow {

ProgramSetup engine_setup()
{
    ProgramSetup setup;
    setup.game_factory = make_game;
    setup.services.create_save = [](Allocator &allocator, Application &application,
                                    const char *save_dir) -> ISaveService * {
        return save::create_save_service(allocator, *application.thread_registry(), save_dir);
    };
    // The render steps run on the Direct3D device over our layer (its backend is chosen at
    // start-up: headless, or OpenGL offscreen or in the window).
    setup.services.create_render = [](Allocator &allocator,
                                      Application &application) -> IRenderService * {
        // Render configurations, textures and materials come through the resource manager.
        RenderConfigSources sources{application.resource_manager(), application.settings(),
                                    application.user_settings()};
        return create_render_service(allocator, application.thread_registry(), application.thread_pool(),
                                     &render::d3d11::create_d3d_render_device, &sources);
    };
    // The network manager holds the backend, connection, game and lobbies that scripts
    // start; scripts drive it once a frame (Network.update).
    setup.services.create_network = [](Allocator &allocator, Application &) -> INetworkService * {
        network::NetworkManagerSettings settings;
        settings.game.create_synchronizer = network::create_unit_synchronizer; // every game mirrors units
        return make_new<network::NetworkManager>(allocator, default_allocator(), settings);
    };
    // Every World plays its sounds through the process-wide SDL audio device.
    setup.world_services.sound = create_sound_service;
    // Every World plays its animations through the animation service.
    setup.world_services.animation = create_animation_service;
    // The physics SDK over Bullet; every World gets its physics world from it.
    setup.services.create_physics = [](Allocator &allocator,
                                       Application &application) -> IPhysicsService * {
        return create_physics_sdk(allocator, application.thread_pool());
    };
    setup.world_services.physics = create_physics_service;
    // Every World plays its particle effects through its render world.
    setup.world_services.particles = create_particle_service;
    setup.register_resource_types = [](ResourceManager &manager) {
        register_unit_mesh_lookup(manager); // meshes of unit resources for the render pipeline's steps
        register_sound_resource_types(manager);
        register_physics_resource_types(manager);
        register_animation_resource_types(manager);
        network::register_network_resource_types(manager);
    };
    setup.release_resource_types = release_engine_resource_types;
    // Keyboard, mouse and pads; the lighting devices when their library is installed.
    setup.services.create_input = create_input_service;
    setup.services.create_lightfx = create_lightfx_service;
    // Each service joins this build here as it lands.
    return setup;
}

void release_engine_resource_types()
{
    unregister_unit_mesh_lookup();
}

ApplicationParams engine_params(const ApplicationOptions &options, platform::IWindowSystem &window_system)
{
    ApplicationParams params;
    params.options = &options;
    params.window_system = &window_system;
    apply_program_setup(engine_setup(), params);
    return params;
}

} // namespace tallow

// The engine program.
#include "application/game.h"
#include "application/program.h"
#include "animation/animation_resources.h"
#include "animation/world_animation_service.h"
#include "application/application.h"
#include "foundation/memory/memory_globals.h"
#include "network/network_manager.h"
#include "physics/physics_properties.h"
#include "physics/physics_sdk.h"
#include "physics/world_physics_service.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_service.h"
#include "save/save_system.h"
#include "sound/sound_resource.h"
#include "sound/world_sound_service.h"

int main()
{
    tallow::ProgramSetup setup;
    setup.game_factory = tallow::make_game;
    setup.services.create_save = [](tallow::Allocator &allocator, tallow::Application &application,
                                    const char *save_dir) -> tallow::ISaveService * {
        return tallow::save::create_save_service(allocator, *application.thread_registry(), save_dir);
    };
    // The render steps run on the Direct3D device over our layer (headless backend).
    setup.services.create_render = [](tallow::Allocator &allocator,
                                      tallow::Application &application) -> tallow::IRenderService * {
        return tallow::create_render_service(allocator, application.thread_registry(), application.thread_pool(), &tallow::render::d3d11::create_d3d_render_device);
    };
    // The network manager holds the backend, connection, game and lobbies that scripts
    // start; scripts drive it once a frame (Network.update).
    setup.services.create_network = [](tallow::Allocator &allocator, tallow::Application &) -> tallow::INetworkService * {
        return tallow::make_new<tallow::network::NetworkManager>(allocator, tallow::default_allocator());
    };
    // Every World plays its sounds through the process-wide SDL audio device.
    setup.world_services.sound = tallow::create_sound_service;
    // Every World plays its animations through the animation service.
    setup.world_services.animation = tallow::create_animation_service;
    // The physics SDK over Bullet; every World gets its physics world from it.
    setup.services.create_physics = [](tallow::Allocator &allocator,
                                       tallow::Application &application) -> tallow::IPhysicsService * {
        return tallow::create_physics_sdk(allocator, application.thread_pool());
    };
    setup.world_services.physics = tallow::create_physics_service;
    setup.register_resource_types = [](tallow::ResourceManager &manager) {
        tallow::register_sound_resource_types(manager);
        tallow::register_physics_resource_types(manager);
        tallow::register_animation_resource_types(manager);
    };
    // Each service joins this build here as it lands: setup.game_factory, setup.services.*.
    return tallow::program_main(setup);
}

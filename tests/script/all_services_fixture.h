#pragma once
// A whole Application with physics, networking (a LAN client may start) and saves, a unit
// with an actor and a camera ("units/crate"), one with a mover ("units/walker"), and the
// network config "net": for tests that call across many script tables.
#include "boot_script_fixture.h"

#include "foundation/threads/thread_registry.h"
#include "network/network_config_resource.h"
#include "network/network_manager.h"
#include "network/unit_synchronizer.h"
#include "physics/physics_sdk.h"
#include "physics/world_physics_service.h"
#include "save/save_system.h"
#include "tests/support/writers/network_config_writer.h"
#include "tests/support/writers/physics_properties_writer.h"

namespace tallow::test {

inline std::string all_services_properties()
{
    PhysicsPropertiesWriter w;
    w.material("wood", {0, 0.5f, 0.1f, 0.6f, 0, 0});
    w.shape_template("default", 0, {1, 1});
    ActorTemplate dynamic;
    dynamic.flags = actor_dynamic;
    dynamic.mass = 20;
    w.actor_template("dynamic", dynamic);
    w.actor_template("static", ActorTemplate{});
    std::vector<u8> bytes = w.write();
    return std::string(bytes.begin(), bytes.end());
}

inline std::string all_services_network_config()
{
    NetworkConfigSpec spec;
    spec.types.push_back({"ball", {bool_field("held")}});
    const std::vector<u8> bytes = write_network_config(spec);
    return std::string(bytes.begin(), bytes.end());
}

inline void register_all_services_types(ResourceManager &manager)
{
    register_physics_resource_types(manager);
    network::register_network_resource_types(manager);
}

class AllServicesTest : public BootScriptTest {
  protected:
    AllServicesTest()
    {
        services.create_physics = [](Allocator &allocator, Application &application) -> IPhysicsService * {
            return create_physics_sdk(allocator, application.thread_pool());
        };
        services.create_network = [](Allocator &allocator, Application &) -> INetworkService * {
            network::NetworkManagerSettings settings;
            settings.game.create_synchronizer = network::create_unit_synchronizer;
            return make_new<network::NetworkManager>(allocator, default_allocator(), settings);
        };
        services.create_save = [](Allocator &allocator, Application &application, const char *dir) -> ISaveService * {
            return save::create_save_service(allocator, *application.thread_registry(), dir);
        };
        world_services.physics = create_physics_service;
        register_resource_types = register_all_services_types;
        write_data({
            {"package", "boot",
             package_resource({{"physics_properties", "physics/test"},
                               {"network_game_config", "net"},
                               {"unit", "units/crate"},
                               {"unit", "units/walker"}})},
            {"physics_properties", "physics/test", all_services_properties()},
            {"network_game_config", "net", all_services_network_config()},
            {"unit", "units/crate",
             compiled_unit("nodes = [ { name = \"root\" } { name = \"lid\" parent = \"root\" } ]\n"
                           "cameras = [ { name = \"eye\" node = \"lid\" settings = [0 0 0] } ]\n"
                           "actors = [ { name = \"body\" node = \"root\" template = \"dynamic\"\n"
                           "  shapes = [ { kind = 1 material = \"wood\" template = \"default\" parameters = [0.5 0.5 0.5] } ] } ]\n")},
            {"unit", "units/walker",
             compiled_unit("nodes = [ { name = \"root\" } ]\n"
                           "movers = [ { height = 1.8 radius = 0.4 } ]\n")},
        });
        write_settings("win32 = { save_dir = \"" + std::string(saves.path()) + "\" }\n"
                       "lan_broadcast_targets = [ \"127.0.0.1\" ]\n");
    }
    TempDirectory saves;
};

} // namespace tallow::test

#include "application/application.h"

#include "application/application_internal.h"
#include "foundation/log.h"
#include "render/interface/render_interface.h"
#include "resource/resource_loader.h"
#include "resource/resource_package.h"

namespace tallow {

// --- Resources ---------------------------------------------------------------------------

ResourcePackage *Application::make_package(NameId64 name)
{
    if (!_resource_manager)
        return nullptr;
    return create_resource_package(_allocator, *_resource_manager, _bundle_files, name,
                                   _property_preference_order.data(), _property_preference_order.size());
}

ResourcePackage *Application::create_package(NameId64 name)
{
    ResourcePackage *package = make_package(name);
    if (package && !_packages.push_back(package)) {
        delete_with_allocator(_allocator, package);
        return nullptr;
    }
    return package;
}

ResourcePackage *Application::load_package_unlisted(NameId64 name)
{
    ResourcePackage *package = make_package(name);
    if (!package)
        return nullptr;
    // Loaded whole: everything is handed in and resolved when this returns.
    package->load();
    package->flush();
    return package;
}

ResourcePackage *Application::load_package(NameId64 name)
{
    ResourcePackage *package = load_package_unlisted(name);
    if (package)
        _packages.push_back(package);
    return package;
}

void Application::destroy_package(ResourcePackage *package)
{
    // The render thread reads loaded data (materials, meshes, fonts) while it draws the
    // frames already handed to it: let it finish them before the data goes.
    if (RenderInterface *render = render_interface())
        render->wait_until_idle();
    package->unload();
    delete_with_allocator(_allocator, package);
}

void Application::release_package(ResourcePackage *package)
{
    if (!package)
        return;
    if (!_packages.remove_value(package)) {
        log_message(log_category, "release_package: the package is not the Application's");
        return;
    }
    destroy_package(package);
}

void Application::set_resource_property_preference_order(const u64 *property_ids, u32 count)
{
    _property_preference_order.clear();
    for (u32 i = 0; i < count; ++i)
        _property_preference_order.push_back(property_ids[i]);
    // Bundles take the order when a package is made; the database's loader thread takes it
    // between two loads, since it reads the database's choice while loading.
    if (_resource_loader)
        _resource_loader->set_property_preference_order(_property_preference_order.data(),
                                                        _property_preference_order.size());
}
} // namespace tallow

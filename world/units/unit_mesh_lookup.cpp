#include "world/units/unit_mesh_lookup.h"

#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "render/generators/resource_generator.h"
#include "render/world/render_mesh_object.h"
#include "resource/resource_manager.h"
#include "world/units/unit_render_objects.h"
#include "world/units/unit_resource.h"

namespace tallow {

namespace {
struct Lookup {
    ResourceManager *manager = nullptr;
    UnitMeshBuilder *builder = nullptr; // the description's arrays live here until the next find
};
Lookup lookup;

bool find_unit_mesh(void *context, u64 resource_name, u32 mesh_name, MeshDesc *out)
{
    Lookup &l = *static_cast<Lookup *>(context);
    const NameId64 unit_type("unit");
    const NameId64 name = NameId64::from_value(resource_name);
    if (!l.manager || !l.builder || !l.manager->can_get(unit_type, name))
        return false;
    const auto *resource = static_cast<const UnitResource *>(l.manager->get(unit_type, name));
    if (!resource)
        return false;
    for (u32 i = 0; i < resource->meshes.size(); ++i)
        if (resource->meshes[i].name_id == mesh_name)
            return l.builder->build(*resource, i, 0xFFFFFFFFu, nullptr, *out);
    return false;
}
} // namespace

void register_unit_mesh_lookup(ResourceManager &manager)
{
    lookup.manager = &manager;
    if (!lookup.builder)
        lookup.builder = make_new<UnitMeshBuilder>(default_allocator(), default_allocator());
    set_default_mesh_lookup(GeneratorMeshLookup{&lookup, &find_unit_mesh});
}

void unregister_unit_mesh_lookup()
{
    set_default_mesh_lookup(GeneratorMeshLookup{});
    if (lookup.builder)
        delete_with_allocator(default_allocator(), lookup.builder);
    lookup = Lookup{};
}

} // namespace tallow

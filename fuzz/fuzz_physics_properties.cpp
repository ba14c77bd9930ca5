// "physics_properties" bytes read as the resource type reads them, then every entry looked
// up by its name. Any bytes either load with sorted, unique tables or are refused.
#include "foundation/io/input_archive.h"
#include "foundation/io/memory_buffer.h"
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "physics/physics_properties.h"

#include <cstdlib>
#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    std::vector<u8> bytes(data, data + size);
    PhysicsProperties p(default_allocator());
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(default_allocator(), bytes.data(), bytes.size()));
    if (!p.read(archive))
        return 0;
    for (const auto &e : p.materials)
        if (p.find_material(e.name) != &e.value)
            abort();
    for (const auto &e : p.shape_templates)
        if (p.find_shape_template(e.name) != &e.value)
            abort();
    for (const auto &e : p.actor_templates)
        if (p.find_actor_template(e.name) != &e.value)
            abort();
    for (const auto &e : p.collision_filters)
        if (p.find_collision_filter(e.name) != &e.value)
            abort();
    return 0;
}

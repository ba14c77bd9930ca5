#include "physics/physics_properties.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "resource/resource_manager.h"

namespace tallow {

namespace {

const PhysicsProperties *g_current = nullptr;

template <typename T> const T *find(const Array<NamedEntry<T>> &table, u32 name)
{
    u32 low = 0, high = table.size();
    while (low < high) {
        u32 mid = low + (high - low) / 2;
        u32 n = table[mid].name;
        if (n == name)
            return &table[mid].value;
        if (n < name)
            low = mid + 1;
        else
            high = mid;
    }
    return nullptr;
}

// Reads one table: its count is checked against the bytes left before anything grows, and
// the names must rise strictly so the binary search finds every entry.
template <typename T, typename ReadEntry>
bool read_table(InputArchive &archive, u32 entry_bytes, Array<NamedEntry<T>> &table, ReadEntry &&read_entry,
                const char *&reason)
{
    u32 count = 0;
    if (!archive.read(count)) {
        reason = "a table count runs past the end";
        return false;
    }
    if (u64(count) * entry_bytes > archive.bytes_left()) {
        reason = "a table count runs past the end";
        return false;
    }
    table.resize(count);
    if (table.size() != count) {
        reason = "no memory for a table";
        return false;
    }
    for (u32 i = 0; i < count; ++i) {
        NamedEntry<T> &e = table[i];
        if (!archive.read(e.name) || !read_entry(e.value)) {
            reason = "an entry runs past the end";
            return false;
        }
        if (i > 0 && table[i - 1].name >= e.name) {
            reason = "a table is not sorted by name (or names repeat)";
            return false;
        }
    }
    return true;
}

void *load_properties(const ResourceLoadParams &params)
{
    PhysicsProperties *p = make_new<PhysicsProperties>(params.allocator, params.allocator);
    if (!p) {
        log_message("physics", "physics_properties %016llx: no memory", (unsigned long long)params.name.value());
        return nullptr;
    }
    const char *reason = nullptr;
    if (!p->read(params.archive, &reason)) {
        log_message("physics", "physics_properties %016llx is broken (%s); not loaded",
                    (unsigned long long)params.name.value(), reason);
        delete_with_allocator(params.allocator, p);
        return nullptr;
    }
    return p;
}

void unload_properties(const ResourceUnloadParams &params)
{
    auto *p = static_cast<PhysicsProperties *>(params.data);
    if (g_current == p)
        g_current = nullptr;
    delete_with_allocator(params.allocator, p);
}

void bring_in(void *, void *data) { g_current = static_cast<const PhysicsProperties *>(data); }

void bring_out(void *, void *data)
{
    // Only the current set is cleared: a set brought in later stays current.
    if (g_current == data)
        g_current = nullptr;
}

} // namespace

PhysicsProperties::PhysicsProperties(Allocator &allocator)
    : materials(allocator), shape_templates(allocator), actor_templates(allocator), collision_filters(allocator)
{
}

bool PhysicsProperties::read(InputArchive &archive, const char **out_reason)
{
    const char *reason = nullptr;
    u32 version = 0;
    bool ok = archive.read(version);
    if (!ok)
        reason = "shorter than its version word";
    auto read_f32s = [&](f32 *v, u32 n) {
        for (u32 i = 0; i < n; ++i)
            if (!archive.read(v[i]))
                return false;
        return true;
    };
    ok = ok && read_table(archive, 28, materials, [&](PhysicsMaterial &m) { return read_f32s(m.values, 6); }, reason);
    ok = ok && read_table(archive, 24, shape_templates,
                          [&](ShapeTemplate &s) {
                              s.zero = 0;
                              return archive.read(s.flags) && archive.read(s.filter.belongs_to) &&
                                     archive.read(s.filter.collides_with);
                          },
                          reason);
    ok = ok && read_table(archive, 36, actor_templates,
                          [&](ActorTemplate &a) {
                              return archive.read(a.flags) && archive.read(a.mass) && archive.read(a.min_inertia_ratio) &&
                                     read_f32s(a.inertia, 3) && archive.read(a.linear_damping) &&
                                     archive.read(a.angular_damping);
                          },
                          reason);
    ok = ok && read_table(archive, 20, collision_filters,
                          [&](CollisionFilter &f) { return archive.read(f.belongs_to) && archive.read(f.collides_with); },
                          reason);
    if (ok && archive.bytes_left() != 0) {
        ok = false;
        reason = "bytes after the last table";
    }
    if (!ok && out_reason)
        *out_reason = reason;
    return ok;
}

const PhysicsMaterial *PhysicsProperties::find_material(u32 name) const { return find(materials, name); }
const ShapeTemplate *PhysicsProperties::find_shape_template(u32 name) const { return find(shape_templates, name); }
const ActorTemplate *PhysicsProperties::find_actor_template(u32 name) const { return find(actor_templates, name); }
const CollisionFilter *PhysicsProperties::find_collision_filter(u32 name) const { return find(collision_filters, name); }

const PhysicsProperties *current_physics_properties() { return g_current; }
void set_current_physics_properties(const PhysicsProperties *properties) { g_current = properties; }

ResourceTypeCallbacks physics_properties_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_properties;
    callbacks.unload = unload_properties;
    callbacks.bring_in = bring_in;
    callbacks.bring_out = bring_out;
    return callbacks;
}

void register_physics_resource_types(ResourceManager &manager)
{
    (void)manager.register_type(physics_properties_type, physics_properties_callbacks());
}

} // namespace tallow

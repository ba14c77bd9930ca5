#include "world/levels/level.h"

#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "world/flow/flow_script.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace tallow {

namespace {

Array<Level *> *g_levels = nullptr;
u32 g_next_serial = 1;

constexpr u32 script_data_path_limit = 64;

struct Check {
    const LevelResource &r;
    const char *why = nullptr;
    bool fail(const char *reason)
    {
        if (!why)
            why = reason;
        return false;
    }
    bool has(u32 offset, u64 bytes) const { return offset <= r.blob.size() && bytes <= r.blob.size() - offset; }
    bool table(u32 count, u32 offset, u32 record, const char *what)
    {
        return has(offset, u64(count) * record) || fail(what);
    }
    // Walks `entries` script data entries from `offset`; false when one leaves the blob.
    bool script_entries(u32 &offset, u32 entries)
    {
        for (u32 i = 0; i < entries; ++i) {
            if (!has(offset, 4))
                return fail("script data runs past the end");
            u32 p = r.word(offset);
            offset += 4;
            if (p == 0)
                continue;
            if (p > script_data_path_limit || !has(offset, u64(p) * 4 + 4))
                return fail("a script data path runs past the end");
            offset += 4 * p;
            u32 kind = r.word(offset);
            offset += 4;
            if (kind == 1 || kind == 2) {
                if (!has(offset, 4))
                    return fail("a script data value runs past the end");
                offset += 4;
            } else if (kind == 3) {
                if (!has(offset, 4) || !has(offset + 4, r.word(offset)))
                    return fail("a script data string runs past the end");
                u64 end = u64(offset) + 4 + ((u64(r.word(offset)) + 3) & ~3ull);
                if (end > r.blob.size())
                    return fail("a script data string runs past the end");
                offset = u32(end);
            } else {
                return fail("unknown script data kind");
            }
        }
        return true;
    }
    bool check();
};

bool Check::check()
{
    if (r.blob.size() < level_header_words * 4)
        return fail("shorter than its header");
    u32 units = r.header(0);
    if (!table(units, 72, level_unit_record_size, "the unit records run past the end"))
        return false;
    if (u32 at = r.header(1)) {
        for (u32 i = 0; i < units; ++i) {
            if (!has(at, 4))
                return fail("script data runs past the end");
            u32 n = r.word(at);
            at += 4;
            if (!script_entries(at, n))
                return false;
        }
    }
    if (u32 at = r.header(13)) {
        if (!has(at, 4))
            return fail("level script data runs past the end");
        u32 n = r.word(at);
        at += 4;
        if (!script_entries(at, n))
            return false;
    }
    if (u32 at = r.header(2)) {
        if (!has(at, 4))
            return fail("the light overrides run past the end");
        if (!table(r.word(at), at + 4, level_light_record_size, "the light overrides run past the end"))
            return false;
        for (u32 i = 0; i < r.word(at); ++i)
            if (r.word(at + 4 + i * level_light_record_size) >= units)
                return fail("a light override names a unit the level does not have");
    }
    if (r.header(4) && !has(r.header(3), r.header(4)))
        return fail("the prototype unit runs past the end");
    if (!table(r.header(8), r.header(9), level_trigger_record_size, "the trigger volumes run past the end") ||
        !table(r.header(10), r.header(11), level_binding_record_size, "the flow bindings run past the end") ||
        !table(r.header(14), r.header(15), level_particle_record_size, "the particle effects run past the end"))
        return false;
    u32 nodes = 0;
    if (r.graph_size) {
        FlowGraphInfo info;
        if (!validate_flow_graph(r.at(r.header(6)), r.graph_size, info))
            return fail("its flow graph is refused");
        nodes = info.node_count;
        if (!has(r.header(7), info.variable_block_size))
            return fail("the flow variable defaults run past the end");
    }
    for (u32 i = 0; i < r.header(10); ++i) {
        u32 at = r.header(11) + i * level_binding_record_size;
        if (r.word(at) >= units || r.word(at + 4) >= nodes)
            return fail("a flow binding names a unit or node the level does not have");
    }
    for (u32 i = 0; i < r.header(8); ++i) {
        u32 node = r.word(r.header(9) + i * level_trigger_record_size + 76);
        if (node >= nodes)
            return fail("a trigger volume names a flow node the level does not have");
    }
    u32 at = r.header(17);
    if (r.header(16) && at % 4 != 0)
        return fail("the splines are not 4-byte aligned"); // find_spline hands out Vector3s
    for (u32 i = 0; i < r.header(16); ++i) {
        if (!has(at, 8) || !has(at + 8, u64(r.word(at + 4)) * 12))
            return fail("a spline runs past the end");
        at += 8 + 12 * r.word(at + 4);
    }
    return true;
}

void *load_level(const ResourceLoadParams &params)
{
    if (params.size_bytes > 0xFFFFFFFFu)
        return nullptr;
    Array<u8> bytes(params.allocator);
    bytes.resize(u32(params.size_bytes));
    if (bytes.size() != params.size_bytes || !params.archive.read(bytes.data(), bytes.size())) {
        log_message("world", "level %016llx: cannot read its bytes", (unsigned long long)params.name.value());
        return nullptr;
    }
    return read_level_resource(bytes.data(), bytes.size(), params.allocator, params.name);
}

void unload_level(const ResourceUnloadParams &params)
{
    destroy_level_resource(static_cast<LevelResource *>(params.data), params.allocator);
}

Matrix4x4 record_pose(const u8 *record)
{
    f32 v[7];
    memcpy(v, record, sizeof v);
    return pose_from_quaternion({v[3], v[4], v[5], v[6]}, {v[0], v[1], v[2]});
}

bool timer_later(const TimedEvent &a, const TimedEvent &b) { return a.due > b.due; }

} // namespace

namespace {

std::atomic<void *(*)(const void *, u64, Allocator &)> g_nav_mesh_read{nullptr};
std::atomic<void (*)(void *, Allocator &)> g_nav_mesh_destroy{nullptr};

LevelNavMeshReader nav_mesh_reader()
{
    LevelNavMeshReader reader;
    reader.read = g_nav_mesh_read.load();
    reader.destroy = g_nav_mesh_destroy.load();
    return reader;
}

void log_once_no_nav_mesh_reader()
{
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        log_message("world", "levels carry navigation meshes, but no reader is installed: they are skipped");
}

} // namespace

void set_level_nav_mesh_reader(const LevelNavMeshReader &reader)
{
    g_nav_mesh_destroy.store(reader.destroy);
    g_nav_mesh_read.store(reader.read);
}

u32 LevelResource::word(u32 offset) const
{
    if (offset > blob.size() || blob.size() - offset < 4)
        return 0;
    u32 v;
    memcpy(&v, blob.data() + offset, 4);
    return v;
}

const Vector3 *LevelResource::find_spline(u32 name_id, u32 &out_count) const
{
    u32 at = header(17);
    for (u32 i = 0; i < header(16); ++i) {
        u32 count = word(at + 4);
        if (word(at) == name_id) {
            out_count = count;
            return reinterpret_cast<const Vector3 *>(blob.data() + at + 8);
        }
        at += 8 + 12 * count;
    }
    out_count = 0;
    return nullptr;
}

LevelResource *read_level_resource(const void *data, u64 size, Allocator &allocator, NameId64 name)
{
    if (size > 0x7FFFFFFFu || (!data && size))
        return nullptr;
    LevelResource *r = make_new<LevelResource>(allocator, allocator);
    if (!r)
        return nullptr;
    r->name = name;
    r->blob.resize(u32(size));
    if (r->blob.size() != size) {
        destroy_level_resource(r, allocator);
        return nullptr;
    }
    if (size)
        memcpy(r->blob.data(), data, size);
    Check check{*r};
    if (size >= level_header_words * 4 && r->header(6)) {
        // The graph ends where the next section the header points to begins, or at the
        // blob's end: the graph stores no size, and its node table has no count.
        u32 at = r->header(6), end = u32(size);
        // {offset word, the word that says the section is there (its size or count)}
        const u32 sections[][2] = {{1, 1}, {2, 2}, {3, 4}, {7, 7}, {9, 8}, {11, 10}, {12, 12}, {13, 13}, {15, 14},
                                   {17, 16}};
        for (const auto &s : sections) {
            const u32 section = r->header(s[0]);
            if (r->header(s[1]) && section > at && section < end)
                end = section;
        }
        r->graph_size = at < end ? end - at : 0;
        if (!r->graph_size)
            check.fail("the flow graph lies outside the level");
    }
    if (!check.why && !check.check())
        check.fail("damaged"); // every failing check names itself; this keeps a miss safe
    if (!check.why && r->graph_size) {
        FlowGraphInfo info;
        validate_flow_graph(r->at(r->header(6)), r->graph_size, info);
        r->variable_block_size = info.variable_block_size;
    }
    if (!check.why && r->header(4)) {
        r->prototype = read_unit_resource(r->at(r->header(3)), r->header(4), allocator, NameId64("prototype"));
        if (!r->prototype)
            check.fail("its prototype unit is refused");
    }
    if (!check.why && r->header(12)) {
        const u32 at = r->header(12);
        const LevelNavMeshReader reader = nav_mesh_reader();
        if (at >= size || at % 4)
            check.fail("the navigation mesh lies outside the level");
        else if (!reader.read)
            log_once_no_nav_mesh_reader();
        else if (!(r->navigation_mesh = reader.read(r->at(at), size - at, allocator)))
            check.fail("its navigation mesh is refused");
    }
    if (check.why) {
        log_message("world", "level %016llx refused: %s", (unsigned long long)name.value(), check.why);
        destroy_level_resource(r, allocator);
        return nullptr;
    }
    return r;
}

void destroy_level_resource(LevelResource *resource, Allocator &allocator)
{
    if (!resource)
        return;
    if (resource->prototype)
        destroy_unit_resource(resource->prototype, allocator);
    if (resource->navigation_mesh && nav_mesh_reader().destroy)
        nav_mesh_reader().destroy(resource->navigation_mesh, allocator);
    delete_with_allocator(allocator, resource);
}

ResourceTypeCallbacks level_resource_callbacks()
{
    install_flow(); // the units a level spawns run their graphs
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_level;
    callbacks.unload = unload_level;
    return callbacks;
}

u32 apply_level_script_data(const LevelResource &r, u32 offset, ChunkStore &store)
{
    u32 entries = r.word(offset);
    offset += 4;
    for (u32 i = 0; i < entries; ++i) {
        u32 p = r.word(offset);
        offset += 4;
        if (p == 0)
            continue;
        u32 keys = offset;
        offset += 4 * p;
        u32 kind = r.word(offset);
        offset += 4;
        u32 size = kind == 3 ? r.word(offset) : 4;
        const u8 *value = r.at(kind == 3 ? offset + 4 : offset);
        offset += kind == 3 ? 4 + ((size + 3) & ~3u) : 4;
        // Walk the nested lists; a path naming a list the store lacks writes nothing.
        u32 head = ChunkStore::root_list;
        bool found = true;
        for (u32 k = 0; k + 1 < p && found; ++k) {
            u32 chunk = store.find(head, r.word(keys + 4 * k));
            found = chunk != ChunkStore::not_found && store.chunk_kind(chunk) == ChunkStore::nested_list;
            if (found)
                head = store.nested_head(chunk);
        }
        if (!found)
            continue;
        u32 key = r.word(keys + 4 * (p - 1));
        if (kind == 1) {
            u8 b = r.word(offset - 4) != 0;
            store.set(head, key, kind, 1, &b);
        } else {
            store.set(head, key, kind, size, value);
        }
    }
    return offset;
}

Level *level_by_serial(u32 serial)
{
    if (g_levels)
        for (Level *l : *g_levels)
            if (l->serial() == serial)
                return l;
    return nullptr;
}

bool is_live_level(const Level *level)
{
    if (g_levels && level)
        for (Level *l : *g_levels)
            if (l == level)
                return true;
    return false;
}

Level::Level(World &world, const LevelResource &resource, IFlowScript *script, i32 script_reference)
    : _resource(resource), _world(world), _data(world.allocator()), _trigger_actors(world.allocator()),
      _variables(world.allocator()), _script(script), _script_reference(script_reference),
      _timers(world.allocator()), _pending(world.allocator()), _bindings(world.allocator()),
      _serial(g_next_serial++)
{
    if (resource.graph_size) {
        _variables.resize(resource.variable_block_size);
        if (_variables.size() == resource.variable_block_size && _variables.size())
            memcpy(_variables.data(), resource.at(resource.header(7)), _variables.size());
    }
    if (ResourceManager *manager = world.resource_manager())
        _held.hold_data(*manager, level_type, resource.name, &resource);
    if (!g_levels)
        g_levels = make_new<Array<Level *>>(default_allocator(), default_allocator());
    g_levels->push_back(this);
}

Level::~Level()
{
    // The trigger volumes go with the level: left in the physics world, their triggers
    // would reach the next level's graph with this one's node indices.
    for (PhysicsActor *a : _trigger_actors)
        if (a)
            _world.physics().destroy_actor(a);
    if (_script && _script_reference != flow_no_script_reference)
        _script->release_reference(_script_reference);
    for (u32 i = 0; i < g_levels->size(); ++i)
        if ((*g_levels)[i] == this) {
            (*g_levels)[i] = g_levels->back();
            g_levels->pop_back();
            break;
        }
    if (g_levels->empty()) {
        delete_with_allocator(default_allocator(), g_levels);
        g_levels = nullptr;
    }
    _world.release_after_render(_held);
}

bool Level::context(FlowContext &c)
{
    if (!_resource.graph_size)
        return false;
    c.graph = make_flow_blob(_resource.at(_resource.header(6)), _resource.graph_size);
    c.world = &_world;
    c.level = this;
    c.variables = _variables.data();
    c.variable_size = _variables.size();
    c.script = _script;
    c.script_reference = _script_reference;
    c.delays = &_pending;
    return true;
}

template <typename F> void Level::run(F &&body)
{
    FlowContext c;
    if (_retired || !context(c) || !flow_enter_run())
        return;
    _world.begin_flow_run();
    body(c);
    _world.end_flow_run();
    flow_leave_run();
}

void Level::spawn_units()
{
    const LevelResource &r = _resource;
    u32 count = r.header(0);
    Array<UnitHandle> units(_world.allocator());
    units.resize(count);
    _world.begin_flow_run(); // units destroyed by spawn flows go when spawning is done
    // 1. Units.
    for (u32 i = 0; i < count; ++i) {
        const u8 *record = r.at(72 + i * level_unit_record_size);
        u64 name, material;
        memcpy(&name, record, 8);
        memcpy(&material, record + 8, 8);
        Matrix4x4 pose = record_pose(record + 16);
        Unit *u = material ? _world.spawn_unit_with_material(NameId64::from_value(name),
                                                             NameId64::from_value(material), pose)
                           : _world.spawn_unit(NameId64::from_value(name), pose);
        units[i] = u ? u->handle() : null_unit_handle;
    }
    // 2. Per-unit script data, 3. the level's own.
    if (u32 at = r.header(1))
        for (u32 i = 0; i < count; ++i) {
            Unit *u = _world.unit(units[i]);
            ChunkStore scratch(_world.allocator());
            at = apply_level_script_data(r, at, u ? u->data() : scratch); // a failed spawn still moves on
        }
    if (u32 at = r.header(13))
        apply_level_script_data(r, at, _data);
    // 4. Light overrides; an unknown light is skipped.
    if (u32 at = r.header(2))
        for (u32 i = 0; i < r.word(at); ++i) {
            const u8 *record = r.at(at + 4 + i * level_light_record_size);
            Unit *u = _world.unit(units[r.word(at + 4 + i * level_light_record_size)]);
            u32 light_name;
            memcpy(&light_name, record + 4, 4);
            i32 light = u ? u->find_light(light_name) : -1;
            if (light >= 0)
                _world.render_link().set_light_properties(u->light_handle(u32(light)), record + 8);
        }
    // 5. The prototype unit.
    if (r.prototype) {
        const void *material = nullptr;
        NameId64 name("core/editor_slave/prototype");
        if (ResourceManager *m = _world.resource_manager(); m && m->can_get(NameId64("material"), name))
            material = m->get(NameId64("material"), name);
        Unit *prototype = _world.spawn_unit_from_resource(*r.prototype, material, matrix4x4_identity);
        if (prototype)
            prototype->hold_material(name, material);
        // The prototype unit outlives the level in the world, and its resource is part of ours.
        if (prototype && _held.is_held())
            prototype->hold_resource(level_type, r.name); // the data this level holds: it is current while it loads
    }
    // 6. Flow unit bindings: every bound node gets its unit before any runs (7).
    u32 bindings = r.header(10), bindings_at = r.header(11);
    FlowContext c;
    if (context(c)) {
        for (u32 i = 0; i < bindings; ++i) {
            u32 at = bindings_at + i * level_binding_record_size;
            UnitHandle h = units[r.word(at)];
            if (!_world.unit(h))
                continue; // the unit did not spawn
            flow_set_unit_outputs_by_index(c, r.word(at + 4), unit_flow_value_type, &h);
            if (r.word(at + 8))
                _bindings.push_back({h, r.word(at + 4)});
        }
        for (u32 i = 0; i < bindings && !_retired; ++i)
            flow_trigger_output(c, (r.word(bindings_at + i * level_binding_record_size + 4) & 0xFFFF) | 0xFFFF0000u);
    }
    // 8. Trigger volumes: enter is input 0 of their node, leave input 1.
    for (u32 i = 0; i < r.header(8); ++i) {
        const u8 *record = r.at(r.header(9) + i * level_trigger_record_size);
        TriggerVolumeParams p;
        memcpy(&p.pose, record, 64);
        memcpy(&p.box, record + 64, 12);
        u32 words[3];
        memcpy(words, record + 76, 12);
        p.actor_template = words[1];
        p.shape_template = words[2];
        p.volume_index = i;
        for (u32 &t : p.targets)
            t = 0xFFFFFFFFu;
        p.targets[trigger_enter] = words[0] << 16;
        p.targets[trigger_leave] = words[0] << 16 | 1;
        if (PhysicsActor *a = _world.physics().create_trigger_volume(p))
            _trigger_actors.push_back(a);
    }
    // 9. Particle effects.
    for (u32 i = 0; i < r.header(14); ++i) {
        const u8 *record = r.at(r.header(15) + i * level_particle_record_size);
        u64 effect;
        memcpy(&effect, record, 8);
        _world.particles().create_particles(effect, record_pose(record + 8));
    }
    _world.end_flow_run();
}

void Level::trigger_event(u32 event_id, UnitHandle unit)
{
    run([&](FlowContext &c) {
        u32 node = bound_node(unit);
        if (node != 0xFFFFFFFFu)
            flow_set_unit_outputs_by_index(c, node, unit_flow_value_type, &unit);
        flow_trigger_event(c, event_id);
    });
}

void Level::trigger_flow_input(u32 target)
{
    run([&](FlowContext &c) { flow_trigger_input_by_index(c, target); });
}

u32 Level::bound_node(UnitHandle unit) const
{
    if (unit == null_unit_handle)
        return 0xFFFFFFFFu;
    for (const Binding &b : _bindings)
        if (b.unit == unit)
            return b.node;
    return 0xFFFFFFFFu;
}

void Level::update(f32 dt)
{
    for (const TimedDelay &d : _pending) {
        f32 delay = std::isnan(d.delay) ? 0.0f : d.delay;
        _timers.push_back({_time + delay, 0, d.target});
        std::push_heap(_timers.begin(), _timers.end(), timer_later);
    }
    _pending.clear();
    _time += dt;
    _world.begin_flow_run(); // a timer may replace the level: it is freed after the loop
    while (!_retired && _timers.size() && _time > _timers[0].due) {
        std::pop_heap(_timers.begin(), _timers.end(), timer_later);
        TimedEvent e = _timers.back();
        _timers.pop_back();
        trigger_flow_input(e.target);
    }
    _world.end_flow_run();
}

} // namespace tallow

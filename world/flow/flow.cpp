// The flow interpreter: runs, links, inputs, events and variables (the node actions are in
// world/flow/flow_actions.cpp).
#include "world/flow/flow.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "world/flow/flow_internal.h"
#include "world/flow/flow_script.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <cmath>
#include <cstring>

namespace tallow {

using namespace flow_internal;

namespace {

u32 g_run_nesting = 0;

// The value of a physics message that an event source stores.
void store_physics_value(FlowContext &c, u32 type, u8 *out, const u8 *record)
{
    if (!c.world || !out)
        return;
    u32 header[2];
    memcpy(header, record, 8);
    IPhysicsWorld &physics = c.world->physics();
    auto reference = [&](PhysicsActorId id, u8 *to) {
        PhysicsActorInfo info;
        u32 ref[2] = {0, 0};
        if (physics.resolve_actor(id, info)) {
            ref[0] = info.unit;
            ref[1] = info.actor_index;
        }
        memcpy(to, ref, 8);
    };
    PhysicsActorId first, second;
    Vector3 v[3];
    f32 length = 0;
    switch (header[1]) {
    case physics_trigger_event: {
        TriggerPayload p;
        if (!read_world_event(record, header[0], p))
            return;
        first = p.other; // the actor that entered the volume
        second = p.trigger;
        v[0] = p.position;
        v[1] = p.normal;
        break;
    }
    case physics_contact_event: {
        ContactPayload p;
        if (!read_world_event(record, header[0], p))
            return;
        first = p.a;
        second = p.b;
        v[0] = p.position;
        v[1] = p.normal;
        v[2] = p.impulse;
        break;
    }
    case physics_mover_hit_shape_event: {
        MoverHitPayload p;
        if (!read_world_event(record, header[0], p))
            return;
        first = p.actor;
        v[0] = p.position;
        v[1] = p.normal;
        v[2] = p.motion;
        length = p.length;
        break;
    }
    default:
        return;
    }
    if (type == flow_actor_event || type == flow_actor_source) {
        reference(first, out);
    } else if (type == flow_contact_event) {
        reference(first, out);
        reference(second, out + 8);
        memcpy(out + 16, v, 24);
    } else if (type == flow_mover_event) {
        reference(first, out);
        memcpy(out + 8, v, 36);
        memcpy(out + 44, &length, 4);
    }
}

/// A unit's flow context; false when the unit has no graph.
bool unit_context(World &world, Unit &u, FlowContext &c, Array<TimedDelay> *delays)
{
    const UnitResource &r = u.resource();
    if (!r.has_flow())
        return false;
    c.graph = make_flow_blob(r.bytes(r.flow_graph), r.flow_graph.size);
    c.world = &world;
    c.owner_unit = u.handle();
    c.variables = u.flow_variables().data();
    c.variable_size = u.flow_variables().size();
    c.script = world.script();
    c.script_reference = world.script_reference();
    c.delays = delays;
    return true;
}

template <typename F> void run_unit(World &world, Unit &u, F &&body)
{
    Array<TimedDelay> delays(world.allocator());
    FlowContext c;
    if (!unit_context(world, u, c, &delays) || !flow_enter_run())
        return;
    world.begin_flow_run();
    body(c);
    if (delays.size())
        world.schedule_timed_events(c.owner_unit, delays.data(), delays.size());
    world.end_flow_run();
    flow_leave_run();
}

bool validate_unit_flow(void *, const u8 *graph, u32 size, u32 &out_block_size)
{
    FlowGraphInfo info;
    if (!validate_flow_graph(graph, size, info))
        return false;
    out_block_size = info.variable_block_size;
    return true;
}

void spawn_event(void *, World &world, Unit &u)
{
    // The spawn value is stored with no world, scripts or delays, then the event runs.
    FlowContext c;
    if (!unit_context(world, u, c, nullptr))
        return;
    c.world = nullptr;
    c.script = nullptr;
    c.script_reference = flow_no_script_reference;
    UnitHandle h = u.handle();
    flow_trigger_unit_event(c, unit_spawn_event, unit_flow_value_type, &h);
    flow_unit_event(world, u, unit_spawn_event);
}

void event_by_index(void *, World &world, Unit &u, u32 target) { flow_unit_event_by_index(world, u, target); }

} // namespace

Unit *flow_internal::live_unit(const FlowContext &c, const u8 *variable)
{
    if (!variable || !c.world)
        return nullptr;
    return c.world->unit(load<u32>(variable, 0));
}

Matrix4x4 pose_from_quaternion(const Quaternion &q, const Vector3 &p)
{
    f32 sum = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    f32 s = sum == 0 ? 1.0f : 2.0f / sum;
    f32 x = q.x, y = q.y, z = q.z, w = q.w;
    if (sum == 0)
        x = y = z = 0, w = 0;
    Matrix4x4 m = matrix4x4_identity;
    set_axis(m, 0, {1 - s * (y * y + z * z), s * (x * y + w * z), s * (x * z - w * y)});
    set_axis(m, 1, {s * (x * y - w * z), 1 - s * (x * x + z * z), s * (y * z + w * x)});
    set_axis(m, 2, {s * (x * z + w * y), s * (y * z - w * x), 1 - s * (x * x + y * y)});
    set_translation(m, p);
    return m;
}

bool flow_enter_run()
{
    if (g_run_nesting >= flow_run_nesting_limit) {
        log_message("flow", "flow run refused: runs nest %u deep (a zero-delay loop?)", g_run_nesting);
        return false;
    }
    ++g_run_nesting;
    return true;
}

void flow_leave_run() { --g_run_nesting; }

u8 *FlowContext::variable(u32 offset, u32 size) const
{
    if (offset == flow_not_connected || !variables || offset > variable_size || size > variable_size - offset)
        return nullptr;
    return variables + offset;
}

void flow_execute_node(FlowContext &c, u32 offset, u32 target)
{
    if (c.level && c.level->retired())
        c.stopped = true; // the level was replaced during this run
    if (c.stopped)
        return;
    if (++c.steps > flow_step_budget || c.depth >= flow_depth_limit) {
        log_message("flow", "flow run stopped at node %u: %s", target & 0xFFFF,
                    c.depth >= flow_depth_limit ? "links nest too deep (a cycle?)" : "step budget spent (a cycle?)");
        c.stopped = true;
        return;
    }
    ++c.depth;
    u32 links = c.graph.word(offset + 4);
    if (links)
        flow_trigger_links(c, links);
    if (!c.stopped)
        execute_action(c, target & 0xFFFF, offset, target);
    --c.depth;
}

void flow_trigger_output(FlowContext &c, u32 target)
{
    if (u32 offset = c.graph.node_offset(target & 0xFFFF))
        flow_execute_node(c, offset, target);
}

void flow_trigger_links(FlowContext &c, u32 list)
{
    if (!c.graph.has(list, 4))
        return;
    u32 count = c.graph.word(list);
    for (u32 i = 0; i < count && !c.stopped && c.graph.has(list + 4 + 4 * i, 4); ++i)
        flow_trigger_output(c, c.graph.word(list + 4 + 4 * i));
}

void flow_trigger_node_output(u32 k, u32 table, FlowContext &c)
{
    if (u32 list = c.graph.output_list(table, k))
        flow_trigger_links(c, list);
}

void flow_trigger_input(FlowContext &c, u32 offset, u32 target)
{
    if (c.stopped)
        return;
    Node n{c, offset};
    u32 input = target >> 16;
    switch (c.graph.word(offset)) {
    case flow_flag:
        if (load<u32>(n.var(0, 4), 1) == 0)
            flow_trigger_node_output(input, n.at(1), c);
        break;
    case flow_delay:
    case flow_unit_source:
    case flow_mover_event:
    case flow_actor_source:
        flow_trigger_links(c, n.at(1));
        break;
    case flow_unit_event_with_arguments: {
        u32 slots = n.w(2), slots_at = n.w(3);
        for (u32 i = 0; i < slots && c.graph.has(slots_at + 2 * i, 2); ++i) {
            u16 slot;
            memcpy(&slot, c.graph.data + slots_at + 2 * i, 2);
            if (slot == input) {
                flow_trigger_node_output(i, n.at(7), c);
                break;
            }
        }
        break;
    }
    case flow_actor_event:
    case flow_contact_event:
        flow_trigger_node_output(input, n.at(1), c);
        break;
    case flow_destroy_unit:
        if (Unit *u = live_unit(c, n.var(0, 4)))
            c.world->destroy_unit(*u);
        break;
    case flow_two_way_animation:
        flow_trigger_node_output(input, n.at(7), c);
        break;
    default:
        break;
    }
}

void flow_trigger_input_by_index(FlowContext &c, u32 target)
{
    if (u32 offset = c.graph.node_offset(target & 0xFFFF))
        flow_trigger_input(c, offset, target);
}

void flow_set_unit_outputs(FlowContext &c, u32 offset, u32 value_type, const void *value)
{
    Node n{c, offset};
    u32 type = c.graph.word(offset);
    if (value_type == unit_flow_value_type) {
        UnitHandle h;
        memcpy(&h, value, 4);
        if (type == flow_unit_source)
            store(n.var(0, 4), h);
        else if (type == flow_unit_event_with_arguments)
            store(n.var(4, 4), h);
    } else if (value_type == 0) {
        u32 size = type == flow_contact_event ? flow_contact_value_size
                   : type == flow_mover_event ? flow_mover_hit_value_size
                                              : flow_actor_reference_size;
        if (type == flow_actor_event || type == flow_contact_event || type == flow_mover_event ||
            type == flow_actor_source)
            store_physics_value(c, type, n.var(0, size), static_cast<const u8 *>(value));
    }
}

void flow_set_unit_outputs_by_index(FlowContext &c, u32 node_index, u32 value_type, const void *value)
{
    if (u32 offset = c.graph.node_offset(node_index))
        flow_set_unit_outputs(c, offset, value_type, value);
}

u32 flow_lower_bound(const FlowBlob &graph, u32 table, u32 count, u32 key)
{
    u32 first = 0, n = count;
    while (n > 0) {
        u32 half = n / 2;
        if (graph.word(table + 8 * (first + half)) < key) {
            first += half + 1;
            n -= half + 1;
        } else {
            n = half;
        }
    }
    return first;
}

void flow_trigger_event(FlowContext &c, u32 event_id)
{
    u32 count = c.graph.word(8), table = c.graph.word(12);
    if (!c.graph.has(table, 0) || count > (c.graph.size - table) / 8)
        return;
    for (u32 i = flow_lower_bound(c.graph, table, count, event_id);
         i < count && !c.stopped && c.graph.word(table + 8 * i) == event_id; ++i)
        flow_trigger_input_by_index(c, c.graph.word(table + 8 * i + 4));
}

void flow_trigger_unit_event(FlowContext &c, u32 event_id, u32 value_type, const void *value)
{
    u32 count = c.graph.word(8), table = c.graph.word(12);
    if (!c.graph.has(table, 0) || count > (c.graph.size - table) / 8)
        return;
    for (u32 i = flow_lower_bound(c.graph, table, count, event_id);
         i < count && c.graph.word(table + 8 * i) == event_id; ++i)
        flow_set_unit_outputs_by_index(c, c.graph.word(table + 8 * i + 4) & 0xFFFF, value_type, value);
}

u8 *flow_find_variable(const FlowContext &c, u32 name_id)
{
    u32 count = c.graph.word(16), table = c.graph.word(20);
    if (!c.graph.has(table, 0) || count > (c.graph.size - table) / 8)
        return nullptr;
    u32 i = flow_lower_bound(c.graph, table, count, name_id);
    if (i >= count || c.graph.word(table + 8 * i) != name_id)
        return nullptr;
    return c.variable(c.graph.word(table + 8 * i + 4), 1);
}

void install_flow()
{
    set_unit_flow_validator({nullptr, validate_unit_flow});
    set_unit_flow_runner({nullptr, spawn_event, event_by_index});
}

void uninstall_flow()
{
    set_unit_flow_validator({});
    set_unit_flow_runner({});
}

void flow_unit_event(World &world, Unit &u, u32 event_id)
{
    run_unit(world, u, [&](FlowContext &c) { flow_trigger_event(c, event_id); });
}

void flow_unit_event_by_index(World &world, Unit &u, u32 target)
{
    run_unit(world, u, [&](FlowContext &c) { flow_trigger_input_by_index(c, target); });
}

void flow_unit_trigger_input(World &world, Unit &u, u32 target, const void *message)
{
    u32 header[2];
    memcpy(header, message, 8);
    u32 node = target >> 16, input = target & 0xFFFF;
    run_unit(world, u, [&](FlowContext &c) {
        if (header[1] == physics_mover_hit_shape_event || header[1] == physics_mover_hit_mover_event ||
            header[1] == physics_trigger_event || header[1] == physics_contact_event)
            flow_set_unit_outputs_by_index(c, node, 0, message);
        flow_trigger_input_by_index(c, node | input << 16);
    });
}

u8 *flow_unit_find_variable(Unit &u, u32 name_id)
{
    FlowContext c;
    if (!unit_context(u.world(), u, c, nullptr))
        return nullptr;
    return flow_find_variable(c, name_id);
}

} // namespace tallow
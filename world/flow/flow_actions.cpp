// The node actions of the flow interpreter: what each node type does when it runs.
#include "world/flow/flow_internal.h"

#include "foundation/log.h"
#include "foundation/math/matrix4x4.h"
#include "foundation/math/rotation.h"
#include "foundation/strings/name_id.h"
#include "world/flow/flow_script.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"
#include "world/services/world_animation.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace tallow {

using namespace flow_internal;

namespace {

u32 g_random = 0;
constexpr f32 frames_to_seconds = 0.033333335f;

/// The upper half of a 64-bit name variable (0 when not connected).
u32 name32(const u8 *variable) { return u32(load<u64>(variable, 0) >> 32); }

void delay(FlowContext &c, f32 seconds, u32 target)
{
    if (c.delays)
        c.delays->push_back({seconds, target});
}

void script_callback(FlowContext &c, const char *name, Unit &u)
{
    if (c.script)
        c.script->callback(c.script_reference, name, u.handle());
}
// Node actions --------------------------------------------------------------------------------

void spawn(FlowContext &c, const Node &n, u64 name, const Matrix4x4 &pose, u32 unit_word, u32 table, u32 list,
           u32 input)
{
    u8 *unit_var = n.var(unit_word, 4);
    if (input == 0 && c.world) {
        Unit *u = c.world->spawn_unit(NameId64::from_value(name), pose);
        if (!u)
            return;
        UnitHandle h = u->handle();
        store(unit_var, h);
        if (list)
            flow_trigger_links(c, list);
        else
            flow_trigger_node_output(0, table, c);
        if (Unit *live = c.world->unit(h))
            script_callback(c, "spawn_unit", *live);
    } else if (input == 1) {
        if (Unit *u = live_unit(c, unit_var)) {
            script_callback(c, "unspawn_unit", *u);
            if (Unit *still = live_unit(c, unit_var))
                c.world->destroy_unit(*still);
            flow_trigger_node_output(1, table, c);
        }
    }
}

void wake(FlowContext &c, Unit &u) { c.world->wake_unit(u, 5); }

const UnitSimpleAnimation *group_of(Unit &u, u32 name_id) { return u.resource().find_simple_animation(name_id); }

/// The length of a unit's simple animation (the f32 at byte 8 of its data), or 0.
f32 animation_length(const Unit &u)
{
    const UnitResource &r = u.resource();
    if (r.simple_animation_data.size < 12)
        return 0;
    f32 l;
    memcpy(&l, r.bytes(r.simple_animation_data) + 8, 4);
    return l;
}

struct FlowInputCallback {
    UnitHandle unit;   // the owner unit, 0 for a level
    u32 target;        // node low, input high
    u32 level_serial;  // the owner level's serial, 0 for a unit
};
static_assert(sizeof(FlowInputCallback) == sizeof(AnimationEndCallback::data));

void flow_input_callback(const u8 *data)
{
    FlowInputCallback cb;
    memcpy(&cb, data, sizeof cb);
    if (cb.level_serial) {
        if (Level *level = level_by_serial(cb.level_serial))
            level->trigger_flow_input(cb.target);
    } else if (Unit *u = unit_handle_table().get(cb.unit)) {
        u->world().flow_event_by_index(*u, cb.target);
    }
}

AnimationEndCallback end_callback(const FlowContext &c, u32 node, u32 input)
{
    AnimationEndCallback r;
    r.function = flow_input_callback;
    FlowInputCallback cb{c.owner_unit, (node & 0xFFFF) | input << 16, c.level ? c.level->serial() : 0};
    memcpy(r.data, &cb, sizeof cb);
    return r;
}

void simple_animation(FlowContext &c, const Node &n, u32 input)
{
    Unit *u = live_unit(c, n.var(4, 4));
    if (!u)
        return;
    const UnitSimpleAnimation *group = group_of(*u, name32(n.var(5, 8)));
    if (!group)
        return;
    IWorldAnimation &a = c.world->animation();
    if (input == 0) {
        SimpleAnimationParams p;
        p.from = load<f32>(n.var(0, 4), 0) * frames_to_seconds;
        f32 end = load<f32>(n.var(1, 4), -1);
        p.to = end < 0 ? FLT_MAX : end * frames_to_seconds;
        p.speed = load<f32>(n.var(2, 4), 1);
        p.loop = n.w(3) != 0;
        a.play_simple(u->scene_graph(), u->resource(), *group, p);
        wake(c, *u);
        flow_trigger_node_output(0, n.at(6), c);
    } else if (input == 1) {
        a.stop_simple(u->scene_graph(), *group);
        flow_trigger_node_output(1, n.at(6), c);
    }
}

void two_way_animation(FlowContext &c, const Node &n, u32 node, u32 input)
{
    Unit *u = live_unit(c, n.var(4, 4));
    if (!u || input > 4)
        return;
    const UnitSimpleAnimation *group = group_of(*u, name32(n.var(5, 8)));
    if (!group)
        return; // a group the unit lacks: nothing to drive
    u8 *time = n.var(6, 4);
    f32 from_s = load<f32>(n.var(0, 4), 0) * frames_to_seconds;
    f32 to_s = load<f32>(n.var(1, 4), -1) * frames_to_seconds;
    f32 speed = load<f32>(n.var(2, 4), 1);
    bool loop = n.w(3) != 0;
    f32 length = animation_length(*u);
    IWorldAnimation &a = c.world->animation();
    SceneGraph &g = u->scene_graph();
    bool playing = a.find_simple_playback(g, *group);
    SimpleAnimationParams p;
    switch (input) {
    case 0:
    case 2: {
        f32 playing_speed = playing ? a.simple_speed(g, *group) : 0;
        if (playing && (input == 0 ? playing_speed > 0 : playing_speed < 0))
            return;
        if (playing)
            store(time, a.simple_time(g, *group));
        f32 end = to_s >= 0 ? to_s : length;
        p.from = input == 0 ? from_s : end;
        p.to = input == 0 ? end : from_s;
        p.start_time = load<f32>(time, 0);
        p.speed = input == 0 ? speed : -speed;
        p.loop = loop;
        p.end_callback = end_callback(c, node, input == 0 ? 0 : 1);
        a.play_simple(g, u->resource(), *group, p);
        wake(c, *u);
        store(time, p.to);
        break;
    }
    case 1:
        if (playing) {
            store(time, a.simple_time(g, *group));
            a.stop_simple(g, *group);
        }
        break;
    case 3:
    case 4: {
        f32 e = to_s > 0 ? to_s : length;
        if (playing)
            a.stop_simple(g, *group);
        p.from = input == 3 ? 0.0f : f32(double(e) - 0.0001);
        p.to = input == 3 ? 9.9999997e-05f : e;
        p.start_time = FLT_MAX;
        p.speed = 1;
        a.play_simple(g, u->resource(), *group, p);
        wake(c, *u);
        store(time, input == 3 ? 0.0f : e);
        break;
    }
    }
}

void unit_event_with_arguments(FlowContext &c, const Node &n, u32 input)
{
    Unit *target = live_unit(c, n.var(4, 4));
    if (!target || !target->resource().has_flow())
        return;
    u32 args = n.w(5), args_at = n.w(6);
    for (u32 i = 0; i < args; ++i) {
        u32 a = args_at + 12 * i;
        if (!c.graph.has(a, 12))
            break;
        u32 size = c.graph.word(a + 8);
        const u8 *from = c.variable(c.graph.word(a + 4), size);
        u32 name = c.graph.word(a);
        u8 *to = flow_unit_find_variable(*target, name);
        Array<u8> &block = target->flow_variables();
        if (!from || !to || size > u32(block.end() - to))
            continue; // absent names are skipped
        memmove(to, from, size);
    }
    u32 events = n.w(0), events_at = n.w(1);
    if (input < events && c.graph.has(events_at + 4 * input, 4))
        flow_unit_event(*c.world, *target, c.graph.word(events_at + 4 * input));
}

void particles(FlowContext &c, const Node &n, u32 input)
{
    if (!c.world)
        return;
    IParticleWorld &p = c.world->particles();
    u8 *id = n.var(7, 4);
    if (input == 0) {
        Matrix4x4 offset = pose_from_quaternion(load<Quaternion>(n.var(5, 16), Quaternion{}),
                                                load<Vector3>(n.var(4, 12), Vector3{}));
        Unit *u = live_unit(c, n.var(6, 4));
        u32 node = 0;
        Matrix4x4 pose = offset;
        if (u) {
            u32 found = u->scene_graph().find_node(NameId32::from_value(name32(n.var(2, 8))));
            node = found < u->scene_graph().node_count() ? found : 0;
            if (u->scene_graph().node_count())
                pose = offset * u->scene_graph().world_pose(node);
        }
        u32 effect = p.create_particles(n.u64_(0), pose);
        store(id, effect);
        if (n.w(3) && u)
            p.link_particles(effect, u->handle(), node, offset);
    } else if (id && load<u32>(id, no_particle_effect) != no_particle_effect) {
        if (input == 1)
            p.stop_spawning(load<u32>(id, 0));
        else if (input == 2)
            p.destroy_particles(load<u32>(id, 0));
    }
}

void sound(FlowContext &c, const Node &n, u32 input)
{
    if (!c.world)
        return;
    ISoundWorld &s = c.world->sound();
    u8 *id = n.var(9, 4);
    if (input == 0) {
        u32 source = s.play(n.u64_(0), n.w(2) != 0, 0);
        s.set_source_range(source, n.f(3));
        s.set_source_volume(source, n.f(4));
        Unit *u = live_unit(c, n.var(5, 4));
        const u8 *position = n.var(8, 12);
        u32 node = 0;
        Matrix4x4 pose = matrix4x4_identity;
        if (u && u->scene_graph().node_count()) {
            u32 found = n.w(6) ? u->scene_graph().find_node(NameId32::from_value(n.w(6))) : 0;
            node = found < u->scene_graph().node_count() ? found : 0;
            set_translation(pose, translation(u->scene_graph().world_pose(node)));
            s.set_source_pose(source, pose);
        } else if (position) {
            set_translation(pose, load<Vector3>(position, Vector3{}));
            s.set_source_pose(source, pose);
        }
        if (n.w(7) && u)
            s.link_source(source, u->handle(), node);
        store(id, source);
    } else if (input == 1 && id && load<u32>(id, no_sound_source) != no_sound_source) {
        s.stop(load<u32>(id, 0));
        store(id, no_sound_source);
    }
}

void random_output(FlowContext &c, const Node &n)
{
    u8 *last_var = n.var(0, 4);
    u32 table = n.at(1);
    u32 lists[8], k = 0;
    for (u32 i = 0; i < 8; ++i) {
        u32 list = c.graph.output_list(table, i);
        if (list && c.graph.word(list) != 0)
            lists[k++] = list;
    }
    u32 r = 0;
    if (k > 1) {
        g_random = g_random * 0x19660Du + 0x3C6EF35Fu;
        u32 last = load<u32>(last_var, flow_not_connected);
        if (last == flow_not_connected || last >= k) {
            r = u32((u64(k) * g_random) >> 32);
        } else {
            r = u32((u64(k - 1) * g_random) >> 32);
            if (r >= last)
                ++r;
        }
    }
    store(last_var, r);
    if (k > 0)
        flow_trigger_links(c, lists[r]);
}

void script_slots(const Node &n, u32 first_word, u32 &out_count, FlowArgument *types, const void **values)
{
    out_count = 0;
    for (u32 i = 0; i < flow_script_slots; ++i) {
        u32 type = n.w(first_word + 2 * i);
        u32 v = n.w(first_word + 2 * i + 1);
        types[i] = FlowArgument(type);
        values[i] = type == u32(FlowArgument::String)
                        ? static_cast<const void *>(n.c.graph.text(load<u32>(n.c.variable(v, 4), 0)))
                        : n.c.variable(v, flow_argument_size(type));
        if (type == u32(FlowArgument::Pointer) || type == u32(FlowArgument::Object))
            values[i] = n.c.variable(v, 1);
        if (type != 0)
            out_count = i + 1;
    }
}

void script_method_with_table(FlowContext &c, const Node &n)
{
    const char *object = n.w(0) ? c.graph.text(n.w(0)) : nullptr;
    const char *method = c.graph.text(n.w(1));
    u32 count = n.w(2), field = n.w(3);
    constexpr u32 most = 32;
    FlowArgument types[most];
    const void *values[most];
    const char *names[most];
    u32 k = 0;
    for (u32 i = 0; i < count && k < most; ++i) {
        const char *name = c.graph.text(field + 8);
        if (!c.graph.has(field, 8) || !name)
            break;
        u32 type = c.graph.word(field);
        u32 v = c.graph.word(field + 4);
        types[k] = FlowArgument(type);
        values[k] = type == u32(FlowArgument::String)
                        ? static_cast<const void *>(c.graph.text(load<u32>(c.variable(v, 4), 0)))
                        : c.variable(v, flow_argument_size(type));
        names[k++] = name;
        field += 8 + ((u32(strlen(name)) + 1 + 3) & ~3u);
    }
    if (method)
        c.script->call_method_with_table(object, method, k, types, values, names);
}

void node_pose(FlowContext &c, const Node &n)
{
    Unit *u = live_unit(c, n.var(0, 4));
    if (!u || u->scene_graph().node_count() == 0)
        return;
    const SceneGraph &g = u->scene_graph();
    u32 name = name32(n.var(1, 8));
    u32 node = name ? g.find_node(NameId32::from_value(name)) : 0;
    if (node >= g.node_count())
        node = 0;
    const Matrix4x4 &m = g.world_pose(node);
    store(n.var(2, 12), translation(m));
    store(n.var(3, 16), matrix_to_quaternion(m));
}

} // namespace

namespace flow_internal {

void execute_action(FlowContext &c, u32 node, u32 offset, u32 target)
{
    Node n{c, offset};
    u32 input = target >> 16;
    switch (c.graph.word(offset)) {
    case flow_flag:
        store<u32>(n.var(0, 4), input == 0 ? 0 : 1);
        break;
    case flow_spawn_unit:
        spawn(c, n, n.u64_(0), n.matrix(2), 18, n.at(19), 0, input);
        break;
    case flow_set_unit_pose:
        if (Unit *u = live_unit(c, n.var(16, 4))) {
            if (u->scene_graph().node_count()) {
                u->scene_graph().set_local_pose(0, n.matrix(0));
                wake(c, *u);
            }
            flow_trigger_links(c, n.at(17));
        }
        break;
    case flow_script_event:
        if (Unit *u = live_unit(c, n.var(1, 4)); u && c.script) {
            if (const char *name = c.graph.text(n.w(0)))
                c.script->callback(c.script_reference, name, u->handle());
            flow_trigger_links(c, n.at(2));
        }
        break;
    case flow_delay:
        delay(c, load<f32>(n.var(0, 4), 1.0f), node & 0xFFFF);
        break;
    case flow_simple_animation:
        simple_animation(c, n, input);
        break;
    case flow_animation_event:
        if (Unit *u = live_unit(c, n.var(1, 4))) {
            if (u->state_machine())
                c.world->animation().state_machine_event(u->state_machine(), n.w(0));
            flow_trigger_links(c, n.at(2));
        }
        break;
    case flow_unit_event_with_arguments:
        unit_event_with_arguments(c, n, input);
        break;
    case flow_particles:
        particles(c, n, input);
        break;
    case flow_script_method:
        if (c.script) {
            u32 count;
            FlowArgument types[flow_script_slots];
            const void *values[flow_script_slots];
            script_slots(n, 2, count, types, values);
            if (const char *method = c.graph.text(n.w(1)))
                c.script->call_method_with_args(n.w(0) ? c.graph.text(n.w(0)) : nullptr, method, count, types,
                                                values);
        }
        break;
    case flow_script_method_with_table:
        if (c.script)
            script_method_with_table(c, n);
        break;
    case flow_script_string:
        if (c.script) {
            u32 count;
            FlowArgument types[flow_script_slots];
            const void *values[flow_script_slots];
            script_slots(n, 1, count, types, values);
            if (const char *code = c.graph.text(n.w(0)))
                c.script->do_string(code, count, types, values);
        }
        flow_trigger_links(c, n.at(11));
        break;
    case flow_once:
        if (u8 *counter = n.var(0, 4); counter && load<u32>(counter, 0) == 0) {
            store<u32>(counter, 1);
            flow_trigger_links(c, n.at(1));
        }
        break;
    case flow_gate:
        if (u8 *open = n.var(0, 4)) {
            if (input == 0 && load<u32>(open, 0) != 0)
                flow_trigger_links(c, n.at(1));
            else if (input == 1)
                store<u32>(open, 1);
            else if (input == 2)
                store<u32>(open, 0);
        }
        break;
    case flow_destroy_unit:
        if (live_unit(c, n.var(0, 4)) && c.delays) {
            delay(c, 0.0f, node & 0xFFFF);
            flow_trigger_links(c, n.at(1));
        }
        break;
    case flow_sound:
        sound(c, n, input);
        break;
    case flow_send_unit_event:
        if (Unit *u = live_unit(c, n.var(0, 4)))
            flow_unit_event(*c.world, *u, n.w(1));
        break;
    case flow_level_event:
        if (c.world && c.world->level())
            c.world->level()->trigger_event(n.w(0), c.owner_unit);
        break;
    case flow_flip_flop:
        if (u8 *state = n.var(0, 4)) {
            u32 s = load<u32>(state, 0) & 1;
            store<u32>(state, (s - 1) & 1);
            flow_trigger_node_output(s, n.at(1), c);
        }
        break;
    case flow_random_output:
        random_output(c, n);
        break;
    case flow_node_pose:
        node_pose(c, n);
        break;
    case flow_visibility:
        if (Unit *u = live_unit(c, n.var(0, 4))) {
            bool visible = load<u32>(n.var(2, 4), 1) != 0;
            if (u32 group = name32(n.var(1, 8)))
                u->set_visibility(group, visible);
            else
                u->set_all_visible(visible);
            flow_trigger_links(c, n.at(3));
        }
        break;
    case flow_spawn_unit_at: {
        Matrix4x4 pose = pose_from_quaternion(load<Quaternion>(n.var(3, 16), Quaternion{}),
                                              load<Vector3>(n.var(2, 12), Vector3{}));
        u32 list = n.at(5);
        spawn(c, n, n.u64_(0), pose, 4, c.graph.list_end(list), list, input);
        break;
    }
    case flow_two_way_animation:
        two_way_animation(c, n, node, input);
        break;
    case flow_float_arithmetic: {
        u8 *t = n.var(2, 4);
        f32 operand = load<f32>(n.var(1, 4), 0);
        if (input == 0)
            store<f32>(t, load<f32>(t, 0) + operand);
        else if (input == 1)
            store<f32>(t, load<f32>(t, 0) - operand);
        else if (input == 2)
            store<f32>(t, n.f(0));
        flow_trigger_links(c, n.at(3));
        break;
    }
    case flow_compare: {
        f32 a = load<f32>(n.var(0, 4), 0), b = load<f32>(n.var(1, 4), 0);
        u32 table = n.at(2);
        if (b > a) {
            flow_trigger_node_output(0, table, c);
            flow_trigger_node_output(1, table, c);
        } else if (a == b) {
            flow_trigger_node_output(1, table, c);
            flow_trigger_node_output(2, table, c);
            flow_trigger_node_output(3, table, c);
        } else if (b < a) {
            flow_trigger_node_output(3, table, c);
            flow_trigger_node_output(4, table, c);
        }
        break;
    }
    default:
        break; // event sources and unknown types: no action
    }
}

} // namespace flow_internal

void flow_random_reset(u32 seed) { g_random = seed; }

} // namespace tallow

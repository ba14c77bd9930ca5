// Levels from the shared level writer: what they spawn and where, their script data,
// light overrides, flow bindings, trigger volumes, timers, reloads; corrupt level blobs;
// and the World's walk of physics and animation event streams into flow inputs.
#include "tests/world/flow_fixture.h"
#include "world/levels/height_grid.h"

#include <cmath>

namespace tallow::test {
namespace {

bool near(const Matrix4x4 &a, const Matrix4x4 &b)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (std::fabs(a.m[i][j] - b.m[i][j]) > 1e-5f)
                return false;
    return true;
}

TEST(LevelPose, RecordPoseFromQuaternion)
{
    const f32 h = std::sqrt(0.5f);
    Matrix4x4 about_x = matrix4x4_identity, about_y = matrix4x4_identity, about_z = matrix4x4_identity;
    about_x.m[1][1] = 0, about_x.m[1][2] = 1, about_x.m[2][1] = -1, about_x.m[2][2] = 0;
    about_y.m[0][0] = 0, about_y.m[0][2] = -1, about_y.m[2][0] = 1, about_y.m[2][2] = 0;
    about_z.m[0][0] = 0, about_z.m[0][1] = 1, about_z.m[1][0] = -1, about_z.m[1][1] = 0;
    struct Case {
        const char *name;
        Quaternion q;
        Matrix4x4 expect;
    } cases[] = {
        {"identity", {0, 0, 0, 1}, matrix4x4_identity},
        {"90 about x", {h, 0, 0, h}, about_x},
        {"90 about y", {0, h, 0, h}, about_y},
        {"90 about z", {0, 0, h, h}, about_z},
        {"not normalised", {0, 0, 3 * h, 3 * h}, about_z},
        {"all zero", {0, 0, 0, 0}, matrix4x4_identity},
    };
    for (const Case &c : cases) {
        Matrix4x4 expect = c.expect;
        set_translation(expect, {1, 2, 3});
        EXPECT_TRUE(near(pose_from_quaternion(c.q, {1, 2, 3}), expect)) << c.name;
    }
}

class LevelTest : public FlowFixture {
  protected:
    /// "units/crate": one node, a light "lamp", and a flow graph whose "probe" event
    /// marks the unit's script data into the trace.
    std::vector<u8> crate()
    {
        UnitSource s;
        s.add_node("root", matrix4x4_identity, no_parent);
        UnitSourceLight light;
        light.name_id = id("lamp");
        s.lights.push_back(light);
        return write_unit_resource(s);
    }
};

TEST_F(LevelTest, LevelSpawnsItsContent)
{
    load({{"units/crate", crate()}});
    make_world();
    const f32 h = std::sqrt(0.5f);
    LevelSource l;
    u64 crate_name = NameId64("units/crate").value();
    l.units.push_back({crate_name, 0, {1, 2, 3}, {0, 0, 0, 1}});
    l.units.push_back({crate_name, 0, {0, 0, 4}, {0, 0, h, h}});
    l.units.push_back({NameId64("units/missing").value(), 0, {}, {0, 0, 0, 1}});
    l.units.push_back({crate_name, 0, {5, 0, 0}, {0, 0, 0, 0}});
    // Script data: a 5-byte string, a boolean 7, a path through a list the store lacks
    // (skipped, the cursor stays in step), then a number.
    l.unit_script_data.push_back({{{id("name")}, 3, 0, 0, "hello"},
                                  {{id("flag")}, 1, 7, 0, ""},
                                  {{id("nested"), id("x")}, 2, 0, 9, ""},
                                  {{id("speed")}, 2, 0, 2.5f, ""}});
    l.unit_script_data.push_back({});
    l.unit_script_data.push_back({{{id("lost")}, 2, 0, 1, ""}}); // the unit that did not spawn
    l.unit_script_data.push_back({{{id("last")}, 2, 0, 4, ""}});
    l.level_script_data.push_back({{id("mode")}, 3, 0, 0, "arena"});
    LevelSourceLight missing, lamp;
    missing.unit = 0, missing.light_name = id("no such light");
    lamp.unit = 1, lamp.light_name = id("lamp");
    f32 intensity = 3;
    memcpy(lamp.properties, &intensity, 4);
    l.lights = {missing, lamp};

    FlowGraphWriter g;
    u32 a = g.add_u32("a", 0), b = g.add_u32("b", 0);
    // Bound nodes run their link lists once all bound nodes have their units.
    u32 na = g.add_node(flow_unit_source, {a, 0});
    g.set_links(na, {flow_target(mark(g, "a sees", {}, {6, b}))});
    u32 nb = g.add_node(flow_unit_source, {b, 0});
    g.set_links(nb, {flow_target(mark(g, "b sees", {}, {6, a}))});
    std::vector<u32> volume{g.add_variable("who", 8)};
    FlowGraphWriter::push(volume, flow_list({flow_target(mark(g, "enter"))}));
    FlowGraphWriter::push(volume, flow_list({flow_target(mark(g, "leave"))}));
    u32 nv = g.add_node(flow_actor_event, volume);
    u32 d = g.add_node(flow_delay, {g.add_float("zero", 0), 1, flow_target(mark(g, "tick"))});
    source(g, "level_loaded", {flow_target(mark(g, "loaded")), flow_target(d)});
    u32 bound_event = g.add_node(flow_unit_source, {a, 1, flow_target(mark(g, "bound event", {}, {6, a}))});
    g.add_event(id("poke"), flow_target(bound_event));
    l.flow_graph = g.write();
    l.flow_defaults = g.defaults();
    l.bindings = {{0, na, 1}, {1, nb, 0}};
    LevelSourceTrigger t;
    set_translation(t.pose, {0, 0, 5});
    t.box[0] = 1, t.box[1] = 2, t.box[2] = 3;
    t.node = nv;
    l.triggers.push_back(t);
    l.particles.push_back({NameId64("effects/fog").value(), {7, 0, 0}, {0, 0, 0, 1}});
    l.splines.push_back({id("path"), {0, 0, 0, 1, 2, 3}});
    UnitSource proto;
    proto.add_node("p", matrix4x4_identity, no_parent);
    l.prototype = write_unit_resource(proto);

    LevelResource *r = level_resource(l);
    ASSERT_NE(r, nullptr);
    Level *level = world->load_level(*r, 5);
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(take(), (Trace{"light 2 set 3", "a sees true", "b sees true",
                             "trigger volume 0 at 0 0 5 box 1 2 3", "particles at 7 0 0"}));

    // three crates and the prototype, in spawn order
    const Array<Unit *> &units = world->units();
    ASSERT_EQ(units.size(), 4u);
    EXPECT_TRUE(near(units[0]->scene_graph().world_pose(0), translation_matrix(1, 2, 3)));
    Matrix4x4 turned = matrix4x4_identity;
    turned.m[0][0] = 0, turned.m[0][1] = 1, turned.m[1][0] = -1, turned.m[1][1] = 0;
    set_translation(turned, {0, 0, 4});
    EXPECT_TRUE(near(units[1]->scene_graph().world_pose(0), turned));
    EXPECT_TRUE(near(units[2]->scene_graph().world_pose(0), translation_matrix(5, 0, 0)));
    EXPECT_EQ(&units[3]->resource(), r->prototype);

    ChunkStore &data = units[0]->data();
    u32 name = data.find(ChunkStore::root_list, id("name"));
    ASSERT_NE(name, ChunkStore::not_found);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data.chunk_data(name)), 5), "hello");
    u32 flag = data.find(ChunkStore::root_list, id("flag"));
    ASSERT_NE(flag, ChunkStore::not_found);
    EXPECT_EQ(*data.chunk_data(flag), 1);
    u32 speed = data.find(ChunkStore::root_list, id("speed"));
    ASSERT_NE(speed, ChunkStore::not_found);
    f32 v;
    memcpy(&v, data.chunk_data(speed), 4);
    EXPECT_EQ(v, 2.5f);
    EXPECT_EQ(data.find(ChunkStore::root_list, id("x")), ChunkStore::not_found);
    EXPECT_NE(units[2]->data().find(ChunkStore::root_list, id("last")), ChunkStore::not_found);
    EXPECT_NE(level->data().find(ChunkStore::root_list, id("mode")), ChunkStore::not_found);

    u32 count = 9;
    const Vector3 *points = r->find_spline(id("path"), count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(points[1].z, 3.0f);
    EXPECT_EQ(r->find_spline(id("absent"), count), nullptr);
    EXPECT_EQ(count, 0u);

    // The bound unit 0 reaches its node with level events; unit 1 (flag 0) is not mapped.
    EXPECT_NE(level->bound_node(units[0]->handle()), 0xFFFFFFFFu);
    EXPECT_EQ(level->bound_node(units[1]->handle()), 0xFFFFFFFFu);
    level->trigger_event(id("poke"), units[0]->handle());
    EXPECT_EQ(take(), Trace{"bound event true"});

    level->trigger_level_loaded();
    EXPECT_EQ(take(), Trace{"loaded"}); // a zero delay waits for the next level update
    step();
    EXPECT_EQ(take(), Trace{"tick"});

    // A physics trigger on the volume reaches the level graph's node, input 0 for enter.
    ASSERT_EQ(level->trigger_volumes().size(), 1u);
    PhysicsActorId volume_id = physics->id_of(0);
    PhysicsActorId other = physics->add_actor(units[0]->handle(), 0, {});
    TriggerPayload enter{volume_id, other, 0, {}, {}};
    TriggerPayload leave{volume_id, other, 1, {}, {}};
    append_world_event(physics->events, physics_trigger_event, &enter, sizeof enter);
    append_world_event(physics->events, physics_trigger_event, &leave, sizeof leave);
    step();
    EXPECT_EQ(take(), (Trace{"enter", "leave"}));
}

TEST_F(LevelTest, ReloadDestroysTheOldLevelButKeepsItsUnits)
{
    load({{"units/crate", crate()}});
    make_world();
    LevelSource l;
    l.units.push_back({NameId64("units/crate").value(), 0, {}, {0, 0, 0, 1}});
    FlowGraphWriter g;
    std::vector<u32> volume{g.add_variable("who", 8)};
    FlowGraphWriter::push(volume, flow_list({flow_target(mark(g, "old enter"))}));
    u32 nv = g.add_node(flow_actor_event, volume);
    u32 d = g.add_node(flow_delay, {g.add_float("later", 0.5f), 1, flow_target(mark(g, "old timer"))});
    source(g, "level_loaded", {flow_target(d)});
    u32 reload = mark(g, "reload");
    source(g, "reload", {flow_target(reload), flow_target(mark(g, "after reload"))});
    l.flow_graph = g.write();
    l.flow_defaults = g.defaults();
    l.triggers.push_back({});
    l.triggers.back().node = nv;
    LevelResource *first = level_resource(l);
    ASSERT_NE(first, nullptr);
    LevelSource empty;
    LevelResource *second = level_resource(empty);
    ASSERT_NE(second, nullptr);

    Level *level = world->load_level(*first, 11);
    level->trigger_level_loaded();
    take();
    world->load_level(*second, flow_no_script_reference);
    EXPECT_EQ(take(), (Trace{"actor 0 destroyed", "release 11"}));
    EXPECT_EQ(world->units().size(), 1u); // the first level's unit stays
    for (int i = 0; i < 10; ++i)
        step(); // the old level's timer is gone with it
    TriggerPayload enter{physics->id_of(0), {}, 0, {}, {}};
    append_world_event(physics->events, physics_trigger_event, &enter, sizeof enter);
    step();
    EXPECT_TRUE(take().empty());

    // A script called from the level's own flow replaces the level mid-run.
    level = world->load_level(*first, flow_no_script_reference);
    take();
    script.on_string = [&](const char *code) {
        if (std::string(code) == "reload")
            world->load_level(*second, flow_no_script_reference);
    };
    level->trigger_event(id("reload"), 0);
    EXPECT_EQ(take(), (Trace{"reload", "actor 1 destroyed"})); // the rest of the run is dropped
    EXPECT_NE(world->level(), level);
    step();
}

TEST_F(LevelTest, AnimationEndCallbacksReachOnlyTheirOwnLevel)
{
    UnitSource door;
    door.add_node("root", matrix4x4_identity, no_parent);
    door.simple_animations.push_back({id("swing"), {0}});
    f32 header[3] = {0, 0, 0.2f};
    door.simple_animation_data.resize(12);
    memcpy(door.simple_animation_data.data(), header, 12);
    load({{"units/door", write_unit_resource(door)}});
    make_world();
    LevelSource l;
    l.units.push_back({NameId64("units/door").value(), 0, {}, {0, 0, 0, 1}});
    FlowGraphWriter g;
    u32 unit = g.add_u32("door", 0);
    u64 group = u64(id("swing")) << 32;
    std::vector<u32> d{nc, nc, nc, 0, unit, g.add_variable("group", 8, &group), g.add_float("time", 0)};
    FlowGraphWriter::push(d, flow_list({flow_target(mark(g, "opened"))}));
    FlowGraphWriter::push(d, flow_list({}));
    u32 swing = g.add_node(flow_two_way_animation, d);
    u32 bound = g.add_node(flow_unit_source, {unit, 0});
    source(g, "open", {flow_target(swing, 0)});
    l.flow_graph = g.write();
    l.flow_defaults = g.defaults();
    l.bindings.push_back({0, bound, 0});
    LevelResource *r = level_resource(l);
    ASSERT_NE(r, nullptr);
    LevelResource *empty = level_resource({});
    ASSERT_NE(empty, nullptr);

    for (bool reload : {false, true}) {
        SCOPED_TRACE(reload ? "after a reload" : "same level");
        Level *level = world->load_level(*r, flow_no_script_reference);
        level->trigger_event(id("open"), 0);
        take();
        if (reload)
            world->load_level(*r, flow_no_script_reference); // a new level of the same resource
        for (int i = 0; i < 5; ++i)
            step(0.1f);
        Trace t = take();
        EXPECT_EQ(t, reload ? Trace{} : Trace{"opened"});
        world->load_level(*empty, flow_no_script_reference);
    }
}

// A level's graph ends where the next section begins: a graph placed before the level's
// other sections, its node table last or its link lists before its nodes, loads and runs.
TEST_F(LevelTest, AGraphBeforeTheOtherSectionsLoadsInAnyLayout)
{
    const struct {
        const char *name;
        FlowLayout layout;
    } cases[] = {{"link lists before the nodes", FlowLayout::LinksBeforeNodes},
                 {"node table last", FlowLayout::NodeTableLast}};
    make_world();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LevelSource l;
        FlowGraphWriter g;
        u32 b = mark(g, "B");
        u32 a = mark(g, "A");
        g.set_links(a, {flow_target(b)});
        source(g, "level_loaded", {flow_target(a)});
        l.flow_graph = g.write(c.layout);
        l.flow_defaults = g.defaults();
        l.flow_graph_first = true;
        l.level_script_data.push_back({{id("mode")}, 2, 0, 7, ""});
        l.splines.push_back({id("path"), {0, 0, 0, 1, 2, 3}});
        LevelResource *r = level_resource(l);
        ASSERT_NE(r, nullptr);
        Level *level = world->load_level(*r, 5);
        ASSERT_NE(level, nullptr);
        take(); // the level before it let go of its script reference
        level->trigger_level_loaded();
        EXPECT_EQ(take(), (Trace{"B", "A"}));
    }
}

TEST_F(LevelTest, CorruptLevelsAreRefused)
{
    LevelSource l;
    l.units.push_back({1, 0, {}, {0, 0, 0, 1}});
    l.unit_script_data.push_back({{{id("s")}, 3, 0, 0, "text"}});
    l.lights.push_back({});
    FlowGraphWriter g;
    u32 n = g.add_node(flow_unit_source, {g.add_u32("u", 0), 0});
    l.flow_graph = g.write();
    l.flow_defaults = g.defaults();
    l.bindings.push_back({0, n, 1});
    l.triggers.push_back({});
    l.splines.push_back({id("s"), {1, 2, 3}});
    const std::vector<u8> good = write_level_resource(l);
    {
        LevelResource *r = read_level_resource(good.data(), good.size(), default_allocator());
        ASSERT_NE(r, nullptr);
        destroy_level_resource(r, default_allocator());
    }
    auto word = [&](u32 i) {
        u32 v;
        memcpy(&v, good.data() + 4 * i, 4);
        return v;
    };
    auto set = [](std::vector<u8> &b, u32 at, u32 v) { memcpy(b.data() + at, &v, 4); };
    struct Case {
        const char *name;
        std::function<void(std::vector<u8> &)> damage;
    } cases[] = {
        {"short header", [](std::vector<u8> &b) { b.resize(60); }},
        {"unit count", [&](std::vector<u8> &b) { set(b, 0, 0x10000000); }},
        {"script data offset", [&](std::vector<u8> &b) { set(b, 4, u32(b.size())); }},
        {"script entry count", [&](std::vector<u8> &b) { set(b, word(1), 1000); }},
        {"script path length", [&](std::vector<u8> &b) { set(b, word(1) + 4, 0x40000000); }},
        {"unknown script kind", [&](std::vector<u8> &b) { set(b, word(1) + 12, 9); }},
        {"string length", [&](std::vector<u8> &b) { set(b, word(1) + 16, 0xFFFFFFF0); }},
        {"light count", [&](std::vector<u8> &b) { set(b, word(2), 0x1000000); }},
        {"light table offset, with a prototype",
         [&](std::vector<u8> &b) { set(b, 8, u32(b.size()) - 2), set(b, 12, 8), set(b, 16, 0x4800); }},
        {"light unit index", [&](std::vector<u8> &b) { set(b, word(2) + 4, 1); }},
        {"prototype past the end", [&](std::vector<u8> &b) { set(b, 12, 8), set(b, 16, u32(b.size())); }},
        {"trigger count", [&](std::vector<u8> &b) { set(b, 32, 0x2000000); }},
        {"trigger flow node", [&](std::vector<u8> &b) { set(b, word(9) + 76, 5); }},
        {"binding unit", [&](std::vector<u8> &b) { set(b, word(11), 1); }},
        {"binding node", [&](std::vector<u8> &b) { set(b, word(11) + 4, 1); }},
        {"particle count", [&](std::vector<u8> &b) { set(b, 56, 0x7FFFFFFF); }},
        {"spline points", [&](std::vector<u8> &b) { set(b, word(17) + 4, 0x20000000); }},
        {"flow graph", [&](std::vector<u8> &b) { set(b, word(6) + 4, 0xFFFFFF00); }},
        {"flow graph offset", [&](std::vector<u8> &b) { set(b, 24, u32(b.size()) + 4); }},
        {"flow defaults", [&](std::vector<u8> &b) { set(b, 28, u32(b.size()) - 1); }},
    };
    for (const Case &c : cases) {
        std::vector<u8> bad = good;
        c.damage(bad);
        LevelResource *r = read_level_resource(bad.data(), bad.size(), default_allocator());
        EXPECT_EQ(r, nullptr) << c.name;
        destroy_level_resource(r, default_allocator());
    }
}

// Event streams ---------------------------------------------------------------------------

class EventDispatchTest : public FlowFixture {
  protected:
    /// A unit whose contact node (type 13) marks `name` with the contact's first actor
    /// index, and whose trigger node (type 12) marks enter/leave/stay.
    Unit *actor_unit(const char *name)
    {
        FlowGraphWriter g;
        std::vector<u32> contact{g.add_variable("contact", flow_contact_value_size)};
        FlowGraphWriter::push(contact, flow_list({flow_target(mark(g, fmt("%s touch begins", name).c_str()))}));
        FlowGraphWriter::push(contact, flow_list({flow_target(mark(g, fmt("%s touch ends", name).c_str()))}));
        g.add_node(flow_contact_event, contact);
        std::vector<u32> trigger{g.add_variable("other", 8)};
        for (const char *k : {"enter", "leave", "stay"})
            FlowGraphWriter::push(trigger, flow_list({flow_target(mark(g, fmt("%s %s", name, k).c_str()))}));
        g.add_node(flow_actor_event, trigger);
        std::vector<u32> hit{g.add_variable("hit", flow_mover_hit_value_size), 0};
        g.set_links(g.add_node(flow_mover_event, hit), {});
        source(g, "animated", {flow_target(mark(g, fmt("%s animated", name).c_str()))});
        if (!world)
            make_world();
        return spawn(unit_resource(flow_unit(g)));
    }
    // Node indices in actor_unit's graph (marks come first): contact node 2, trigger 6,
    // mover 7. Actor targets hold the node high and the input low.
    static constexpr u32 contact_node = 2, trigger_node = 6, mover_node = 7;
    static u32 actor_target(u32 node, u32 input) { return node << 16 | input; }
};

TEST_F(EventDispatchTest, ContactsGoToBothUnitsFirstActorFirst)
{
    Unit *a = actor_unit("A");
    Unit *b = actor_unit("B");
    std::vector<u32> targets{actor_target(contact_node, 0), actor_target(contact_node, 1)};
    PhysicsActorId ia = physics->add_actor(a->handle(), 3, targets);
    PhysicsActorId ib = physics->add_actor(b->handle(), 4, targets);
    ContactPayload begin{ia, ib, {1, 2, 3}, {0, 0, 1}, {}, 0};
    ContactPayload end = begin;
    end.kind = 1;
    append_world_event(physics->events, physics_contact_event, &begin, sizeof begin);
    append_world_event(physics->events, physics_contact_event, &end, sizeof end);
    step();
    EXPECT_EQ(take(), (Trace{"A touch begins", "B touch begins", "A touch ends", "B touch ends"}));
    EXPECT_TRUE(physics->events.empty());
    u32 stored[10];
    memcpy(stored, flow_unit_find_variable(*b, id("contact")), 40);
    EXPECT_EQ(stored[0], a->handle()); // actor A first, for both units
    EXPECT_EQ(stored[1], 3u);
    EXPECT_EQ(stored[2], b->handle());
    f32 position[3];
    memcpy(position, stored + 4, 12);
    EXPECT_EQ(position[2], 3.0f);

    // B's actor goes: the whole record is skipped.
    physics->actors[ib.index].live = false;
    append_world_event(physics->events, physics_contact_event, &begin, sizeof begin);
    step();
    EXPECT_TRUE(take().empty());
    step(); // an empty frame triggers nothing
    EXPECT_TRUE(take().empty());
}

TEST_F(EventDispatchTest, TriggerKindsTargetsAndWakes)
{
    Unit *a = actor_unit("A");
    std::vector<u32> targets{nc, nc, actor_target(trigger_node, 0), nc, actor_target(trigger_node, 2)};
    PhysicsActorId volume = physics->add_actor(a->handle(), 0, targets);
    struct Case {
        u32 kind;
        Trace expect;
    } cases[] = {{0, {"A enter"}}, {1, {}}, {2, {"A stay"}}, {3, {}}};
    PhysicsActorId visitor = physics->add_actor(a->handle(), 7, {});
    for (const Case &c : cases) {
        TriggerPayload p{volume, visitor, c.kind, {}, {}};
        append_world_event(physics->events, physics_trigger_event, &p, sizeof p);
        step();
        EXPECT_EQ(take(), c.expect) << c.kind;
    }
    u32 stored[2];
    memcpy(stored, flow_unit_find_variable(*a, id("other")), 8);
    EXPECT_EQ(stored[0], a->handle()); // the actor that entered: its unit and index
    EXPECT_EQ(stored[1], 7u);
    // An actor without a unit, and a level actor while the World has no level: nothing.
    PhysicsActorId orphan = physics->add_actor(0, 0, targets);
    TriggerPayload q{orphan, {}, 0, {}, {}};
    append_world_event(physics->events, physics_trigger_event, &q, sizeof q);
    PhysicsActorId level_actor = physics->add_actor(0, 0, targets);
    physics->actors[level_actor.index].info.level_actor = true;
    TriggerPayload p{level_actor, {}, 0, {}, {}};
    append_world_event(physics->events, physics_trigger_event, &p, sizeof p);
    // A wake record puts the unit in the awake list.
    append_world_event(physics->events, physics_actor_woke_event, &volume, sizeof volume);
    step(0);
    EXPECT_TRUE(take().empty());
    EXPECT_NE(a->awake_index(), unit_not_listed);
    // A mover hit reaches the mover's unit.
    physics->movers[9] = {a->handle(), actor_target(mover_node, 0)};
    MoverHitPayload hit{9, volume, {1, 1, 1}, {}, {}, 2.5f};
    append_world_event(physics->events, physics_mover_hit_shape_event, &hit, sizeof hit);
    step();
    f32 hit_value[12];
    memcpy(hit_value, flow_unit_find_variable(*a, id("hit")), 48);
    EXPECT_EQ(hit_value[2], 1.0f);
    EXPECT_EQ(hit_value[11], 2.5f);
}

TEST_F(EventDispatchTest, AnimationEventsOfDestroyedUnitsAreSkipped)
{
    Unit *a = actor_unit("A");
    Unit *b = actor_unit("B");
    AnimationEventPayload to_b{id("animated"), b->handle()};
    AnimationEventPayload to_a{id("animated"), a->handle()};
    world->destroy_unit(*b);
    append_world_event(animation->events, animation_flow_event, &to_b, sizeof to_b);
    append_world_event(animation->events, animation_flow_event, &to_a, sizeof to_a);
    append_world_event(animation->events, 0x1234, &to_a, sizeof to_a);
    step();
    EXPECT_EQ(take(), Trace{"A animated"});
    EXPECT_TRUE(animation->events.empty());
}

TEST_F(EventDispatchTest, HeightGridInitAndBuild)
{
    make_world();
    std::vector<u8> grid(height_grid_bytes(5));
    ASSERT_TRUE(height_grid_init(grid.data(), grid.size(), 10, 20, 8, 5));
    HeightGridHeader h;
    memcpy(&h, grid.data(), sizeof h);
    EXPECT_EQ(h.origin_x, 6.0f);
    EXPECT_EQ(h.origin_y, 16.0f);
    EXPECT_EQ(h.spacing, 2.0f);
    EXPECT_EQ(h.n, 5u);
    for (u32 i = 0; i < 25; ++i)
        EXPECT_EQ(height_grid_heights(grid.data())[i], height_grid_nothing);
    // Ground only where x > 8: a slope z = y / 4 there; empty space elsewhere.
    physics->ground = [](const Vector3 &o, Vector3 &hit) {
        if (o.x <= 8)
            return false;
        hit = {o.x, o.y, o.y / 4};
        return true;
    };
    ASSERT_TRUE(height_grid_build(grid.data(), grid.size(), world->physics(), 100));
    const f32 *heights = height_grid_heights(grid.data());
    EXPECT_EQ(heights[0], height_grid_nothing);          // (6, 16)
    EXPECT_EQ(heights[1], height_grid_nothing);          // (8, 16)
    EXPECT_EQ(heights[2], 4.0f);                         // (10, 16)
    EXPECT_EQ(heights[5 * 4 + 4], 6.0f);                 // (14, 24)
    struct Refused {
        u32 n;
        u64 bytes;
    } refused[] = {{0, 1024}, {1, 1024}, {height_grid_max_points + 1, ~0ull}, {5, height_grid_bytes(5) - 1}};
    for (const Refused &r : refused)
        EXPECT_FALSE(height_grid_init(grid.data(), r.bytes, 0, 0, 8, r.n)) << r.n;
    EXPECT_FALSE(height_grid_build(grid.data(), 19, world->physics(), 100));
}

} // namespace
} // namespace tallow::test

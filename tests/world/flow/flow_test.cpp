// Flow graphs written with the shared writer run inside a World over recording fakes:
// event order, links before actions, the stateful nodes, delays and deferred destruction,
// service nodes, script calls, the run budget, and graphs the reader must refuse.
#include "tests/world/flow_fixture.h"

#include <cmath>

namespace tallow::test {
namespace {

class FlowTest : public FlowFixture {
  protected:
    Unit *run(const FlowGraphWriter &g)
    {
        if (!world)
            make_world();
        Unit *u = spawn(unit_resource(flow_unit(g)));
        EXPECT_NE(u, nullptr);
        return u;
    }
    void fire(Unit *u, const char *event) { flow_unit_event(*world, *u, id(event)); }
};

TEST_F(FlowTest, EventEntriesRunInTableOrderAndLinksRunBeforeTheAction)
{
    FlowGraphWriter g;
    u32 b = mark(g, "B");
    u32 a = mark(g, "A");
    g.set_links(a, {flow_target(b)});
    u32 c = mark(g, "C", {flow_target(mark(g, "C2"))});
    source(g, "go", {flow_target(a)});
    source(g, "go", {flow_target(c)});
    source(g, "go", {flow_target(a)});
    source(g, "zz", {flow_target(c)}); // an id above every "go"
    Unit *u = run(g);
    fire(u, "go");
    EXPECT_EQ(take(), (Trace{"B", "A", "C", "C2", "B", "A"}));
    fire(u, "absent");
    EXPECT_TRUE(take().empty());
}

// The graph stores no node count: the reader finds the node table's end from what the graph
// points to. Link lists right after the node table used to be read as extra nodes (their
// count word as a node offset) and the graph refused as "unknown node type".
TEST_F(FlowTest, EveryLayoutOfAValidGraphRuns)
{
    const struct {
        const char *name;
        FlowLayout layout;
    } cases[] = {{"nodes first", FlowLayout::NodesFirst},
                 {"link lists before the nodes", FlowLayout::LinksBeforeNodes},
                 {"node table last", FlowLayout::NodeTableLast}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FlowGraphWriter g;
        u32 b = mark(g, "B");
        u32 a = mark(g, "A");
        g.set_links(a, {flow_target(b)});
        source(g, "go", {flow_target(a)});
        UnitSource s = flow_unit(g);
        s.flow_graph = g.write(c.layout);
        EXPECT_EQ(flow_graph_node_count(s.flow_graph.data(), u32(s.flow_graph.size())), 3u);
        if (!world)
            make_world();
        Unit *u = spawn(unit_resource(s));
        ASSERT_NE(u, nullptr);
        fire(u, "go");
        EXPECT_EQ(take(), (Trace{"B", "A"}));
    }
}

TEST_F(FlowTest, LowerBoundAndVariableLookup)
{
    FlowGraphWriter g;
    u32 table = g.add_words({2, 0, 5, 0, 5, 0, 9, 0});
    std::vector<u8> blob = g.write();
    FlowBlob b{blob.data(), u32(blob.size())};
    struct Case {
        u32 key, expect;
    } cases[] = {{0, 0}, {2, 0}, {3, 1}, {5, 1}, {6, 3}, {9, 3}, {10, 4}};
    for (const Case &c : cases)
        EXPECT_EQ(flow_lower_bound(b, table, 4, c.key), c.expect) << c.key;

    FlowGraphWriter v;
    const char *names[] = {"alpha", "beta", "gamma", "delta"};
    for (u32 i = 0; i < 4; ++i)
        v.add_u32(names[i], 100 + i);
    source(v, "go", {});
    Unit *u = run(v);
    for (u32 i = 0; i < 4; ++i)
        EXPECT_EQ(variable<u32>(*u, names[i]), 100 + i) << names[i];
    EXPECT_EQ(flow_unit_find_variable(*u, id("absent")), nullptr);
}

TEST_F(FlowTest, StatefulNodes)
{
    FlowGraphWriter g;
    // once
    u32 once = g.add_node(flow_once, {g.add_u32("count", 0), 1, flow_target(mark(g, "once"))});
    source(g, "once", {flow_target(once)});
    // gate
    u32 gate = g.add_node(flow_gate, {g.add_u32("open", 0), 1, flow_target(mark(g, "pass"))});
    source(g, "try", {flow_target(gate, 0)});
    source(g, "open", {flow_target(gate, 1)});
    source(g, "close", {flow_target(gate, 2)});
    // flip-flop
    u32 ff = g.add_node(flow_flip_flop, {g.add_u32("state", 0), 1, flow_target(mark(g, "ff0")), 1,
                                         flow_target(mark(g, "ff1"))});
    source(g, "flip", {flow_target(ff)});
    // compare
    u32 a = g.add_float("a", 0), b = g.add_float("b", 0);
    const char *outs[] = {"gt", "ge", "eq", "le", "lt"};
    std::vector<u32> table;
    for (const char *o : outs)
        FlowGraphWriter::push(table, flow_list({flow_target(mark(g, o))}));
    std::vector<u32> compare{a, b};
    FlowGraphWriter::push(compare, table);
    source(g, "compare", {flow_target(g.add_node(flow_compare, compare))});
    // float arithmetic: constant 5, operand 2
    u32 target = g.add_float("sum", 1);
    u32 arith = g.add_node(flow_float_arithmetic, {flow_word(5), g.add_float("operand", 2), target, 0});
    source(g, "add", {flow_target(arith, 0)});
    source(g, "sub", {flow_target(arith, 1)});
    source(g, "set", {flow_target(arith, 2)});
    // flag: inputs reaching it as events fire output k while the flag is 0
    u32 flag = g.add_node(flow_flag, {g.add_u32("flag", 0), 1, flow_target(mark(g, "k0")), 1,
                                      flow_target(mark(g, "k1"))});
    g.add_event(id("f0"), flow_target(flag, 0));
    g.add_event(id("f1"), flow_target(flag, 1));
    source(g, "raise", {flow_target(flag, 1)});
    source(g, "lower", {flow_target(flag, 0)});
    Unit *u = run(g);

    for (int i = 0; i < 3; ++i)
        fire(u, "once");
    EXPECT_EQ(take(), Trace{"once"});

    for (const char *e : {"try", "open", "try", "try", "close", "try"})
        fire(u, e);
    EXPECT_EQ(take(), (Trace{"pass", "pass"}));

    for (int i = 0; i < 3; ++i)
        fire(u, "flip");
    EXPECT_EQ(take(), (Trace{"ff0", "ff1", "ff0"}));

    struct Compare {
        f32 a, b;
        Trace expect;
    } compares[] = {{1, 2, {"gt", "ge"}}, {2, 2, {"ge", "eq", "le"}}, {3, 2, {"le", "lt"}}, {NAN, 2, {}}, {1, NAN, {}}};
    for (const Compare &c : compares) {
        memcpy(flow_unit_find_variable(*u, id("a")), &c.a, 4);
        memcpy(flow_unit_find_variable(*u, id("b")), &c.b, 4);
        fire(u, "compare");
        EXPECT_EQ(take(), c.expect) << c.a << " vs " << c.b;
    }

    fire(u, "add");
    EXPECT_EQ(variable<f32>(*u, "sum"), 3.0f);
    fire(u, "sub");
    fire(u, "sub");
    EXPECT_EQ(variable<f32>(*u, "sum"), -1.0f);
    fire(u, "set");
    EXPECT_EQ(variable<f32>(*u, "sum"), 5.0f);

    fire(u, "f1");
    fire(u, "raise");
    fire(u, "f0");
    fire(u, "lower");
    fire(u, "f0");
    EXPECT_EQ(take(), (Trace{"k1", "k0"}));
}

TEST_F(FlowTest, RandomOutputFollowsTheGeneratorAndNeverRepeats)
{
    FlowGraphWriter g;
    std::vector<u32> d{g.add_u32("last", nc)};
    const char *names[] = {"r0", nullptr, "r1", "r2", nullptr, nullptr, nullptr, nullptr};
    for (const char *n : names)
        FlowGraphWriter::push(d, n ? flow_list({flow_target(mark(g, n))}) : flow_list({}));
    source(g, "go", {flow_target(g.add_node(flow_random_output, d))});
    Unit *u = run(g);
    u32 s = 0, last = nc;
    Trace expect;
    for (int i = 0; i < 50; ++i) {
        s = s * 0x19660Du + 0x3C6EF35Fu;
        u32 r;
        if (last == nc) {
            r = u32((u64(3) * s) >> 32);
        } else {
            r = u32((u64(2) * s) >> 32);
            r += r >= last;
        }
        last = r;
        expect.push_back(fmt("r%u", r));
        fire(u, "go");
    }
    Trace got = take();
    EXPECT_EQ(got, expect);
    for (size_t i = 1; i < got.size(); ++i)
        EXPECT_NE(got[i], got[i - 1]);
}

TEST_F(FlowTest, DelayWaitsOneSecondWhenUnconnected)
{
    FlowGraphWriter g;
    u32 d = g.add_node(flow_delay, {nc, 1, flow_target(mark(g, "later"))});
    u32 d2 = g.add_node(flow_delay, {g.add_float("short", 0.25f), 1, flow_target(mark(g, "soon"))});
    source(g, "go", {flow_target(d), flow_target(d2)});
    Unit *u = run(g);
    fire(u, "go");
    EXPECT_TRUE(take().empty());
    Trace seen;
    for (int i = 0; i < 4; ++i) {
        step(0.5f);
        for (const std::string &t : take())
            seen.push_back(fmt("%d:", i) + t);
    }
    // due at 0.25 and 1.0: each fires at the first update whose time is strictly later
    EXPECT_EQ(seen, (Trace{"0:soon", "2:later"}));
}

TEST_F(FlowTest, DestroyUnitWaitsForTheRunToEnd)
{
    FlowGraphWriter g;
    u32 me = g.add_u32("me", 0);
    source(g, nullptr, {}, me); // the spawn event stores the unit
    u32 destroy = g.add_node(flow_destroy_unit, {me, 1, flow_target(mark(g, "listed"))});
    source(g, "go", {flow_target(destroy), flow_target(mark(g, "after"))});
    Unit *u = run(g);
    UnitHandle h = u->handle();
    bool alive_after = false;
    script.on_string = [&](const char *code) {
        if (std::string(code) == "after")
            alive_after = world->unit(h) != nullptr;
    };
    fire(u, "go");
    EXPECT_EQ(take(), (Trace{"listed", "after"}));
    EXPECT_TRUE(alive_after);
    EXPECT_EQ(world->unit(h), nullptr);
    EXPECT_TRUE(world->validate());
}

TEST_F(FlowTest, SpawnFlowThatDestroysItsOwnUnit)
{
    FlowGraphWriter g;
    u32 me = g.add_u32("me", 0);
    u32 destroy = g.add_node(flow_destroy_unit, {me, 0});
    source(g, nullptr, {flow_target(destroy)}, me);
    make_world();
    EXPECT_EQ(spawn(unit_resource(flow_unit(g))), nullptr);
    EXPECT_TRUE(world->units().empty());
}

TEST_F(FlowTest, CyclesAndZeroDelayLoopsStop)
{
    FlowGraphWriter g;
    u32 a = mark(g, "a");
    u32 b = mark(g, "b", {flow_target(a)});
    g.set_links(a, {flow_target(b)});
    source(g, "cycle", {flow_target(a)});
    Unit *u = run(g);
    fire(u, "cycle"); // links nest until the depth limit
    EXPECT_FALSE(take().empty());

    // A zero delay whose output executes itself again: every firing starts a new run.
    FlowGraphWriter z;
    u32 d = z.add_node(flow_delay, {z.add_float("zero", 0), 1, flow_target(0)});
    (void)d;
    source(z, "go", {flow_target(0)});
    Unit *zu = spawn(unit_resource(flow_unit(z)));
    flow_unit_event(*world, *zu, id("go"));
    EXPECT_TRUE(world->validate());
}

TEST_F(FlowTest, SpawnAndPoseNodes)
{
    FlowGraphWriter spawned;
    source(spawned, nullptr, {flow_target(mark(spawned, "child spawned"))});
    UnitSource child = flow_unit(spawned);
    child.add_node("tip", translation_matrix(0, 0, 2), 0);
    load({{"units/child", write_unit_resource(child)}});
    make_world();

    FlowGraphWriter g;
    u32 unit = g.add_u32("spawned", 0);
    std::vector<u32> d;
    FlowGraphWriter::push_u64(d, NameId64("units/child").value());
    FlowGraphWriter::push_matrix(d, translation_matrix(1, 2, 3));
    d.push_back(unit);
    FlowGraphWriter::push(d, flow_list({flow_target(mark(g, "spawned"))}));
    FlowGraphWriter::push(d, flow_list({flow_target(mark(g, "unspawned"))}));
    u32 sp = g.add_node(flow_spawn_unit, d);
    source(g, "spawn", {flow_target(sp, 0)});
    source(g, "unspawn", {flow_target(sp, 1)});
    u32 tip = g.add_variable("tip", 8);
    u32 position = g.add_variable("position", 12), rotation = g.add_variable("rotation", 16);
    u32 pose = g.add_node(flow_node_pose, {unit, tip, position, rotation});
    source(g, "pose", {flow_target(pose)});
    std::vector<u32> set;
    FlowGraphWriter::push_matrix(set, translation_matrix(5, 0, 0));
    set.push_back(unit);
    FlowGraphWriter::push(set, flow_list({}));
    source(g, "move", {flow_target(g.add_node(flow_set_unit_pose, set))});
    Unit *u = spawn(unit_resource(flow_unit(g)));
    ASSERT_NE(u, nullptr);

    flow_unit_event(*world, *u, id("spawn"));
    EXPECT_EQ(take(), (Trace{"child spawned", "spawned", "callback -2 spawn_unit unit"}));
    UnitHandle h = variable<u32>(*u, "spawned");
    Unit *c = world->unit(h);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(translation(c->scene_graph().world_pose(0)).z, 3.0f);

    u64 tip_name = NameId64("tip").value();
    memcpy(flow_unit_find_variable(*u, id("tip")), &tip_name, 8);
    flow_unit_event(*world, *u, id("pose"));
    Vector3 p = variable<Vector3>(*u, "position");
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(p.z, 5.0f);

    flow_unit_event(*world, *u, id("move"));
    step();
    EXPECT_EQ(translation(c->scene_graph().world_pose(1)).x, 5.0f);

    flow_unit_event(*world, *u, id("unspawn"));
    EXPECT_EQ(take(), (Trace{"callback -2 unspawn_unit unit", "unspawned"}));
    EXPECT_EQ(world->unit(h), nullptr);
    flow_unit_event(*world, *u, id("unspawn")); // stale: nothing
    EXPECT_TRUE(take().empty());
}

TEST_F(FlowTest, ScriptNodesPassTheirArguments)
{
    FlowGraphWriter g;
    u32 f = g.add_float("speed", 2.5f);
    u32 v = g.add_variable("where", 12);
    u32 text = g.add_u32("label", g.add_text("hello"));
    u32 me = g.add_u32("me", 0);
    source(g, nullptr, {}, me);
    std::vector<u32> m{g.add_text("Game"), g.add_text("on_event"), 5, f, 0, nc, 7, text, 0, nc, 0, nc};
    source(g, "method", {flow_target(g.add_node(flow_script_method, m))});
    u32 fields = g.add_words({5, f});
    g.add_text("speed");
    u32 f2 = g.add_words({4, v});
    g.add_text("where");
    (void)f2;
    source(g, "table", {flow_target(g.add_node(flow_script_method_with_table, {0, g.add_text("handle"), 2, fields}))});
    source(g, "event", {flow_target(g.add_node(flow_script_event, {g.add_text("on_hit"), me, 0}))});
    Unit *u = run(g);
    fire(u, "method");
    fire(u, "table");
    fire(u, "event");
    EXPECT_EQ(take(), (Trace{"call Game.on_event 2.5 nil hello", "table _G.handle speed=2.5 where=(0 0 0)",
                             "callback -2 on_hit unit"}));
}

TEST_F(FlowTest, UnitEventWithArgumentsCopiesNamedVariables)
{
    FlowGraphWriter target;
    target.add_float("hp", 0);
    u32 hp_slot_type = 5;
    u32 hp = 0;
    source(target, "hit", {flow_target(mark(target, "hit", {}, {hp_slot_type, hp}))});
    make_world();
    Unit *b = spawn(unit_resource(flow_unit(target)));

    FlowGraphWriter g;
    u32 unit = g.add_u32("target", 0);
    u32 value = g.add_float("damage", 42);
    u32 events = g.add_words({id("hit")});
    u32 args = g.add_words({id("hp"), value, 4, id("absent"), value, 4});
    u32 sender = g.add_node(flow_unit_event_with_arguments, {1, events, 0, 0, unit, 2, args});
    source(g, "send", {flow_target(sender, 0)});
    source(g, "other", {flow_target(sender, 1)}); // input 1: no event of that index
    Unit *a = spawn(unit_resource(flow_unit(g)));
    UnitHandle bh = b->handle();
    memcpy(flow_unit_find_variable(*a, id("target")), &bh, 4);
    flow_unit_event(*world, *a, id("send"));
    EXPECT_EQ(take(), Trace{"hit 42"});
    f32 zero = 0;
    memcpy(flow_unit_find_variable(*b, id("hp")), &zero, 4);
    flow_unit_event(*world, *a, id("other"));
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(variable<f32>(*b, "hp"), 42.0f);
}

TEST_F(FlowTest, SoundAndParticleNodesCallTheirServices)
{
    FlowGraphWriter g;
    u32 me = g.add_u32("me", 0);
    source(g, nullptr, {}, me);
    u32 source_id = g.add_u32("source", nc);
    std::vector<u32> s;
    FlowGraphWriter::push_u64(s, NameId64("sounds/bell").value());
    FlowGraphWriter::push(s, {1, flow_word(30), flow_word(0.5f), me, 0, 1, nc, source_id});
    u32 sound = g.add_node(flow_sound, s);
    source(g, "ring", {flow_target(sound, 0)});
    source(g, "hush", {flow_target(sound, 1)});
    u32 effect = g.add_u32("effect", nc);
    std::vector<u32> p;
    FlowGraphWriter::push_u64(p, NameId64("effects/smoke").value());
    FlowGraphWriter::push(p, {nc, 1, g.add_variable("offset", 12, std::vector<f32>{0, 0, 1}.data()), nc, me, effect});
    u32 particles = g.add_node(flow_particles, p);
    source(g, "smoke", {flow_target(particles, 0)});
    source(g, "stop", {flow_target(particles, 1)});
    make_world();
    Unit *u = spawn(unit_resource(flow_unit(g)), translation_matrix(4, 0, 0));
    flow_unit_event(*world, *u, id("ring"));
    flow_unit_event(*world, *u, id("hush"));
    flow_unit_event(*world, *u, id("hush")); // already stopped
    flow_unit_event(*world, *u, id("smoke"));
    flow_unit_event(*world, *u, id("stop"));
    EXPECT_EQ(take(), (Trace{"sound play loop", "sound 7 range 30", "sound 7 volume 0.5", "sound 7 at 4 0 0",
                             "sound 7 linked 0", "sound stop 7", "particles at 4 0 1", "particles 3 linked 0",
                             "particles 3 stop"}));
}

class TwoWayAnimationTest : public FlowTest {
  protected:
    void SetUp() override
    {
        FlowTest::SetUp();
        FlowGraphWriter g;
        u32 me = g.add_u32("me", 0);
        source(g, nullptr, {}, me);
        u64 group = u64(id("lid")) << 32;
        u32 to = g.add_float("to", -1);
        u32 time = g.add_float("time", 0);
        std::vector<u32> d{nc, to, nc, 0, me, g.add_variable("group", 8, &group), time};
        FlowGraphWriter::push(d, flow_list({flow_target(mark(g, "opened"))}));
        FlowGraphWriter::push(d, flow_list({flow_target(mark(g, "closed"))}));
        u32 node = g.add_node(flow_two_way_animation, d);
        for (u32 i = 0; i < 5; ++i)
            source(g, fmt("in%u", i).c_str(), {flow_target(node, i)});
        UnitSource s = flow_unit(g);
        s.add_node("lid", matrix4x4_identity, 0);
        s.simple_animations.push_back({id("lid"), {1}});
        f32 header[3] = {0, 0, 0.5f}; // length L at byte 8
        s.simple_animation_data.resize(12);
        memcpy(s.simple_animation_data.data(), header, 12);
        make_world();
        unit = spawn(unit_resource(s));
        ASSERT_NE(unit, nullptr);
    }
    void in(u32 input) { flow_unit_event(*world, *unit, id(fmt("in%u", input).c_str())); }
    f32 time() { return variable<f32>(*unit, "time"); }
    Unit *unit = nullptr;
};

TEST_F(TwoWayAnimationTest, ForwardPlayEndsOnceOneUpdateAfterItsEnd)
{
    in(0);
    EXPECT_EQ(take(), Trace{"play 0->0.5 from 0 speed 1 cb"});
    EXPECT_EQ(time(), 0.5f); // the play's end, not the running time
    in(0);                   // already playing forwards: nothing, not even the time
    EXPECT_TRUE(take().empty());
    Trace seen;
    for (int i = 0; i < 8; ++i) {
        step(0.25f);
        for (const std::string &t : take())
            seen.push_back(fmt("%d:", i) + t);
    }
    // at 0.5 s after the second update; the callback comes at the start of the third
    EXPECT_EQ(seen, Trace{"2:opened"});
}

TEST_F(TwoWayAnimationTest, ReversalStopAndEnds)
{
    in(0);
    step(0.25f);
    in(2); // turned round from 0.25
    EXPECT_EQ(take(), (Trace{"play 0->0.5 from 0 speed 1 cb", "play 0.5->0 from 0.25 speed -1 cb"}));
    EXPECT_EQ(time(), 0.0f);
    step(0.1f);
    in(1); // stop: the time reached, no output
    EXPECT_FLOAT_EQ(time(), 0.15f);
    EXPECT_EQ(take(), Trace{"stop"});
    for (int i = 0; i < 5; ++i)
        step(0.25f);
    EXPECT_TRUE(take().empty());
    in(4); // to exactly -1 frames: the end is L
    EXPECT_EQ(take(), (Trace{fmt("play %g->0.5 from %g speed 1", f32(0.5 - 0.0001), f32(0.5 - 0.0001))}));
    EXPECT_EQ(time(), 0.5f);
    in(3);
    EXPECT_EQ(take(), (Trace{"stop", fmt("play 0->%g from 0 speed 1", 9.9999997e-05f)}));
    EXPECT_EQ(time(), 0.0f);
}

TEST_F(TwoWayAnimationTest, CallbackOfADestroyedUnitDoesNothing)
{
    in(0);
    take();
    UnitHandle h = unit->handle();
    step(0.5f);
    // the playback stays with the fake player; the unit goes before its callback
    auto playbacks = animation->playbacks;
    world->destroy_unit(*unit);
    animation->playbacks = playbacks;
    step(0.1f);
    EXPECT_EQ(world->unit(h), nullptr);
    EXPECT_TRUE(take().empty());
}

// The first word of a graph is not read: whatever it holds, the graph loads and runs alike.
// The node count comes from the node table itself, which ends where the next table or the
// first node it names begins.
TEST_F(FlowTest, FirstHeaderWordIsNotRead)
{
    FlowGraphWriter g;
    u32 b = mark(g, "B");
    u32 a = mark(g, "A", {flow_target(b)});
    source(g, "go", {flow_target(a)});
    FlowGraphWriter bare; // no events and no variables: the table runs up to the first node
    mark(bare, "only");
    mark(bare, "other");
    struct Case {
        const char *name;
        const FlowGraphWriter &writer;
        u32 nodes;
    } cases[] = {{"events", g, 3}, {"no tables", bare, 2}};
    make_world();
    for (const Case &c : cases) {
        for (u32 first : {0u, 1u, 2u, 3u, 0x10001u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            SCOPED_TRACE(fmt("%s, first word %u", c.name, first));
            std::vector<u8> blob = c.writer.write();
            memcpy(blob.data(), &first, 4);
            FlowGraphInfo info;
            ASSERT_TRUE(validate_flow_graph(blob.data(), u32(blob.size()), info));
            EXPECT_EQ(info.node_count, c.nodes);
            EXPECT_EQ(make_flow_blob(blob.data(), u32(blob.size())).node_count(), c.nodes);
            UnitSource s = flow_unit(c.writer);
            s.flow_graph = blob;
            Unit *u = spawn(unit_resource(s));
            ASSERT_NE(u, nullptr);
            take();
            fire(u, "go");
            EXPECT_EQ(take(), &c.writer == &g ? (Trace{"A", "B"}) : Trace{});
        }
    }
}

// Graphs the reader must refuse: each case damages a sound graph.
TEST_F(FlowTest, CorruptGraphsAreRefused)
{
    FlowGraphWriter g;
    u32 counter = g.add_u32("count", 0);
    u32 once = g.add_node(flow_once, {counter, 1, flow_target(mark(g, "x"))});
    source(g, "go", {flow_target(once)});
    const std::vector<u8> good = g.write();
    FlowGraphInfo info;
    ASSERT_TRUE(validate_flow_graph(good.data(), u32(good.size()), info));
    u32 node_table, once_at, mark_at;
    memcpy(&node_table, good.data() + 4, 4);
    memcpy(&once_at, good.data() + node_table + 4 * once, 4);
    memcpy(&mark_at, good.data() + node_table, 4);
    auto set = [](std::vector<u8> &b, u32 at, u32 v) {
        if (at + 4 <= b.size())
            memcpy(b.data() + at, &v, 4);
    };
    struct Case {
        const char *name;
        std::function<void(std::vector<u8> &)> damage;
    } cases[] = {
        {"short header", [](std::vector<u8> &b) { b.resize(20); }},
        {"node inside the node table", [&](std::vector<u8> &b) { set(b, node_table, node_table); }},
        {"node table far past the end", [&](std::vector<u8> &b) { set(b, 4, 0xFFFFFFF0); }},
        {"node table past the end", [&](std::vector<u8> &b) { set(b, 4, u32(b.size())); }},
        {"event table past the end", [&](std::vector<u8> &b) { set(b, 8, 1000); }},
        {"variable table past the end", [&](std::vector<u8> &b) { set(b, 16, 0xFFFFFFFF); }},
        {"node offset past the end", [&](std::vector<u8> &b) { set(b, node_table, u32(b.size()) - 2); }},
        {"unknown node type", [&](std::vector<u8> &b) { set(b, once_at, 33); }},
        {"variable outside the block", [&](std::vector<u8> &b) { set(b, once_at + 8, 4); }},
        {"link to a missing node", [&](std::vector<u8> &b) { set(b, once_at + 16, 9); }},
        {"link list count too large", [&](std::vector<u8> &b) { set(b, once_at + 12, 0x40000000); }},
        {"link list offset past the end", [&](std::vector<u8> &b) { set(b, once_at + 4, u32(b.size())); }},
        {"text not terminated", [&](std::vector<u8> &b) { set(b, mark_at + 8, u32(b.size()) - 1); b.back() = 'x'; }},
        {"truncated node", [&](std::vector<u8> &b) { b.resize(b.size() - 2); }},
        {"event target missing", [&](std::vector<u8> &b) {
             u32 events;
             memcpy(&events, b.data() + 12, 4);
             set(b, events + 4, 77);
         }},
    };
    for (const Case &c : cases) {
        std::vector<u8> bad = good;
        c.damage(bad);
        EXPECT_FALSE(validate_flow_graph(bad.data(), u32(bad.size()), info)) << c.name;
        UnitSource s;
        s.add_node("root", matrix4x4_identity, no_parent);
        s.flow_graph = bad;
        s.flow_variable_defaults = g.defaults();
        std::vector<u8> unit = write_unit_resource(s);
        UnitResource *r = read_unit_resource(unit.data(), unit.size(), default_allocator());
        EXPECT_EQ(r, nullptr) << c.name;
        destroy_unit_resource(r, default_allocator());
    }
}

} // namespace
} // namespace tallow::test

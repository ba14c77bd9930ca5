// The physics world's own rules over the recording backend: actor records and their ids,
// the awake and kinematic lists, kinematic actors following nodes and teleports, the
// filter and contact flags given to the layer, and reports turned into event records.
#include "physics_fixture.h"

namespace tallow::test {
namespace {

class PhysicsWorldRules : public PhysicsWorldFixture {
  protected:
    void SetUp() override
    {
        make(false);
        recording().clear_journal();
    }
    u32 journal_count(const std::string &prefix)
    {
        u32 n = 0;
        for (const std::string &line : recording().journal())
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

TEST_F(PhysicsWorldRules, FilterBecomesTheFourWordMask)
{
    px::GroupsMask m = groups_mask({0x1122334455667788ull, 0x99AABBCCDDEEFF00ull});
    EXPECT_EQ(m.bits[0], 0x55667788u);
    EXPECT_EQ(m.bits[1], 0x11223344u);
    EXPECT_EQ(m.bits[2], 0xDDEEFF00u);
    EXPECT_EQ(m.bits[3], 0x99AABBCCu);
    PhysicsActor *a = box(actor_dynamic, at(0, 0, 0));
    world->set_collision_filter(a, {1ull << 40, 3});
    EXPECT_EQ(recording().journal().back(), "set_groups_mask 00000000 00000100 00000003 00000000");
}

TEST_F(PhysicsWorldRules, ListsFollowCreationKinematicSwitchesAndDestruction)
{
    PhysicsActor *s = box(0, at(0, 0, 0));
    PhysicsActor *d1 = box(actor_dynamic, at(0, 0, 1));
    PhysicsActor *d2 = box(actor_dynamic, at(0, 0, 2));
    PhysicsActor *k = box(actor_dynamic | actor_kinematic, at(0, 0, 3));
    ASSERT_TRUE(s && d1 && d2 && k);
    EXPECT_EQ(world->awake_actors().size(), 2u);
    EXPECT_EQ(world->kinematic_actors().size(), 1u);
    world->set_kinematic(d1, true);
    world->set_kinematic(d1, true); // twice is harmless
    world->clear_kinematic(d2);     // not kinematic: nothing changes
    world->set_kinematic(s, true);  // static: nothing changes
    EXPECT_TRUE(world->validate());
    EXPECT_EQ(world->awake_actors().size(), 1u);
    EXPECT_EQ(world->kinematic_actors().size(), 2u);
    EXPECT_EQ(journal_count("raise_body_flag"), 1u);
    EXPECT_EQ(journal_count("clear_body_flag"), 0u);
    world->destroy_actor(k);
    world->destroy_actor(d2);
    EXPECT_TRUE(world->validate());
    EXPECT_EQ(world->awake_actors().size(), 0u);
    EXPECT_EQ(world->kinematic_actors().size(), 1u);
    EXPECT_EQ(world->kinematic_actors()[0], d1);
    u32 statics = world->static_changes();
    world->destroy_actor(d1);
    EXPECT_EQ(world->static_changes(), statics);
    world->destroy_actor(s); // a static actor's going is counted
    EXPECT_EQ(world->static_changes(), statics + 1);
    EXPECT_EQ(world->actor_count(), 0u);
}

TEST_F(PhysicsWorldRules, KinematicActorFollowsItsNodeAndTeleportsOnce)
{
    PhysicsActor *k = box(actor_dynamic | actor_kinematic, at(0, 0, 0));
    attach(k, 1);
    recording().clear_journal();
    graph->set_world_pose(1, at(1, 0, 0));
    step(1);
    graph->set_world_pose(1, at(9, 0, 0));
    k->teleport = 1;
    step(1);
    graph->set_world_pose(1, at(10, 0, 0));
    step(1);
    std::vector<std::string> moves;
    for (const std::string &line : recording().journal())
        if (line.find("global_pose") != std::string::npos)
            moves.push_back(line);
    const std::vector<std::string> expected = {"move_global_pose 1.00 0.00 0.00", "set_global_pose 9.00 0.00 0.00",
                                               "move_global_pose 10.00 0.00 0.00"};
    EXPECT_EQ(moves, expected);
    EXPECT_EQ(k->teleport, 0);
}

TEST_F(PhysicsWorldRules, IdsOfDestroyedActorsResolveToNothingAlsoWhenReused)
{
    PhysicsActor *a = box(actor_dynamic, at(0, 0, 0));
    PhysicsActorId id = world->id_of(a);
    EXPECT_EQ(world->resolve(id), a);
    EXPECT_EQ(world->id_of(a).serial, id.serial); // given once
    world->destroy_actor(a);
    EXPECT_EQ(world->resolve(id), nullptr);
    PhysicsActor *b = box(actor_dynamic, at(0, 0, 0));
    EXPECT_EQ(b, a); // the record is reused...
    EXPECT_EQ(world->resolve(id), nullptr);
    EXPECT_NE(world->id_of(b).serial, id.serial); // ...under a new serial
    PhysicsActorInfo info;
    EXPECT_FALSE(world->resolve_actor({0xFFFFFFFFu, 1}, info));
    EXPECT_FALSE(world->resolve_actor({5000, 1}, info)); // a slot never handed out
    EXPECT_FALSE(world->resolve_actor({id.index, physics_no_index}, info));
}

TEST_F(PhysicsWorldRules, RefusedActorLeavesNoRecord)
{
    px::ShapeDesc bad = box_shape({0, 0, 0});
    EXPECT_EQ(world->create_actor_from(actor_template(actor_dynamic), &bad, 1, at(0, 0, 0), nullptr), nullptr);
    EXPECT_EQ(world->actor_count(), 0u);
    EXPECT_TRUE(world->awake_actors().empty());
    EXPECT_TRUE(world->validate());
}

TEST_F(PhysicsWorldRules, ContactFlagsComeFromTheTouchTargets)
{
    struct Case {
        const char *name;
        u32 begin, end;
        u32 flags;
    };
    const Case cases[] = {
        {"none", physics_no_index, physics_no_index, 0},
        {"start only", 5, physics_no_index, 130},
        {"both", 5, 6, 134},
        {"end only", physics_no_index, 6, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u32 targets[5] = {c.begin, c.end, physics_no_index, physics_no_index, physics_no_index};
        PhysicsActor *a = box(actor_dynamic, at(0, 0, 0), {1, 1, 1}, targets);
        EXPECT_EQ(recording().recorded(a->actor)->contact_flags, c.flags);
    }
}

TEST_F(PhysicsWorldRules, EqualMaterialsShareOneLayerMaterial)
{
    PhysicsMaterial wood;
    wood.values[1] = 0.5f;
    PhysicsMaterial stone;
    stone.values[1] = 0.9f;
    u32 a = world->material_index(wood);
    u32 b = world->material_index(stone);
    EXPECT_EQ(world->material_index(wood), a);
    EXPECT_EQ(world->material_index(stone), b);
    EXPECT_NE(a, b);
    EXPECT_EQ(journal_count("create_material"), 2u);
    EXPECT_EQ(recording().journal()[0], "create_material 0.50 0.20 1.00"); // static, restitution, dynamic
}

// Materials are told apart by their values' bits: a NaN (equal to nothing as a float) still
// finds its own entry, and the map stays sorted for the others.
TEST_F(PhysicsWorldRules, MaterialsWithNaNAreFoundAgain)
{
    PhysicsMaterial odd;
    odd.values[4] = NAN;
    PhysicsMaterial plain, other;
    other.values[1] = 0.7f;
    u32 a = world->material_index(plain);
    u32 n = world->material_index(odd);
    u32 o = world->material_index(other);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(world->material_index(odd), n);
        EXPECT_EQ(world->material_index(plain), a);
        EXPECT_EQ(world->material_index(other), o);
    }
    EXPECT_EQ(journal_count("create_material"), 3u);
}

TEST_F(PhysicsWorldRules, ReportsBecomeEventRecords)
{
    PhysicsActor *a = box(actor_dynamic, at(0, 0, 0));
    PhysicsActor *b = box(0, at(0, 0, 0));
    PhysicsActor *k = box(actor_dynamic | actor_kinematic, at(0, 0, 0));
    px::ContactPair pair;
    pair.actors[0] = a->actor;
    pair.actors[1] = b->actor;
    pair.has_point = true;
    pair.point = {1, 2, 3};
    pair.normal_force = {0, 0, 9};
    recording().queue_wake(a->actor);  // already listed: a record, no second entry
    recording().queue_wake(k->actor);  // kinematic: nothing
    recording().queue_contact(pair, px::notify_on_start_touch | px::notify_on_end_touch);
    px::ContactPair pointless = pair;
    pointless.has_point = false;
    recording().queue_contact(pointless, px::notify_on_start_touch);
    px::ContactPair deleted = pair;
    deleted.deleted[1] = true;
    recording().queue_contact(deleted, px::notify_on_start_touch);
    for (u32 status : {1u, 2u, 4u, 3u})
        recording().queue_trigger(b->actor, a->actor, status);
    recording().queue_sleep(a->actor);
    step(1);
    EXPECT_TRUE(world->awake_actors().empty());
    std::vector<EventRecord> events = take_events(*world);
    ASSERT_EQ(events.size(), 7u);
    PhysicsActorId ida = world->id_of(a), idb = world->id_of(b);
    EXPECT_EQ(events[0].id, physics_actor_woke_event);
    EXPECT_EQ(events[0].as<PhysicsActorId>().serial, ida.serial);
    for (u32 i = 1; i <= 3; ++i) {
        ASSERT_EQ(events[i].id, physics_contact_event);
        ContactPayload p = events[i].as<ContactPayload>();
        EXPECT_EQ(p.a.index, ida.index);
        EXPECT_EQ(p.b.serial, idb.serial);
        EXPECT_EQ(p.kind, i == 2 ? 1u : 0u); // start then end, then the pointless pair's start
        EXPECT_TRUE(p.position == (i == 3 ? Vector3{} : Vector3{1, 2, 3}));
        EXPECT_EQ(events[i].payload.size(), 56u);
    }
    for (u32 i = 4; i < 7; ++i) {
        ASSERT_EQ(events[i].id, physics_trigger_event);
        TriggerPayload p = events[i].as<TriggerPayload>();
        EXPECT_EQ(p.trigger.serial, idb.serial);
        EXPECT_EQ(p.other.serial, ida.serial);
        EXPECT_EQ(p.kind, i - 4);
    }
    PhysicsActorInfo info;
    ASSERT_TRUE(world->resolve_actor(ida, info));
    world->destroy_actor(a);
    EXPECT_FALSE(world->resolve_actor(ida, info)); // a record read after its actor went
}

TEST_F(PhysicsWorldRules, WakeOfASleepingActorListsItAgain)
{
    PhysicsActor *a = box(actor_dynamic, at(0, 0, 0));
    attach(a, 2);
    recording().queue_sleep(a->actor);
    step(1);
    EXPECT_TRUE(world->awake_actors().empty());
    recording().queue_wake(a->actor);
    step(1);
    ASSERT_EQ(world->awake_actors().size(), 1u);
    EXPECT_EQ(a->awake_index, 0u);
}

TEST_F(PhysicsWorldRules, DebugLinesAreTakenWhenSwitchedOn)
{
    recording().set_next_debug_lines({{{0, 0, 0}, {1, 0, 0}, 0xFF0000}});
    step(1);
    EXPECT_TRUE(world->debug_lines().empty());
    world->set_debug_lines(true);
    step(1);
    ASSERT_EQ(world->debug_lines().size(), 1u);
    EXPECT_EQ(world->debug_lines()[0].color, 0xFF0000u);
}

} // namespace
} // namespace tallow::test

// The physics script tables from Lua over a whole Application with the Bullet physics SDK:
// actors of spawned units falling onto a floor, forces, flags, raycasts in every mode and
// overlaps answered through callbacks, movers and joints of units, bad arguments raising
// (never crashing), and worlds and states torn down with queries pending.
#include "boot_script_fixture.h"

#include "physics/physics_sdk.h"
#include "physics/world_physics_service.h"
#include "tests/support/writers/physics_properties_writer.h"

namespace tallow::test {
namespace {

std::string properties()
{
    PhysicsPropertiesWriter w;
    w.material("wood", {0, 0.5f, 0.1f, 0.6f, 0, 0});
    w.shape_template("default", 0, {1, 1});
    w.shape_template("ghost", 0, {2, 2});
    ActorTemplate dynamic;
    dynamic.flags = actor_dynamic;
    dynamic.mass = 20;
    dynamic.angular_damping = 0.05f;
    w.actor_template("dynamic", dynamic);
    w.actor_template("static", ActorTemplate{});
    w.collision_filter("all", {1, 1});
    w.collision_filter("none", {0, 0});
    std::vector<u8> bytes = w.write();
    return std::string(bytes.begin(), bytes.end());
}

class PhysicsApiTest : public BootScriptTest {
  protected:
    PhysicsApiTest()
    {
        services.create_physics = [](Allocator &allocator, Application &application) -> IPhysicsService * {
            return create_physics_sdk(allocator, application.thread_pool());
        };
        world_services.physics = create_physics_service;
        register_resource_types = register_physics_resource_types;
        write_data({
            {"package", "boot",
             package_resource({{"physics_properties", "physics/test"}, {"unit", "units/crate"},
                               {"unit", "units/floor"}, {"unit", "units/walker"}, {"unit", "units/pendulum"}})},
            {"physics_properties", "physics/test", properties()},
            {"unit", "units/crate",
             compiled_unit("nodes = [ { name = \"root\" } ]\n"
                           "actors = [ { name = \"body\" node = \"root\" template = \"dynamic\"\n"
                           "  shapes = [ { kind = 1 material = \"wood\" template = \"default\" parameters = [0.5 0.5 0.5] } ] } ]\n")},
            {"unit", "units/floor",
             compiled_unit("nodes = [ { name = \"root\" } ]\n"
                           "actors = [ { name = \"ground\" node = \"root\" template = \"static\" position = [0 0 -0.5]\n"
                           "  shapes = [ { kind = 1 material = \"wood\" template = \"default\" parameters = [20 20 0.5] } ] } ]\n")},
            {"unit", "units/walker",
             compiled_unit("nodes = [ { name = \"root\" } ]\n"
                           "movers = [ { height = 1.8 radius = 0.4 collision_filter = \"all\" } ]\n")},
            {"unit", "units/pendulum",
             compiled_unit("nodes = [ { name = \"root\" } { name = \"bob\" parent = \"root\" position = [0 0 -1] } ]\n"
                           "actors = [ { name = \"bob\" node = \"bob\" template = \"dynamic\"\n"
                           "  shapes = [ { kind = 0 material = \"wood\" template = \"default\" parameters = [0.2] } ] } ]\n"
                           "joints = [ { name = \"string\" actors = [\"\" \"bob\"] kind = \"distance\"\n"
                           "             anchor = [0 0 0] distance = [0 1] create = false } ]\n")},
        });
    }
};

const char *scene =
    "w = Application.new_world()\n"
    "floor = World.spawn_unit(w, 'units/floor')\n"
    "crate = World.spawn_unit(w, 'units/crate', Vector3(0, 0, 3))\n"
    "pw = World.physics_world(w)\n"
    "a = Unit.actor(crate, 'body')\n"
    "f = Unit.actor(floor, 0)\n"
    "local function settle() for i = 1, 150 do World.update(w, 1 / 60) end end\n"
    "settle()\n";

TEST_F(PhysicsApiTest, ActorsFallForcesAndFlags)
{
    EXPECT_EQ(run_boot(std::string(scene) +
                       "local p = Unit.world_position(crate, 0)\n"
                       // Each box is 0.025 larger than its source says and sinks that
                       // skin into what it touches: the 1 m crate rests on the floor.
                       "assert(math.abs(p.z - 0.5) < 0.005 and math.abs(p.x) < 0.05, tostring(p))\n"
                       "assert(Actor.is_dynamic(a) and Actor.is_physical(a) and not Actor.is_kinematic(a))\n"
                       "assert(Actor.is_static(f) and not Actor.is_kinematic(f) and not Actor.is_physical(f))\n"
                       "assert(Actor.unit(a) == crate and Actor.unit(f) == floor)\n"
                       "assert(select('#', Unit.actor(crate, 5)) == 0 and select('#', Unit.actor(crate, 'none')) == 0)\n"
                       "assert(Unit.mover(crate) == nil)\n"
                       // Forces move only a dynamic, non-kinematic actor.
                       "Actor.add_impulse(f, Vector3(0, 0, 100))\n"
                       "assert(Actor.velocity(f).z == 0)\n"
                       "Actor.add_velocity(a, Vector3(0, 0, 3))\n"
                       "assert(math.abs(Actor.velocity(a).z - 3) < 0.01, tostring(Actor.velocity(a)))\n"
                       "Actor.set_velocity(a, Vector3(0, 0, 0))\n"
                       "Actor.add_impulse(a, Vector3(20, 0, 0))\n" // 20 kg: 1 m/s
                       "assert(math.abs(Actor.velocity(a).x - 1) < 0.01)\n"
                       "PhysicsWorld.set_kinematic(pw, a)\n"
                       "assert(Actor.is_kinematic(a) and not Actor.is_physical(a))\n"
                       "Actor.add_impulse(a, Vector3(0, 0, 100)); Actor.push(a, Vector3(5, 0, 0), 1)\n"
                       "assert(Actor.velocity(a).z == 0 and Actor.velocity(a).x == 0)\n"
                       "PhysicsWorld.clear_kinematic(pw, a)\n"
                       // push: the velocity v m / (M + m) with M = 20.
                       "Actor.set_velocity(a, Vector3(0, 0, 0))\n"
                       "Actor.push(a, Vector3(2, 0, 0), 20)\n"
                       "assert(math.abs(Actor.velocity(a).x - 1) < 1e-3, tostring(Actor.velocity(a)))\n"
                       "Actor.push(a, Vector3(2, 0, 0), 0)\n" // no share: nothing
                       "assert(math.abs(Actor.velocity(a).x - 1) < 1e-3)\n"
                       "Actor.add_angular_velocity(a, Vector3(0, 0, 2))\n"
                       "assert(math.abs(Actor.angular_velocity(a).z - 2) < 1e-3)\n"
                       "local pv = Actor.point_velocity(a, Unit.world_position(crate, 0) + Vector3(1, 0, 0))\n"
                       "assert(math.abs(pv.y - 2) < 0.01, tostring(pv))\n"
                       "Actor.set_linear_damping(a, 0.5); Actor.set_angular_damping(a, 0.25)\n"
                       "assert(math.abs(Actor.linear_damping(a) - 0.5) < 1e-6 and math.abs(Actor.angular_damping(a) - 0.25) < 1e-6)\n"
                       "Actor.disable_gravity(a); assert(Actor.gravity_disabled(a))\n"
                       "Actor.enable_gravity(a); assert(not Actor.gravity_disabled(a))\n"
                       "Actor.disable_collision(a); assert(Actor.collision_disabled(a))\n"
                       "Actor.enable_collision(a); assert(not Actor.collision_disabled(a))\n"
                       "Actor.wake_up(a); assert(not Actor.is_sleeping(a))\n"
                       "Actor.set_collision_filter(a, 'all')\n"
                       // A spawned box and sphere: no unit; destroyed by the physics world.
                       "local box = PhysicsWorld.spawn_box(pw, Vector3(5, 0, 2), Vector3(0.5, 0.5, 0.5), 'dynamic', 'default', 'wood')\n"
                       "local ball = PhysicsWorld.spawn_sphere(pw, Vector3(8, 0, 2), 0.3, 'dynamic', 'default', 'wood')\n"
                       "assert(Actor.is_dynamic(box) and Actor.is_dynamic(ball) and Actor.unit(box) == nil)\n"
                       "settle()\n"
                       "PhysicsWorld.destroy(pw, box)\n"
                       "assert(not pcall(Actor.velocity, box))\n"
                       // Destroying a unit's actor empties its slot.
                       "PhysicsWorld.destroy(pw, a)\n"
                       "assert(Unit.actor(crate, 'body') == nil)\n"
                       "assert(Unit.create_actor(crate, 'body') ~= nil)\n"
                       "Unit.destroy_actor(crate, 'body'); assert(Unit.actor(crate, 0) == nil)\n"
                       "Unit.enable_physics(crate); assert(Unit.actor(crate, 0) ~= nil)\n"
                       "Unit.disable_physics(crate); assert(Unit.actor(crate, 0) == nil)\n"
                       "print('actors done')"),
              "");
    EXPECT_EQ(log.count("[Lua] actors done"), 1);
}

TEST_F(PhysicsApiTest, RaycastsAndOverlapsAnswerThroughCallbacks)
{
    EXPECT_EQ(run_boot(std::string(scene) +
                       "answers = {}\n"
                       "local function keep(tag) return function(...) answers[#answers + 1] = {tag, select('#', ...), ...} end end\n"
                       "local closest = PhysicsWorld.make_raycast(pw, keep('closest'))\n"
                       "local any = PhysicsWorld.make_raycast(pw, keep('any'), 'any')\n"
                       "local all = PhysicsWorld.make_raycast(pw, keep('all'), 'all')\n"
                       "local statics = PhysicsWorld.make_raycast(pw, keep('statics'), 'closest', 'types', 'statics')\n"
                       "local none = PhysicsWorld.make_raycast(pw, keep('none'), 'collision_filter', 'none')\n"
                       "Raycast.cast(closest, Vector3(0, 0, 10), Vector3(0, 0, -2))\n" // normalised
                       "Raycast.cast(closest, Vector3(0, 0, 10), Vector3(0, 0, 1))\n"  // a miss
                       "Raycast.cast(closest, Vector3(0, 0, 10), Vector3(0, 0, 0))\n"  // never answered
                       "Raycast.cast(closest, Vector3(0, 0, 10), Vector3(0, 0, -1), 0)\n" // nor this
                       "Raycast.cast(any, Vector3(0, 0, 10), Vector3(0, 0, -1), 5)\n"  // too short
                       "Raycast.cast(all, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "Raycast.cast(all, Vector3(100, 0, 10), Vector3(0, 0, -1))\n"  // nothing there
                       "Raycast.cast(statics, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "Raycast.cast(none, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "PhysicsWorld.overlap(pw, keep('overlap'), 'shape', 'sphere', 'size', 0.3, 'position', Vector3(0, 0, 0.5))\n"
                       "PhysicsWorld.overlap(pw, keep('overlap statics'), 'shape', 'aabb', 'size', Vector3(1, 1, 1), 'types', 'statics')\n"
                       "closest, any, all, statics, none = nil\n"
                       "collectgarbage(); collectgarbage()\n" // casts in flight keep them alive
                       "World.update(w, 1 / 60)\n"
                       "assert(#answers == 0, 'answered after the next update, not before')\n"
                       "World.update(w, 1 / 60)\n"
                       "assert(#answers == 9, #answers)\n"
                       "local c = answers[1]\n"
                       "assert(c[1] == 'closest' and c[2] == 5 and c[3] == true and c[7] == a)\n"
                       "assert(math.abs(c[4].z - 1.025) < 0.005 and math.abs(c[5] - 8.975) < 0.005 and c[6].z > 0.99, tostring(c[4]))\n"
                       "assert(answers[2][2] == 1 and answers[2][3] == false)\n"
                       "assert(answers[3][1] == 'any' and answers[3][2] == 1 and answers[3][3] == false)\n"
                       "local hits = answers[4][3]\n"
                       "assert(answers[4][1] == 'all' and #hits == 2 and hits[1][4] == a and hits[2][4] == f)\n"
                       "assert(hits[1][2] < hits[2][2] and math.abs(hits[2][1].z - 0.025) < 0.03)\n"
                       "assert(answers[5][1] == 'all' and answers[5][2] == 0)\n"
                       "assert(answers[6][1] == 'statics' and answers[6][7] == f)\n"
                       "assert(answers[7][1] == 'none' and answers[7][3] == false)\n"
                       "assert(answers[8][1] == 'overlap' and #answers[8][3] == 1 and answers[8][3][1] == a)\n"
                       "assert(answers[9][1] == 'overlap statics' and #answers[9][3] == 1 and answers[9][3][1] == f)\n"
                       // An actor destroyed before the answer: nil in a raycast, left out of an overlap.
                       "answers = {}\n"
                       "local r = PhysicsWorld.make_raycast(pw, keep('late'))\n"
                       "Raycast.cast(r, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "PhysicsWorld.overlap(pw, keep('late overlap'), 'size', 0.3, 'position', Vector3(0, 0, 0.5))\n"
                       "World.update(w, 1 / 60)\n"
                       "Unit.destroy_actor(crate, 'body')\n"
                       "World.update(w, 1 / 60)\n"
                       "assert(answers[1][3] == true and answers[1][7] == nil)\n"
                       "assert(#answers[2][3] == 0)\n"
                       // A callback's error is reported and does not stop the others.
                       "answers = {}\n"
                       "local bad = PhysicsWorld.make_raycast(pw, function() error('boom') end)\n"
                       "Raycast.cast(bad, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "Raycast.cast(r, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "World.update(w, 1 / 60); World.update(w, 1 / 60)\n"
                       "assert(#answers == 1)\n"
                       // A callback may not release the world it is answered in.
                       "local release = PhysicsWorld.make_raycast(pw, function() Application.release_world(w) end)\n"
                       "Raycast.cast(release, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "World.update(w, 1 / 60); World.update(w, 1 / 60)\n"
                       "assert(World.num_units(w) == 2)\n"
                       "print('queries done')"),
              "");
    EXPECT_EQ(log.count("[Lua] queries done"), 1);
    EXPECT_EQ(log.count("Raycast callback error: "), 2);
    EXPECT_EQ(log.count("a world cannot be released while its flow runs"), 1);
}

// A query's callback may end what calls it: collect its own raycast, destroy the actor or
// the unit it hit, or try to release or update the world it is answered in (refused with
// an error naming the function). Run under AddressSanitizer: no read of freed memory.
TEST_F(PhysicsApiTest, QueryCallbacksThatEndTheirCaller)
{
    struct Case {
        const char *name;
        const char *query; // makes the query; its callback runs `act()`
        const char *act;   // the body of act(); `r` is the raycast (nil for an overlap)
        const char *after; // checked once the answers are in
    };
    const Case cases[] = {
        {"raycast collects itself", "raycast", "Raycast.__gc(r); Raycast.__gc(r)",
         "local ok, e = pcall(Raycast.cast, r, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
         "assert(not ok and e:find('Raycast has been released', 1, true), e)\n"},
        {"raycast casts again, then collects itself", "raycast",
         "Raycast.cast(r, Vector3(0, 0, 10), Vector3(0, 0, -1)); Raycast.__gc(r)", "assert(answers == 1)\n"},
        {"raycast releases its world", "raycast",
         "local ok, e = pcall(Application.release_world, w)\n"
         "assert(not ok and e:find('Application.release_world: ', 1, true), e)", "assert(World.num_units(w) == 2)\n"},
        {"raycast updates its world", "raycast",
         "local ok, e = pcall(World.update, w, 1 / 60)\n"
         "assert(not ok and e:find('World.update: ', 1, true), e)", ""},
        {"raycast destroys the unit it hit", "raycast", "World.destroy_unit(w, crate)",
         "assert(World.num_units(w) == 1 and not Unit.alive(crate))\n"},
        {"overlap releases its world", "overlap",
         "local ok, e = pcall(Application.release_world, w)\n"
         "assert(not ok and e:find('Application.release_world: ', 1, true), e)", "assert(World.num_units(w) == 2)\n"},
        {"overlap updates its world", "overlap",
         "local ok, e = pcall(World.update, w, 1 / 60)\n"
         "assert(not ok and e:find('World.update: ', 1, true), e)", ""},
        {"overlap destroys the actor it found", "overlap", "PhysicsWorld.destroy(pw, a)",
         "assert(Unit.actor(crate, 'body') == nil)\n"},
        {"overlap collects its handle", "overlap", "collectgarbage(); collectgarbage()", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool raycast = std::string(c.query) == "raycast";
        EXPECT_EQ(run_boot(std::string(scene) + "answers = 0\n" + "local r\n" +
                           "local function act()\n" + c.act + "\nend\n" +
                           "local function answer() answers = answers + 1; if answers == 1 then act() end end\n" +
                           (raycast ? "r = PhysicsWorld.make_raycast(pw, answer, 'all')\n"
                                      "Raycast.cast(r, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                                      "Raycast.cast(r, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                                    : "PhysicsWorld.overlap(pw, answer, 'size', 0.3, 'position', Vector3(0, 0, 0.5))\n"
                                      "PhysicsWorld.overlap(pw, answer, 'size', 0.3, 'position', Vector3(0, 0, 0.5))\n") +
                           "for i = 1, 4 do World.update(w, 1 / 60) end\n"
                           "assert(answers >= 1)\n" + c.after + "collectgarbage(); collectgarbage()\n"
                           "for i = 1, 4 do World.update(w, 1 / 60) end\n"
                           "print('done')\n"),
                  "");
        EXPECT_EQ(log.count("[Lua] done"), 1);
        EXPECT_EQ(log.count("callback error"), 0);
        log.clear();
    }
}

// tostring reads an engine object only while it lives: the handle an overlap returned
// names no freed record once the record is collected.
TEST_F(PhysicsApiTest, ToStringOfAnObjectThatIsGoneReadsNothing)
{
    EXPECT_EQ(run_boot(std::string(scene) +
                       "local h = PhysicsWorld.overlap(pw, function() end, 'size', 1, 'position', Vector3(0, 0, 3))\n"
                       "World.update(w, 1 / 60); World.update(w, 1 / 60)\n"
                       "collectgarbage(); collectgarbage()\n"
                       "assert(tostring(h):find('^%[Unknown C object'), tostring(h))\n"
                       "assert(tostring(a):find(\"^%[Actor '\"), tostring(a))\n"
                       "local gone = Unit.actor(crate, 'body')\n"
                       "World.destroy_unit(w, crate)\n"
                       "assert(tostring(gone):find('^%[Unknown C object'), tostring(gone))\n"),
              "");
}

TEST_F(PhysicsApiTest, MoversAndJointsOfUnits)
{
    EXPECT_EQ(run_boot(std::string(scene) +
                       "local walker = World.spawn_unit(w, 'units/walker', Vector3(5, 0, 0))\n"
                       "local m = Unit.mover(walker)\n"
                       "assert(m and Mover.unit(m) == walker)\n"
                       "local p = Mover.position(m); assert(math.abs(p.x - 5) < 1e-5 and math.abs(p.z) < 1e-5, tostring(p))\n"
                       "for i = 1, 30 do Mover.move(m, Vector3(0.05, 0, -0.1)); World.update(w, 1 / 60) end\n"
                       "assert(Mover.standing(m) and Mover.standing_frames(m) == 30 and Mover.flying_frames(m) == 0)\n"
                       "local sides, up, down = Mover.collision(m)\n"
                       "assert(down and not up and not sides)\n"
                       "assert(math.abs(Mover.position(m).x - 6.5) < 0.01)\n"
                       "Mover.move(m, Vector3(0, 0, 1))\n"
                       "assert(not Mover.standing(m) and Mover.flying_frames(m) == 1)\n"
                       "Mover.set_position(m, Vector3(1, 2, 3))\n"
                       "p = Mover.position(m); assert(p.x == 1 and p.y == 2 and math.abs(p.z - 3) < 1e-6, tostring(p))\n"
                       "Mover.set_collision_filter(m, 'all')\n"
                       // The pendulum's joint is not made at spawn; the script makes it.
                       "local pend = World.spawn_unit(w, 'units/pendulum', Vector3(0, 5, 4))\n"
                       "local bob = Unit.actor(pend, 'bob')\n"
                       "local j = Unit.create_joint(pend, 'string')\n"
                       "assert(j ~= nil)\n"
                       "Actor.set_velocity(bob, Vector3(3, 0, 0))\n"
                       "for i = 1, 90 do World.update(w, 1 / 60)\n"
                       "  local d = Vector3.length(Unit.world_position(pend, 1) - Vector3(0, 5, 4))\n"
                       "  assert(d < 1.06, d) end\n"
                       "Unit.destroy_joint(pend, 'string')\n"
                       "local custom = Unit.create_custom_joint(pend, 'string', 'global_anchor', Vector3(0, 5, 6), 'ignored', 1)\n"
                       "assert(custom ~= nil)\n"
                       "Unit.disable_physics(walker)\n"
                       "assert(Unit.mover(walker) == nil and not pcall(Mover.position, m))\n"
                       "print('movers done')"),
              "");
    EXPECT_EQ(log.count("[Lua] movers done"), 1);
}

TEST_F(PhysicsApiTest, BadArgumentsRaiseAndNeverCrash)
{
    EXPECT_EQ(run_boot(std::string(scene) +
                       "local walker = World.spawn_unit(w, 'units/walker')\n"
                       "local m = Unit.mover(walker)\n"
                       "local ray = PhysicsWorld.make_raycast(pw, function() end)\n"
                       "local gone = PhysicsWorld.spawn_box(pw, Vector3(0, 9, 1), Vector3(1, 1, 1), 'dynamic', 'default', 'wood')\n"
                       "PhysicsWorld.destroy(pw, gone)\n"
                       "local cases = {\n"
                       "  {function() Actor.velocity(nil) end, \"bad argument #1 to 'Actor.velocity'\"},\n"
                       "  {function() Actor.velocity(crate) end, \"bad argument #1 to 'Actor.velocity'\"},\n"
                       "  {function() Actor.velocity(gone) end, 'the actor has been destroyed'},\n"
                       "  {function() Actor.add_impulse(a, 3) end, \"bad argument #2 to 'Actor.add_impulse'\"},\n"
                       "  {function() Actor.add_impulse(a, Vector3(0/0, 0, 0)) end, 'the vector must be finite'},\n"
                       "  {function() Actor.push(a, Vector3(1, 0, 0), -1) end, 'a mass must be zero or more'},\n"
                       "  {function() Actor.set_linear_damping(a, 'x') end, \"bad argument #2 to 'Actor.set_linear_damping'\"},\n"
                       "  {function() Actor.set_collision_filter(a, 'nowhere') end, 'no collision filter of that name'},\n"
                       "  {function() Actor.velocity(m) end, 'the actor has been destroyed'},\n"
                       "  {function() Mover.move(a, Vector3(0, 0, 0)) end, 'the mover has been destroyed'},\n"
                       "  {function() Mover.move(m) end, \"bad argument #2 to 'Mover.move'\"},\n"
                       "  {function() PhysicsWorld.destroy(w, a) end, \"bad argument #1 to 'PhysicsWorld.destroy' (PhysicsWorld expected\"},\n"
                       "  {function() PhysicsWorld.destroy(pw, nil) end, \"bad argument #2 to 'PhysicsWorld.destroy'\"},\n"
                       "  {function() PhysicsWorld.overlap(pw, 'not a function') end, \"bad argument #2 to 'PhysicsWorld.overlap'\"},\n"
                       "  {function() PhysicsWorld.overlap(pw, print, 'size') end, 'key and value pairs'},\n"
                       "  {function() PhysicsWorld.overlap(pw, print, 'colour', 1) end, \"unknown option 'colour'\"},\n"
                       "  {function() PhysicsWorld.overlap(pw, print, 'size', {}) end, \"bad argument #4 to 'PhysicsWorld.overlap'\"},\n"
                       "  {function() PhysicsWorld.make_raycast(pw, print, 'sideways') end, \"unknown option 'sideways'\"},\n"
                       "  {function() PhysicsWorld.make_raycast(pw) end, \"bad argument #2 to 'PhysicsWorld.make_raycast'\"},\n"
                       "  {function() PhysicsWorld.spawn_box(pw, Vector3(0, 0, 0), Vector3(1, 1, 1), 'nothing', 'default', 'wood') end, 'no actor template'},\n"
                       "  {function() PhysicsWorld.spawn_sphere(pw, Vector3(0, 0, 0), -1, 'dynamic', 'default', 'wood') end, 'a radius must be above zero'},\n"
                       "  {function() PhysicsWorld.spawn_sphere(pw, Vector3(0, 0, 0), 1, 'dynamic', 'default', 'stone') end, 'no material'},\n"
                       "  {function() Raycast.cast(pw, Vector3(0, 0, 0), Vector3(0, 0, 1)) end, \"bad argument #1 to 'Raycast.cast' (Raycast expected\"},\n"
                       "  {function() Raycast.cast(ray, Vector3(0, 0, 0), Vector3(0, 0, 1), -1) end, 'a length must be zero or more'},\n"
                       "  {function() Raycast.cast(ray, Vector3(0, 0, 0), Vector3(0, 0, 1), 0/0) end, 'a length must be zero or more'},\n"
                       "  {function() Unit.actor(nil, 'x') end, \"bad argument #1 to 'Unit.actor'\"},\n"
                       "  {function() Unit.create_actor(crate, 'nothing') end, 'the unit has no actor of that name'},\n"
                       "  {function() Unit.destroy_joint(crate, 'nothing') end, 'the unit has no joint of that name'},\n"
                       "  {function() Unit.create_custom_joint(crate, 'nothing') end, 'the unit has no joint of that name'},\n"
                       "  {function() World.physics_world(pw) end, \"bad argument #1 to 'World.physics_world'\"},\n"
                       "}\n"
                       "for i, c in ipairs(cases) do\n"
                       "  local ok, e = pcall(c[1])\n"
                       "  assert(not ok, 'case ' .. i .. ' did not raise')\n"
                       "  assert(tostring(e):find(c[2], 1, true), 'case ' .. i .. ': ' .. tostring(e))\n"
                       "end\n"
                       // Raycast.__gc called by hand on anything is harmless; the object
                       // itself still works.
                       "Raycast.__gc(pw); Raycast.__gc(42)\n"
                       "Raycast.cast(ray, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       // A released world's physics world raises.
                       "local w2 = Application.new_world()\n"
                       "local pw2 = World.physics_world(w2)\n"
                       "Application.release_world(w2)\n"
                       "local ok, e = pcall(PhysicsWorld.spawn_box, pw2, Vector3(0, 0, 0), Vector3(1, 1, 1), 'dynamic', 'default', 'wood')\n"
                       "assert(not ok and e:find('has been released'), e)\n"
                       "print('bad arguments done')"),
              "");
    EXPECT_EQ(log.count("[Lua] bad arguments done"), 1);
}

// Run under AddressSanitizer: a world released with casts and overlaps pending answers
// nothing; a state closed with casts pending (the Application goes) cancels them in the
// worlds that outlive it.
TEST_F(PhysicsApiTest, TeardownWithQueriesPendingIsClean)
{
    EXPECT_EQ(run_boot(std::string(scene) +
                       "called = 0\n"
                       "local ray = PhysicsWorld.make_raycast(pw, function() called = called + 1 end, 'all')\n"
                       "for i = 1, 3 do Raycast.cast(ray, Vector3(0, 0, 10), Vector3(0, 0, -1)) end\n"
                       "PhysicsWorld.overlap(pw, function() called = called + 1 end)\n"
                       "World.update(w, 1 / 60)\n"
                       "Raycast.cast(ray, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "Application.release_world(w)\n"
                       "ray = nil; collectgarbage(); collectgarbage()\n"
                       "assert(called == 0)\n"
                       // Pending when the program ends: the world and the state go in
                       // whatever order the Application takes.
                       "local w3 = Application.new_world()\n"
                       "World.spawn_unit(w3, 'units/floor')\n"
                       "local pw3 = World.physics_world(w3)\n"
                       "local r3 = PhysicsWorld.make_raycast(pw3, function() called = called + 1 end)\n"
                       "Raycast.cast(r3, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "PhysicsWorld.overlap(pw3, function() called = called + 1 end)\n"
                       "World.update(w3, 1 / 60)\n"
                       "Raycast.cast(r3, Vector3(0, 0, 10), Vector3(0, 0, -1))\n"
                       "print('teardown done')"),
              "");
    EXPECT_EQ(log.count("[Lua] teardown done"), 1);
    app.reset();
}

} // namespace
} // namespace tallow::test

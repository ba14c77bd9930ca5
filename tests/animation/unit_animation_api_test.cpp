// Unit.play_simple_animation and Unit.stop_simple_animation over a whole Application whose
// worlds have the animation service, with a unit compiled from source (its animation data
// through the animation compiler).
#include "tests/script/boot_script_fixture.h"

#include "animation/animation_resources.h"
#include "animation/world_animation_service.h"

namespace tallow::test {
namespace {

const char *const hinge_unit = "nodes = [ { name = \"root\" }\n"
                               "  { name = \"leaf\" parent = \"root\" position = [0.5 0 1] } ]\n"
                               "simple_animations = [ { name = \"open\" nodes = [\"leaf\"] } ]\n"
                               "simple_animation_data = { length = 2 tracks = [ { node = \"leaf\" keys = [\n"
                               "  { time = 0 position = [0.5 0 1] }\n"
                               "  { time = 2 position = [2.5 0 1] } ] } ] }\n";

class UnitAnimationApiTest : public BootScriptTest {
  protected:
    UnitAnimationApiTest()
    {
        world_services.animation = create_animation_service;
        register_resource_types = register_animation_resource_types;
        write_data({{"package", "boot", package_resource({{"unit", "units/hinge"}})},
                    {"unit", "units/hinge", compiled_unit(hinge_unit)}});
    }
};

TEST_F(UnitAnimationApiTest, ScriptsPlayAndStopSimpleAnimations)
{
    EXPECT_EQ(run_boot("w = Application.new_world()\n"
                       "u = World.spawn_unit(w, 'units/hinge')\n"
                       "Unit.play_simple_animation(u, nil, nil, false, 1, 'open')\n"
                       "Unit.play_simple_animation(u, nil, nil, false, 1, 'no_such_group')\n"
                       "World.update(w, 0.5)\n"
                       "World.update(w, 0.5)\n"
                       "local p = Unit.local_position(u, 1)\n"
                       "assert(math.abs(p.x - 1.5) < 1e-4, tostring(p.x))\n"
                       "Unit.stop_simple_animation(u, 'open')\n"
                       "World.update(w, 0.5)\n"
                       "p = Unit.local_position(u, 1)\n"
                       "assert(math.abs(p.x - 1.5) < 1e-4, 'stopped: the node stays')\n"
                       "Unit.play_simple_animation(u, 1.5, nil, true, -2, 'open')\n"
                       "World.update(w, 0.5)\n"
                       "p = Unit.local_position(u, 1)\n"
                       "assert(math.abs(p.x - 1.0) < 1e-4, tostring(p.x))\n"
                       "Unit.stop_simple_animation(u)\n"
                       "local ok, e = pcall(Unit.play_simple_animation, u, 'x')\n"
                       "assert(not ok and e:find('Unit.play_simple_animation'), e)\n"),
              "");
}

class UnitAnimationWithoutServiceTest : public BootScriptTest {
  protected:
    UnitAnimationWithoutServiceTest()
    {
        write_data({{"package", "boot", package_resource({{"unit", "units/hinge"}})},
                    {"unit", "units/hinge", compiled_unit(hinge_unit)}});
    }
};

TEST_F(UnitAnimationWithoutServiceTest, SimpleAnimationsRaiseThatTheServiceIsMissing)
{
    EXPECT_EQ(run_boot("local u = World.spawn_unit(Application.new_world(), 'units/hinge')\n"
                       "local ok, e = pcall(Unit.play_simple_animation, u)\n"
                       "assert(not ok and e:find('Unit.play_simple_animation: the animation service is not built yet'), e)\n"
                       "ok, e = pcall(Unit.stop_simple_animation, u)\n"
                       "assert(not ok and e:find('the animation service is not built yet'), e)\n"),
              "");
}

} // namespace
} // namespace tallow::test

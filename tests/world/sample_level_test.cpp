// The sample level as the build compiles it from data/levels/sample.level: loaded with the
// boot script through the resource manager, its flow graph drops a crate and, two seconds
// later, the boot script's level script hears of it.
#include "script/runtime/lua_flow_script.h"
#include "script/runtime/lua_resource.h"
#include "tests/resource/resource_fixture.h"
#include "tests/support/log_capture.h"
#include "world/flow/flow.h"
#include "world/levels/level.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <lua.hpp>

namespace tallow::test {
namespace {

class SampleLevelTest : public ResourceFixture {};

TEST_F(SampleLevelTest, FlowDropsACrateAndTellsTheBootScript)
{
    ExplodedDatabase *db = make_new<ExplodedDatabase>(allocator, TALLOW_BUILT_DATA_DIR, allocator);
    ResourceLoader *sample_loader = make_new<ResourceLoader>(allocator, &registry, db, allocator);
    ResourceManager *sample = make_new<ResourceManager>(allocator, *sample_loader, allocator);
    register_resource_types(*sample, nullptr);
    ASSERT_TRUE(sample->register_type(unit_type, unit_resource_callbacks()));
    ASSERT_TRUE(sample->register_type(NameId64("level"), level_resource_callbacks()));
    ASSERT_TRUE(sample->register_type(lua_script_type, lua_resource_type_callbacks()));
    ResourcePackage *boot = create_resource_package(allocator, *sample, nullptr, NameId64("boot"), nullptr, 0);
    ResourcePackage *units = create_resource_package(allocator, *sample, nullptr, NameId64("sample_units"), nullptr, 0);
    ASSERT_NE(boot, nullptr);
    ASSERT_NE(units, nullptr);
    boot->load();
    units->load();
    boot->flush();
    units->flush();
    {
        ResourceScriptSource source(*sample);
        LuaEnvironment env(&source, allocator);
        ASSERT_TRUE(env.is_valid());
        ASSERT_FALSE(env.require("boot").error);
        lua_State *L = env.state();
        lua_settop(L, 0);
        lua_getglobal(L, "LevelScript");
        ASSERT_TRUE(lua_istable(L, -1));
        i32 level_script = luaL_ref(L, LUA_REGISTRYINDEX);
        LuaFlowScript scripts(env);
        WorldParams params;
        params.resource_manager = sample;
        params.script = &scripts;
        World world(allocator, params);
        const auto *level = static_cast<const LevelResource *>(sample->get(NameId64("level"), NameId64("levels/sample")));
        ASSERT_NE(level, nullptr);
        LogCapture log("Lua");
        Level *l = world.load_level(*level, level_script);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(world.units().size(), 1u); // the lamp post
        l->trigger_level_loaded();
        ASSERT_EQ(world.units().size(), 2u); // and the crate
        EXPECT_EQ(translation(world.units()[1]->scene_graph().world_pose(0)).z, 5.0f);
        int frames_to_hear = -1;
        for (int frame = 0; frame < 40 && frames_to_hear < 0; ++frame) {
            world.update(0.1f);
            if (log.contains("crate has landed"))
                frames_to_hear = frame;
        }
        // queued at the first update (level time 0), due at 2 s: heard in the update whose
        // level time passes 2 (the 20th, or the 21st as the sum of f32 steps rounds)
        EXPECT_GE(frames_to_hear, 19);
        EXPECT_LE(frames_to_hear, 20);
        EXPECT_TRUE(world.validate());
    }
    uninstall_flow();
    units->unload();
    boot->unload();
    delete_with_allocator(allocator, units);
    delete_with_allocator(allocator, boot);
    delete_with_allocator(allocator, sample);
    delete_with_allocator(allocator, sample_loader);
    delete_with_allocator(allocator, db);
}

} // namespace
} // namespace tallow::test

#include "script_fixture.h"

#include "foundation/io/disk_file_system.h"
#include "foundation/threads/thread_registry.h"
#include "resource/exploded_database.h"
#include "resource/resource_loader.h"
#include "script/runtime/lua_resource.h"
#include "tests/support/resource_test_data.h"
#include "tests/support/temp_directory.h"

namespace tallow::test {
namespace {

TEST(LuaResource, ScriptsComeFromLoadedLuaResourcesAndBadOnesFailToLoad)
{
    LogRecorder log;
    TempDirectory dir;
    DiskFileSystem files(dir.path(), default_allocator());
    const std::string good = "return 'from the database'";
    ASSERT_TRUE(write_database(files, {
                                          {"lua", "good", lua_resource(good, u32(good.size()))},
                                          {"lua", "long", lua_resource("return 1", 1000)},
                                          {"lua", "short", "ab"},
                                      }));
    TraceAllocator allocator("lua_resource_test", default_allocator());
    {
        ThreadRegistry registry(default_allocator(), "main");
        ExplodedDatabase database(dir.path(), allocator);
        ResourceLoader loader(&registry, &database, allocator);
        ResourceManager manager(loader, allocator);
        ASSERT_TRUE(manager.register_type(NameId64("lua"), lua_resource_type_callbacks()));
        for (const char *name : {"good", "long", "short"})
            ASSERT_TRUE(manager.load(NameId64("lua"), NameId64(name), nullptr, manager.allocator()));
        manager.flush_until(manager.new_request_id());

        ResourceScriptSource source(manager);
        {
            LuaEnvironment env(&source, allocator);
            CallResult r = env.require("good");
            ASSERT_FALSE(r.error) << lua_tostring(r.state, -1);
            EXPECT_STREQ(lua_tostring(r.state, -1), "from the database");
            lua_settop(r.state, 0);
            for (const char *name : {"long", "short"}) {
                SCOPED_TRACE(name);
                r = env.require(name);
                ASSERT_TRUE(r.error);
                EXPECT_NE(std::string(lua_tostring(r.state, -1)).find("script not found"), std::string::npos);
                lua_settop(r.state, 0);
            }
        }
        EXPECT_EQ(log.count("bad length 1000 for 12 bytes"), 1);
        EXPECT_EQ(log.count("bad length 0 for 2 bytes"), 1);
        for (const char *name : {"good", "long", "short"})
            manager.unload(NameId64("lua"), NameId64(name), manager.allocator());
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

} // namespace
} // namespace tallow::test

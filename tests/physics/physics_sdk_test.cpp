// The SDK holder: what its output stream logs, the fatal stop when the layer cannot be
// made, worlds made and destroyed through it.
#include "physics_fixture.h"

#include "tests/support/log_capture.h"

namespace tallow::test {
namespace {

TEST(PhysicsSdk, OutputStreamLogsWarningsAndErrorsButNotTheMeshNotice)
{
    struct Case {
        const char *name;
        u32 code;
        const char *message;
        const char *expect; // null: nothing logged
    };
    const Case cases[] = {
        {"debug warning", 206, "slow pair", "PhysX: slow pair file.cpp 12"},
        {"error", 1, "bad size", "physics error 1: bad size"},
        {"mesh notice as error", 1, "createActor: Dynamic triangle mesh instantiated!", nullptr},
        {"mesh notice as warning", 206, "createActor: Dynamic triangle mesh instantiated!", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PhysicsOutputStream out;
        LogCapture log;
        out.report_error(c.code, c.message, "file.cpp", 12);
        if (c.expect)
            EXPECT_TRUE(log.contains(c.expect));
        else
            EXPECT_TRUE(log.lines().empty());
    }
}

TEST(PhysicsSdkDeathTest, ALayerThatCannotBeMadeEndsTheProgramWithTheMessage)
{
    EXPECT_EXIT(create_physics_sdk_with(default_allocator(), nullptr,
                                        [](Allocator &, px::IErrorSink *) -> px::ISdk * { return nullptr; }),
                ::testing::ExitedWithCode(255), "NxCreatePhysicsSDK\\(\\) failed! Make sure you have the correct PhysX version installed.");
}

TEST(PhysicsSdk, CurrentSdkMakesWorldsAndIsClearedOnRelease)
{
    PhysicsSdk *sdk = create_physics_sdk(default_allocator(), nullptr);
    ASSERT_TRUE(sdk);
    EXPECT_EQ(current_physics_sdk(), sdk);
    PhysicsWorld *a = sdk->create_world(nullptr);
    PhysicsWorld *b = sdk->create_world(nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->scene(), b->scene());
    sdk->destroy_world(a);
    sdk->destroy_world(b);
    release_physics_sdk(default_allocator(), sdk);
    EXPECT_EQ(current_physics_sdk(), nullptr);
}

TEST(PhysicsSdk, SceneThatCannotBeMadeGivesNoWorld)
{
    static px::RecordingSdk recording;
    PhysicsSdk sdk(default_allocator(), nullptr, [](Allocator &, px::IErrorSink *) -> px::ISdk * { return &recording; });
    recording.fail_next_scene();
    LogCapture log;
    EXPECT_EQ(sdk.create_world(nullptr), nullptr);
    EXPECT_TRUE(log.contains("could not be made"));
    EXPECT_EQ(recording.scene_count(), 0u);
}

} // namespace
} // namespace tallow::test

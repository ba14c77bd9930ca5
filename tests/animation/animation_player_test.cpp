// The animation player: its pool of playbacks, time and loops, events, and sampling on the
// thread pool.
#include "animation/animation_player.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/animation/animation_fixture.h"

namespace tallow::test {
namespace {

class AnimationPlayerTest : public ::testing::Test {
  protected:
    ReadAnimation slide2{slide(2, 6, {{0, 1}, {0.5f, 2}, {1.5f, 3}, {2, 4}})};
    AnimationPlayer player{default_allocator(), nullptr};

    f32 time(u32 h)
    {
        f32 t = -1;
        u32 loops = 0;
        EXPECT_TRUE(player.get_time(h, t, loops));
        return t;
    }
    u32 loops(u32 h)
    {
        f32 t = 0;
        u32 n = 0;
        EXPECT_TRUE(player.get_time(h, t, n));
        return n;
    }
    std::vector<u32> events(u32 h)
    {
        u32 ids[max_animation_events];
        u32 n = player.take_events(h, ids);
        return std::vector<u32>(ids, ids + n);
    }
    f32 x(u32 h)
    {
        AnimationPose pose;
        EXPECT_TRUE(player.pose(h, pose));
        return pose.translations[0].x;
    }
};

TEST_F(AnimationPlayerTest, PendingTimeAdvancesWrapsAndClamps)
{
    u32 looping = player.play(&slide2.view, true);
    u32 once = player.play(&slide2.view, false);
    EXPECT_EQ(x(looping), 0.0f) << "the first frame before any update";
    const struct {
        f32 dt, looping_time;
        u32 looping_loops;
        f32 once_time;
    } steps[] = {{0.75f, 0.75f, 0, 0.75f}, {1.0f, 1.75f, 0, 1.75f}, {0.5f, 0.25f, 1, 2}, {4.5f, 0.75f, 3, 2}};
    for (const auto &s : steps) {
        SCOPED_TRACE(s.dt);
        player.add_pending_time(looping, s.dt);
        player.add_pending_time(once, s.dt);
        player.update();
        EXPECT_NEAR(time(looping), s.looping_time, 1e-5f);
        EXPECT_EQ(loops(looping), s.looping_loops);
        EXPECT_NEAR(x(looping), s.looping_time, 1e-5f) << "pose sampled at the new time";
        EXPECT_EQ(time(once), s.once_time);
        EXPECT_EQ(loops(once), 0u);
    }
    player.update();
    EXPECT_NEAR(time(looping), 0.75f, 1e-5f) << "no pending time: the same time and pose";
}

TEST_F(AnimationPlayerTest, SetTimeRepositionsAndDropsPendingTime)
{
    u32 h = player.play(&slide2.view, true);
    player.add_pending_time(h, 0.3f);
    player.set_time(h, 1.25f);
    player.update();
    EXPECT_EQ(time(h), 1.25f);
    EXPECT_NEAR(x(h), 1.25f, 1e-5f);
    EXPECT_TRUE(events(h).empty()) << "a jump passes no keys";
    player.set_time_and_loops(h, 4.5f, 7);
    player.update();
    EXPECT_NEAR(time(h), 0.5f, 1e-5f) << "a looping playback wraps the time it is set to";
    EXPECT_EQ(loops(h), 7u);
}

TEST_F(AnimationPlayerTest, KeysPassedAreReportedAcrossWraps)
{
    u32 h = player.play(&slide2.view, true);
    player.add_pending_time(h, 0.5f);
    player.update();
    EXPECT_EQ(events(h), (std::vector<u32>{2})) << "(0, 0.5]: the key at 0 is where it started";
    player.add_pending_time(h, 2.0f);
    player.update();
    EXPECT_EQ(events(h), (std::vector<u32>{3, 4, 1, 2})) << "to the end, then from the start again";
    EXPECT_TRUE(events(h).empty()) << "take_events empties the list";
}

TEST_F(AnimationPlayerTest, EventsBetweenTwoTakesAreBoundedAtSixteen)
{
    u32 h = player.play(&slide2.view, true);
    for (int i = 0; i < 10; ++i) {
        player.add_pending_time(h, 2.0f); // four keys a pass
        player.update();
    }
    std::vector<u32> ids = events(h);
    ASSERT_EQ(ids.size(), max_animation_events);
    EXPECT_EQ(ids[0], 2u);
    player.add_pending_time(h, 1000.0f); // many passes in one update
    player.update();
    EXPECT_EQ(events(h).size(), max_animation_events);
    EXPECT_EQ(loops(h), 510u);
}

TEST_F(AnimationPlayerTest, StoppedAndUnknownHandlesAreRefused)
{
    u32 a = player.play(&slide2.view, false);
    u32 b = player.play(&slide2.view, false);
    u32 c = player.play(&slide2.view, false);
    player.add_pending_time(c, 1.0f);
    player.stop(b); // the middle: c moves into its place
    EXPECT_TRUE(player.validate());
    player.update();
    EXPECT_EQ(time(c), 1.0f) << "the moved playback keeps its handle and state";
    EXPECT_EQ(time(a), 0.0f);
    u32 d = player.play(&slide2.view, false);
    EXPECT_NE(d, b) << "a reused slot gets a new generation";
    f32 t;
    u32 loops_out;
    AnimationPose pose;
    u32 ids[max_animation_events];
    for (u32 stale : {b, no_animation_playback, 12345u, 0u}) {
        SCOPED_TRACE(stale);
        player.stop(stale);
        player.set_time(stale, 1);
        player.add_pending_time(stale, 1);
        EXPECT_FALSE(player.is_playing(stale));
        EXPECT_FALSE(player.get_time(stale, t, loops_out));
        EXPECT_FALSE(player.pose(stale, pose));
        EXPECT_EQ(player.take_events(stale, ids), 0u);
    }
    EXPECT_EQ(player.count(), 3u);
    EXPECT_TRUE(player.is_playing(d));
    EXPECT_TRUE(player.validate());
    EXPECT_EQ(player.play(nullptr, false), no_animation_playback);
}

TEST_F(AnimationPlayerTest, PoolSamplesTheSameAsTheCallingThread)
{
    ThreadRegistry registry{default_allocator(), "main"};
    ThreadPool pool(default_allocator(), 3, registry);
    AnimationPlayer pooled(default_allocator(), &pool);
    std::vector<u32> inline_handles, pooled_handles;
    for (u32 i = 0; i < 200; ++i) {
        inline_handles.push_back(player.play(&slide2.view, i % 2 == 0));
        pooled_handles.push_back(pooled.play(&slide2.view, i % 2 == 0));
    }
    for (int frame = 0; frame < 5; ++frame) {
        for (u32 i = 0; i < 200; ++i) {
            player.add_pending_time(inline_handles[i], 0.01f * f32(i));
            pooled.add_pending_time(pooled_handles[i], 0.01f * f32(i));
        }
        player.update();
        pooled.update();
    }
    for (u32 i = 0; i < 200; ++i) {
        AnimationPose a, b;
        ASSERT_TRUE(player.pose(inline_handles[i], a));
        ASSERT_TRUE(pooled.pose(pooled_handles[i], b));
        EXPECT_EQ(a.translations[0].x, b.translations[0].x) << i;
        EXPECT_EQ(a.rotations[0].z, b.rotations[0].z) << i;
    }
}

} // namespace
} // namespace tallow::test

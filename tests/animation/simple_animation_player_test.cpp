// The simple animation player over a small scene graph: ranges, reverse play, looping, end
// callbacks (including one that plays on the same player) and poses written into nodes.
#include "animation/animation_player.h"
#include "animation/simple_animation_player.h"
#include "foundation/memory/memory_globals.h"
#include "tests/animation/animation_fixture.h"
#include "world/units/scene_graph.h"

#include <algorithm>
#include <cstring>

namespace tallow::test {
namespace {

class SimpleAnimationPlayerTest : public ::testing::Test {
  public: // an end callback reaches the fixture
    SimpleAnimationPlayerTest() { ended.clear(); }

    ReadAnimation slide2{slide(2)};
    AnimationPlayer player{default_allocator(), nullptr};
    SimpleAnimationPlayer simple{default_allocator(), player};
    SceneGraph graph{default_allocator(), 4};
    const u32 nodes[2] = {2, 3};
    const int group_a = 0, group_b = 0; // keys: their addresses
    static inline std::vector<u32> ended;

    static AnimationEndCallback record_end(u32 id)
    {
        AnimationEndCallback c;
        c.function = [](const u8 *data) {
            u32 v;
            memcpy(&v, data, 4);
            ended.push_back(v);
        };
        memcpy(c.data, &id, 4);
        return c;
    }
    SimpleAnimationParams params(f32 from, f32 to, f32 speed, bool loop, u32 end_id = 0)
    {
        SimpleAnimationParams p;
        p.from = from;
        p.to = to;
        p.speed = speed;
        p.loop = loop;
        if (end_id)
            p.end_callback = record_end(end_id);
        return p;
    }
    bool play(const void *key, const SimpleAnimationParams &p)
    {
        return simple.play(graph, key, slide2.view, nodes, 2, p);
    }
    void frame(f32 dt)
    {
        simple.update(dt);
        player.update();
        simple.write_poses();
    }
};

TEST_F(SimpleAnimationPlayerTest, ForwardPlayStopsAtToAndEndsOnTheNextUpdate)
{
    ASSERT_TRUE(play(&group_a, params(animation_default_time, 1.0f, 1, false, 7)));
    const f32 expected[] = {0.4f, 0.8f, 1.0f};
    for (f32 t : expected) {
        frame(0.4f);
        EXPECT_NEAR(simple.time(graph, &group_a), t, 1e-6f);
        EXPECT_NEAR(translation(graph.local_pose(2)).x, t, 1e-5f) << "track 0 poses node 2";
        EXPECT_TRUE(ended.empty());
    }
    EXPECT_TRUE(simple.is_playing(graph));
    frame(0.4f);
    EXPECT_EQ(ended, (std::vector<u32>{7}));
    EXPECT_FALSE(simple.is_playing(graph));
    EXPECT_EQ(player.count(), 0u) << "its playback stopped too";
}

TEST_F(SimpleAnimationPlayerTest, ReversePlayStopsAtReachableToAndHoldsAtZeroOtherwise)
{
    ASSERT_TRUE(play(&group_a, params(2, 0.5f, -1, false, 1)));
    ASSERT_TRUE(play(&group_b, params(0.5f, -1, -1, false, 2)));
    for (int i = 0; i < 3; ++i)
        frame(0.6f);
    EXPECT_EQ(simple.time(graph, &group_a), 0.5f);
    EXPECT_EQ(simple.time(graph, &group_b), 0.0f);
    frame(0.6f);
    EXPECT_EQ(ended, (std::vector<u32>{1}));
    EXPECT_TRUE(simple.has_playback(graph, &group_b)) << "a `to` below 0 is never reached";
    EXPECT_EQ(simple.speed(graph, &group_b), -1.0f);
}

TEST_F(SimpleAnimationPlayerTest, LoopingPlaybackWrapsToFrom)
{
    ASSERT_TRUE(play(&group_a, params(0.5f, 1.5f, 1, true)));
    const f32 expected[] = {1.1f, 1.7f, 1.1f};
    for (f32 t : expected) {
        frame(0.6f);
        EXPECT_NEAR(simple.time(graph, &group_a), t, 1e-5f);
    }
    EXPECT_NEAR(translation(graph.local_pose(2)).x, 1.1f, 1e-5f);
}

TEST_F(SimpleAnimationPlayerTest, PlayingAPlayingKeyContinuesFromItsTime)
{
    ASSERT_TRUE(play(&group_a, params(animation_default_time, animation_default_time, 1, false)));
    frame(0.5f);
    ASSERT_TRUE(play(&group_a, params(animation_default_time, animation_default_time, 2, false)));
    EXPECT_EQ(simple.time(graph, &group_a), 0.5f) << "no from: the current time";
    frame(0.25f);
    EXPECT_EQ(simple.time(graph, &group_a), 1.0f) << "the new speed";
    EXPECT_EQ(player.count(), 1u) << "the same playback";
}

TEST_F(SimpleAnimationPlayerTest, EndCallbackMayPlayAndStopOnTheSamePlayer)
{
    static SimpleAnimationPlayerTest *test;
    test = this;
    const int keys[3] = {};
    for (const int &k : keys)
        ASSERT_TRUE(play(&k, params(0, 0.1f, 1, false, 1)));
    AnimationEndCallback chain;
    chain.function = [](const u8 *) {
        ended.push_back(99);
        // Starts another playback and stops one that also just ended.
        EXPECT_TRUE(test->play(&test->group_b, test->params(0, 0.2f, 1, false, 5)));
        test->simple.stop(test->graph, &test->group_a);
    };
    SimpleAnimationParams p = params(0, 0.1f, 1, false);
    p.end_callback = chain;
    ASSERT_TRUE(play(&group_a, p));
    frame(0.1f);
    frame(0.1f); // all four end; the chain starts group_b
    EXPECT_EQ(ended.size(), 4u);
    EXPECT_EQ(std::count(ended.begin(), ended.end(), 99u), 1);
    EXPECT_TRUE(simple.has_playback(graph, &group_b));
    EXPECT_EQ(simple.count(), 1u);
    frame(0.1f);
    frame(0.1f);
    frame(0.1f);
    EXPECT_EQ(ended.back(), 5u);
    EXPECT_EQ(simple.count(), 0u);
    EXPECT_TRUE(player.validate());
}

TEST_F(SimpleAnimationPlayerTest, StopsLeaveTheOthersPlayingWithoutCallbacks)
{
    const int keys[3] = {};
    for (const int &k : keys)
        ASSERT_TRUE(play(&k, params(0, 2, 1, false, 3)));
    simple.stop(graph, &keys[1]);
    frame(0.5f);
    EXPECT_EQ(simple.time(graph, &keys[0]), 0.5f);
    EXPECT_EQ(simple.time(graph, &keys[2]), 0.5f);
    EXPECT_FALSE(simple.has_playback(graph, &keys[1]));
    SceneGraph other(default_allocator(), 4);
    ASSERT_TRUE(simple.play(other, &keys[0], slide2.view, nodes, 2, params(0, 2, 1, false, 3)));
    simple.stop_unit(graph);
    EXPECT_FALSE(simple.is_playing(graph));
    EXPECT_TRUE(simple.is_playing(other));
    EXPECT_TRUE(ended.empty());
}

TEST_F(SimpleAnimationPlayerTest, RootNodeIsNeverWrittenAndShortNodeListsAreRefused)
{
    const u32 root_first[1] = {0};
    ASSERT_TRUE(simple.play(graph, &group_a, slide2.view, root_first, 1, params(0.5f, 2, 1, false)));
    frame(0.5f);
    EXPECT_EQ(translation(graph.local_pose(0)).x, 0.0f);
    EXPECT_FALSE(simple.play(graph, &group_b, slide2.view, nodes, 0, params(0, 2, 1, false)))
        << "one track, no node to pose";
}

} // namespace
} // namespace tallow::test

// Animation blenders: crossfades over time, layers, bone masks, additive records, root
// modes on the scene graph, the limits that are refused, and the blender job on the pool.
#include "animation/animation_blender.h"
#include "animation/animation_player.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/animation/animation_fixture.h"
#include "world/units/scene_graph.h"

#include <cstring>
#include <memory>

namespace tallow::test {
namespace {

constexpr f32 eps = 1e-5f;

/// Every bone held at one pose over `length` seconds.
AnimationSource still(u32 bones, Vector3 t, Quaternion q = quaternion_identity, f32 length = 1,
                      std::vector<AnimationKey> keys = {})
{
    AnimationSource s;
    s.length = length;
    s.keys = std::move(keys);
    std::vector<TrackPose> pose(bones, TrackPose{t, q});
    s.frames = {{0, pose}, {length, pose}};
    return s;
}

Quaternion about(Vector3 axis, f32 degrees) { return quaternion_from_axis_angle(axis, degrees * 3.14159265f / 180); }

class AnimationBlenderTest : public ::testing::Test {
  protected:
    explicit AnimationBlenderTest(u32 bones = 2) : graph(default_allocator(), bones)
    {
        for (u32 i = 1; i < bones; ++i)
            EXPECT_TRUE(graph.set_parent(i, 0));
        std::vector<u32> nodes(bones);
        for (u32 i = 0; i < bones; ++i)
            nodes[i] = i;
        blender = blenders.create_blender(graph, nodes.data(), bones);
    }

    void frame(f32 dt)
    {
        player.update();
        blenders.update(dt);
    }
    Vector3 t(u32 bone) const { return blender->translations()[bone]; }
    Quaternion q(u32 bone) const { return blender->rotations()[bone]; }
    const PlayingAnimation *record(u32 id) const { return blender->find(id); }

    ReadAnimation at0{still(2, {0, 0, 0})};
    ReadAnimation at1{still(2, {1, 0, 0})};
    SceneGraph graph;
    AnimationPlayer player{default_allocator(), nullptr};
    AnimationBlenders blenders{default_allocator(), nullptr, player};
    AnimationBlender *blender = nullptr;
};

TEST_F(AnimationBlenderTest, CrossfadeWeightsRiseAndFallOverTheBlendTime)
{
    u32 a = blender->crossfade(&at0.view, 0, 0.5f, true, blend_normal);
    ASSERT_NE(a, no_crossfade);
    EXPECT_EQ(record(a)->effective_weight(), 1.0f) << "the first record of layer 0 shows at once";
    EXPECT_FALSE(blender->is_crossfading());
    frame(0.25f);
    EXPECT_TRUE(blender->pose_valid());
    EXPECT_EQ(t(0).x, 0.0f);

    u32 b = blender->crossfade(&at1.view, 0, 1.0f, true, blend_normal);
    EXPECT_TRUE(blender->is_crossfading());
    const struct {
        f32 b_weight, a_weight, x;
    } steps[] = {{0.25f, 0.75f, 0.25f}, {0.5f, 0.5f, 0.5f}, {0.75f, 0.25f, 0.75f}};
    for (const auto &s : steps) {
        SCOPED_TRACE(s.b_weight);
        frame(0.25f);
        ASSERT_TRUE(record(a) && record(b));
        EXPECT_NEAR(record(b)->effective_weight(), s.b_weight, eps);
        EXPECT_NEAR(record(a)->effective_weight(), s.a_weight, eps);
        EXPECT_NEAR(t(0).x, s.x, eps);
        EXPECT_NEAR(t(1).x, s.x, eps);
        EXPECT_TRUE(blender->is_crossfading());
    }
    frame(0.25f);
    EXPECT_EQ(record(a), nullptr) << "a finished fade-out goes in the same evaluation";
    EXPECT_EQ(record(b)->effective_weight(), 1.0f);
    EXPECT_EQ(t(0).x, 1.0f);
    EXPECT_FALSE(blender->is_crossfading());
    EXPECT_EQ(player.count(), 1u) << "the faded record's playback is stopped";
    EXPECT_EQ(graph.local_pose(1).m[3][0], 1.0f) << "bone 1 posed its node";
}

TEST_F(AnimationBlenderTest, BlendTimeZeroStopsTheLayersRecordsAtOnce)
{
    blender->crossfade(&at0.view, 3, 0, true, blend_normal);
    blender->crossfade(&at0.view, 3, 0.4f, true, blend_normal);
    EXPECT_EQ(player.count(), 2u);
    u32 c = blender->crossfade(&at1.view, 3, 0, true, blend_normal);
    EXPECT_EQ(player.count(), 1u);
    ASSERT_EQ(blender->layer_count(), 1u);
    EXPECT_EQ(blender->layer(0).records.size(), 1u);
    EXPECT_EQ(blender->layer(0).records[0].id, c);
    blender->fade_out_layer(3, 0);
    EXPECT_EQ(blender->layer_count(), 0u);
    EXPECT_EQ(player.count(), 0u);
}

TEST_F(AnimationBlenderTest, HigherLayersTakeTheirWeightFirst)
{
    blender->crossfade(&at0.view, 0, 0, true, blend_normal);
    u32 top = blender->crossfade(&at1.view, 1, 1.0f, true, blend_normal);
    frame(0.5f);
    frame(0.2f);
    EXPECT_NEAR(record(top)->effective_weight(), 0.7f, eps);
    EXPECT_NEAR(t(0).x, 0.7f, eps) << "layer 1 at 0.7, layer 0 fills the 0.3 left";
    frame(0.3f);
    EXPECT_NEAR(t(0).x, 1.0f, eps) << "a full upper layer leaves nothing to layer 0";
}

TEST_F(AnimationBlenderTest, MasksWeighBonesAndShortMasksLeaveTheRestOut)
{
    const f32 upper[] = {0, 1};
    const f32 first_only[] = {1};
    const f32 none[] = {0, 0};
    blender->crossfade(&at0.view, 0, 0, true, blend_normal);
    u32 top = blender->crossfade(&at1.view, 1, 0, true, blend_normal, {upper, 2});
    frame(0.1f);
    EXPECT_TRUE(blender->pose_valid());
    EXPECT_EQ(t(0).x, 0.0f) << "bone 0 masked out of layer 1";
    EXPECT_EQ(t(1).x, 1.0f);

    // A mask shorter than the skeleton weighs the bones past its end 0.
    blender->fade_out_layer(1, 0);
    (void)top;
    blender->crossfade(&at1.view, 1, 0, true, blend_normal, {first_only, 1});
    frame(0.1f);
    EXPECT_EQ(t(0).x, 1.0f);
    EXPECT_EQ(t(1).x, 0.0f);

    // A bone no record weighs: the pose is not valid and the scene graph stays as it was.
    blender->clear();
    graph.set_local_pose(1, matrix4x4_identity);
    blender->crossfade(&at1.view, 0, 0, true, blend_normal, {none, 2});
    frame(0.1f);
    EXPECT_FALSE(blender->pose_valid());
    EXPECT_EQ(graph.local_pose(1).m[3][0], 0.0f);
}

TEST_F(AnimationBlenderTest, AdditiveRecordsMoveAndTurnByTheirWeight)
{
    ReadAnimation base{still(2, {1, 0, 0})};
    ReadAnimation add{still(2, {0, 2, 0}, about({0, 0, 1}, 90))};
    blender->crossfade(&base.view, 0, 0, true, blend_normal);
    u32 offset = blender->crossfade(&add.view, 1, 1.0f, true, blend_additive);
    frame(0.5f);
    EXPECT_NEAR(record(offset)->effective_weight(), 0.5f, eps);
    EXPECT_NEAR(t(0).x, 1.0f, eps) << "additive records take no share of the weighted blend";
    EXPECT_NEAR(t(0).y, 1.0f, eps);
    Quaternion half = about({0, 0, 1}, 45);
    EXPECT_NEAR(std::fabs(dot(q(0), half)), 1.0f, eps) << "half the turn";

    // A rotation without a vector part adds no turn, whatever its weight.
    blender->clear();
    ReadAnimation straight{still(2, {0, 0, 0})};
    blender->crossfade(&base.view, 0, 0, true, blend_normal);
    blender->crossfade(&straight.view, 1, 0, true, blend_additive);
    frame(0.1f);
    EXPECT_NEAR(std::fabs(dot(q(0), quaternion_identity)), 1.0f, eps);
}

TEST_F(AnimationBlenderTest, RotationBlendTakesTheShorterArc)
{
    // q and -q are one rotation: blending toward -q must not pass through a half turn.
    ReadAnimation plus{still(2, {}, about({0, 0, 1}, 10))};
    Quaternion m = about({0, 0, 1}, 30);
    ReadAnimation minus{still(2, {}, {-m.x, -m.y, -m.z, -m.w})};
    blender->crossfade(&plus.view, 0, 0, true, blend_normal);
    blender->crossfade(&minus.view, 0, 1.0f, true, blend_normal);
    frame(0.5f);
    EXPECT_NEAR(std::fabs(dot(q(0), about({0, 0, 1}, 20))), 1.0f, 1e-4f);
}

class RootModeTest : public AnimationBlenderTest {
  protected:
    RootModeTest() : AnimationBlenderTest(1) {}
};

TEST_F(RootModeTest, RootModesApplyTheRootPoseBeforeTheNodesOwn)
{
    // P: a quarter turn about x and one metre along x; L: a quarter turn about z, 5 up.
    ReadAnimation step{still(1, {1, 0, 0}, about({1, 0, 0}, 90))};
    const Matrix4x4 l = matrix4x4_from_quaternion(about({0, 0, 1}, 90), {0, 0, 5});
    const Matrix4x4 pl = matrix4x4_from_quaternion(about({1, 0, 0}, 90), {1, 0, 0}) * l;
    struct Case {
        const char *name;
        u32 mode;
        Matrix4x4 rotation_from; // whose 3×3 the result has
        Vector3 translation;
    };
    const Case cases[] = {{"ignore", root_ignore, l, {0, 0, 5}},
                          {"delta_transform", root_delta_transform, pl, {0, 1, 5}},
                          {"delta_position", root_delta_position, l, {0, 1, 5}},
                          {"delta_rotation", root_delta_rotation, pl, {0, 0, 5}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        blender->clear();
        graph.set_local_pose(0, l);
        blender->set_root_mode(c.mode);
        blender->crossfade(&step.view, 0, 0, true, blend_normal);
        frame(0.1f);
        const Matrix4x4 &out = graph.local_pose(0);
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(out.m[r][k], c.rotation_from.m[r][k], eps) << r << "," << k;
        EXPECT_NEAR(out.m[3][0], c.translation.x, eps);
        EXPECT_NEAR(out.m[3][1], c.translation.y, eps);
        EXPECT_NEAR(out.m[3][2], c.translation.z, eps);
        Quaternion dq;
        Vector3 dt;
        blender->wanted_root_delta(dq, dt);
        EXPECT_NEAR(dt.x, 1.0f, eps) << "the wanted delta is the root pose, whatever the mode";
        EXPECT_NEAR(std::fabs(dot(dq, about({1, 0, 0}, 90))), 1.0f, eps);
    }
    blender->set_root_mode(7);
    EXPECT_EQ(blender->root_mode(), u32(root_delta_rotation)) << "an unknown mode changes nothing";
}

TEST_F(RootModeTest, DeltaPositionMovesTheRootEveryFrameAndStopsWithTheAnimation)
{
    ReadAnimation walk{still(1, {0.5f, 0, 0})};
    graph.set_local_pose(0, matrix4x4_identity);
    blender->set_root_mode(root_delta_position);
    blender->crossfade(&walk.view, 0, 0, true, blend_normal);
    for (int i = 1; i <= 4; ++i) {
        frame(0.1f);
        EXPECT_NEAR(graph.local_pose(0).m[3][0], 0.5f * i, eps);
    }
    blender->clear();
    frame(0.1f);
    EXPECT_FALSE(blender->pose_valid()) << "nothing plays: no pose, the root stays";
    EXPECT_NEAR(graph.local_pose(0).m[3][0], 2.0f, eps);
    Quaternion dq;
    Vector3 dt;
    blender->wanted_root_delta(dq, dt);
    EXPECT_EQ(dt.x, 0.0f);
}

TEST_F(AnimationBlenderTest, SubAnimationsKeepOnePhaseAndTheHeaviestReportsKeys)
{
    // Lengths 1 and 2: the second advances at twice the pace, so both end together.
    ReadAnimation short_one{still(2, {0, 0, 0}, quaternion_identity, 1, {{0.5f, 11}})};
    ReadAnimation long_one{still(2, {1, 0, 0}, quaternion_identity, 2, {{1.0f, 22}})};
    const AnimationView *views[] = {&short_one.view, &long_one.view};
    const f32 weights[] = {0.25f, 0.75f};
    const f32 ratios[] = {1, 2};
    u32 id = blender->start_crossfade(2, views, weights, ratios, 0, 0, true, blend_normal);
    EXPECT_NEAR(blender->weighted_ratio(id), 1.75f, eps);
    EXPECT_EQ(blender->heaviest(id).animation, &long_one.view);
    frame(0.35f); // A = 1.75: the long one gets 0.4 s, the short one 0.2 s
    frame(0.35f);
    player.update();
    f32 time = 0;
    u32 loops = 0;
    ASSERT_TRUE(blender->normalized_time(id, time, loops));
    EXPECT_NEAR(time, 0.4f, eps) << "0.7 s at ratio 1.75 is 0.4 of the first animation";
    frame(0.35f);
    player.update();
    blenders.update(0.0f);
    ASSERT_EQ(blender->collected_events().size(), 1u);
    EXPECT_EQ(blender->collected_events()[0], 22u) << "only the heaviest sub-animation's keys";
    EXPECT_NEAR(t(0).x, 0.75f, eps) << "the sub-animations blend by weight";
}

TEST_F(AnimationBlenderTest, LimitsAndDegenerateWeightsAreRefusedSoundly)
{
    std::vector<const AnimationView *> sixteen(16, &at0.view);
    std::vector<f32> ones(16, 1.0f);
    EXPECT_EQ(blender->start_crossfade(16, sixteen.data(), ones.data(), ones.data(), 0, 0, true, blend_normal),
              no_crossfade);
    EXPECT_EQ(blender->crossfade(nullptr, 0, 0, true, blend_normal), no_crossfade);
    EXPECT_EQ(player.count(), 0u);

    // All weights 0 and all ratios 0: nothing advances, nothing turns into NaN.
    const AnimationView *views[] = {&at0.view, &at1.view};
    const f32 zero[] = {0, 0};
    u32 id = blender->start_crossfade(2, views, zero, ones.data(), 0, 0, true, blend_normal);
    u32 flat = blender->start_crossfade(2, views, ones.data(), zero, 1, 0, true, blend_normal);
    for (int i = 0; i < 3; ++i)
        frame(0.25f);
    f32 time = -1;
    u32 loops = 0;
    ASSERT_TRUE(blender->normalized_time(id, time, loops));
    EXPECT_EQ(time, 0.0f);
    (void)flat;
    for (u32 b = 0; b < 2; ++b) {
        EXPECT_TRUE(std::isfinite(t(b).x));
        EXPECT_TRUE(std::isfinite(q(b).w));
    }
    // A blend time that is not a number counts as 0 instead of poisoning the weights.
    u32 nan_fade = blender->crossfade(&at1.view, 4, std::nanf(""), true, blend_normal);
    EXPECT_EQ(record(nan_fade)->effective_weight(), 1.0f);
    // Unknown ids are ignored.
    blender->set_time(12345, 1);
    blender->set_speed(12345, 1);
    EXPECT_EQ(blender->weighted_ratio(12345), 1.0f);
    EXPECT_EQ(blender->heaviest(12345).animation, nullptr);
}

TEST(AnimationBlenderBones, MoreThan255MaskedBonesArePosed)
{
    // The per-bone buffers follow the skeleton: a 300-bone blender with a mask poses all.
    constexpr u32 bones = 300;
    ReadAnimation wide{still(bones, {0, 0, 3})};
    ReadAnimation base{still(bones, {0, 0, 0})};
    SceneGraph graph(default_allocator(), bones);
    std::vector<u32> nodes(bones);
    std::vector<f32> mask(bones, 1.0f);
    for (u32 i = 0; i < bones; ++i)
        nodes[i] = i < graph.node_count() ? i : scene_graph_no_node;
    AnimationPlayer player(default_allocator(), nullptr);
    AnimationBlenders blenders(default_allocator(), nullptr, player);
    AnimationBlender *b = blenders.create_blender(graph, nodes.data(), bones);
    ASSERT_EQ(b->bone_count(), bones);
    b->crossfade(&base.view, 0, 0, true, blend_normal);
    b->crossfade(&wide.view, 1, 0, true, blend_normal, {mask.data(), bones});
    player.update();
    blenders.update(0.1f);
    EXPECT_TRUE(b->pose_valid());
    EXPECT_EQ(b->translations()[bones - 1].z, 3.0f);
}

/// Hash of every blender's pose after some frames of crossfades in two layers, sampled
/// and blended one after the other or as a sampling job the blend job follows.
u64 run_blenders(ThreadPool *pool, bool chained = false)
{
    AnimationSource moving;
    moving.length = 2;
    moving.frames = {{0, std::vector<TrackPose>(60, TrackPose{{0, 0, 0}, quaternion_identity})},
                     {2, std::vector<TrackPose>(60, TrackPose{{2, 0, 1}, about({0, 0, 1}, 120)})}};
    ReadAnimation walk{moving};
    ReadAnimation turn{still(60, {0, 1, 0}, about({0, 1, 0}, 30), 1.5f)};
    const f32 upper[] = {0, 0.5f, 1, 1};
    AnimationPlayer player(default_allocator(), pool);
    AnimationBlenders blenders(default_allocator(), pool, player);
    std::vector<std::unique_ptr<SceneGraph>> graphs;
    std::vector<AnimationBlender *> list;
    std::vector<u32> nodes(60);
    for (u32 i = 0; i < 60; ++i)
        nodes[i] = i;
    for (u32 u = 0; u < 64; ++u) {
        graphs.push_back(std::make_unique<SceneGraph>(default_allocator(), 60));
        AnimationBlender *b = blenders.create_blender(*graphs.back(), nodes.data(), 60);
        b->set_root_mode(u % 4);
        b->crossfade(&walk.view, 0, 0, true, blend_normal);
        b->crossfade(&turn.view, 1, 0.3f + 0.01f * u, true, blend_normal, {upper, 4});
        list.push_back(b);
    }
    for (int f = 0; f < 30; ++f) {
        if (f == 10)
            for (AnimationBlender *b : list)
                b->crossfade(&turn.view, 0, 0.5f, true, blend_normal);
        if (chained) {
            blenders.sample_and_update(1.0f / 30);
        } else {
            player.update();
            blenders.update(1.0f / 30);
        }
        // Crossfades stopped records; their playbacks are gone once the update ends.
        EXPECT_TRUE(player.validate());
        if (f == 12) {
            EXPECT_EQ(player.count(), 64u * 3u) << "layer 0's walk fading out, its turn in, layer 1's turn";
        }
    }
    u64 h = 1469598103934665603ull;
    for (auto &g : graphs)
        for (u32 n = 0; n < g->node_count(); ++n) {
            const u8 *bytes = reinterpret_cast<const u8 *>(&g->local_pose(n));
            for (u32 i = 0; i < sizeof(Matrix4x4); ++i)
                h = (h ^ bytes[i]) * 1099511628211ull;
        }
    return h;
}

TEST(AnimationBlendersJob, SamePosesOnOneAndEightWorkers)
{
    ThreadRegistry registry{default_allocator(), "main"};
    u64 alone = run_blenders(nullptr);
    ThreadPool one(default_allocator(), 1, registry);
    ThreadPool eight(default_allocator(), 8, registry);
    EXPECT_EQ(run_blenders(&one), alone);
    EXPECT_EQ(run_blenders(&eight), alone);
    for (ThreadPool *pool : {static_cast<ThreadPool *>(nullptr), &one, &eight})
        EXPECT_EQ(run_blenders(pool, true), alone) << "sampled and blended as chained jobs";
}

} // namespace
} // namespace tallow::test

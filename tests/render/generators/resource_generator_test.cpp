#include "render/generators/branch_modifier.h"
#include "render/generators/fullscreen_pass.h"
#include "render/generators/loop_modifier.h"
#include "tests/render/generators/generator_test_support.h"

namespace tallow {
namespace {

using test::DecodedCommand;
using test::GeneratorScene;
using test::id32;
using test::step_key;

u32 count_lines(test::LogCapture &log, const char *text)
{
    u32 n = 0;
    for (const std::string &line : log.lines())
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

// The step counters of the segments the frame executed, in execution order.
std::vector<u32> segment_counters(const std::vector<DecodedCommand> &commands)
{
    std::vector<u32> counters;
    i64 last = -1;
    for (const DecodedCommand &c : commands)
        if (c.segment && c.key != last && (u64(c.key) & sort_key::generator_counter_mask) != 0) {
            counters.push_back(test::counter_of(c.key));
            last = c.key;
        }
    return counters;
}

// The first colour target each generator segment bound, in execution order: tells which
// child ran under which counter.
std::vector<RenderTarget *> first_targets(const std::vector<DecodedCommand> &commands)
{
    std::vector<RenderTarget *> targets;
    for (const DecodedCommand &c : commands)
        if (c.type == RenderCommand::SetRenderTarget && c.set_target.slot == 0 &&
            (u64(c.key) & sort_key::generator_counter_mask) != 0)
            targets.push_back(c.set_target.target);
    return targets;
}

TEST(ResourceGenerators, LoadBuildsTheTableSortedByNameWithStaticBranchesInPlace)
{
    GeneratorScene scene;
    test::LogCapture log("render");
    ASSERT_TRUE(scene.load(R"(
resource_generators = {
    zeta = { modifiers = [ { type = "fullscreen_pass" shader = "fs" } ] }
    alpha = { modifiers = [
        { type = "compute_kernel" shader = "cs" }
        { type = "static_branch" platform = "win" render_settings = { bloom = true }
          pass_modifiers = [ { type = "dynamic_branch" }
                             { type = "static_branch" render_caps = { deferred = true }
                               pass_modifiers = [ { type = "compute_kernel" shader = "cs" } ]
                               fail_modifiers = [ { type = "loop" count_variable = "n" } ] } ]
          fail_modifiers = [ { type = "compute_kernel" shader = "cs" } ] }
        { type = "fullscreen_pass" shader = "fs" }
    ] }
    middle = { modifiers = [ ] }
}
)"));
    ASSERT_EQ(scene.generators.count(), 3u);
    for (u32 i = 1; i < scene.generators.count(); ++i)
        EXPECT_LT(scene.generators.name_at(i - 1), scene.generators.name_at(i));
    EXPECT_EQ(scene.generators.find(id32("nothing")), nullptr);
    ResourceGenerator *alpha = scene.generators.find(id32("alpha"));
    ASSERT_NE(alpha, nullptr);
    std::vector<ModifierType> types;
    for (ModifierBase *m : alpha->modifiers())
        types.push_back(m->type());
    const std::vector<ModifierType> expected = {ModifierType::ComputeKernel, ModifierType::DynamicBranch,
                                                ModifierType::Loop, ModifierType::FullscreenPass};
    EXPECT_EQ(types, expected) << "the chosen modifiers of nested static branches stand flat, in place";
    EXPECT_TRUE(scene.generators.find(id32("middle"))->modifiers().empty());
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TEST(ResourceGenerators, StaticBranchConditions)
{
    struct Case {
        const char *name;
        const char *branch;
        bool passes;
    };
    const Case cases[] = {
        {"no keys", "", true},
        {"platform win", "platform = \"win\"", true},
        {"another platform skips the settings", "platform = \"linux\" render_settings = { bloom = true }", false},
        {"platform not a string", "platform = 3", true},
        {"settings match", "render_settings = { bloom = true quality = 2.0 }", true},
        {"settings differ", "render_settings = { bloom = false }", false},
        {"caps match", "render_caps = { deferred = false }", true},
        {"caps differ", "platform = \"win\" render_caps = { deferred = true }", false},
        {"unknown setting", "render_settings = { missing = 1 }", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GeneratorScene scene;
        std::string text = std::string("resource_generators = { post = { modifiers = [ { type = \"static_branch\" ") +
                           c.branch +
                           " pass_modifiers = [ { type = \"dynamic_branch\" } ]"
                           " fail_modifiers = [ { type = \"loop\" count_variable = \"n\" } ] } ] } }";
        ASSERT_TRUE(scene.load(text.c_str()));
        const auto &modifiers = scene.generators.find(id32("post"))->modifiers();
        ASSERT_EQ(modifiers.size(), 1u);
        EXPECT_EQ(modifiers[0]->type(), c.passes ? ModifierType::DynamicBranch : ModifierType::Loop);
    }
}

TEST(ResourceGenerators, RefusedPartsAreLoggedAndTheRestBuilt)
{
    GeneratorScene scene;
    test::LogCapture log("render");
    EXPECT_FALSE(scene.load(R"(
resource_generators = {
    post = { modifiers = [ { shader = "fs" } { type = "mesh_renderer" } { type = 7 }
                           { type = "fullscreen_pass" shader = "fs" } ] }
    lonely = { }
}
)"));
    EXPECT_TRUE(log.contains("has no \"type\" string"));
    EXPECT_TRUE(log.contains("\"mesh_renderer\" is not built"));
    EXPECT_TRUE(log.contains("without a \"modifiers\" array"));
    ASSERT_EQ(scene.generators.count(), 2u);
    ASSERT_EQ(scene.generators.find(id32("post"))->modifiers().size(), 1u);
    EXPECT_TRUE(scene.generators.find(id32("lonely"))->modifiers().empty());
}

TEST(ResourceGenerators, StepsRunInListOrderUnderTheirOwnCounters)
{
    GeneratorScene scene;
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "fullscreen_pass" shader = "fs" output = "hdr" }
    { type = "dynamic_branch" pass_modifiers = [ { type = "fullscreen_pass" shader = "fs" output = "depth" }
                                                 { type = "fullscreen_pass" shader = "fs" output = "back_buffer" } ] }
    { type = "fullscreen_pass" shader = "fs" output = "hdr" }
] } }
)"));
    const std::vector<DecodedCommand> &commands = scene.run();
    EXPECT_EQ(segment_counters(commands), (std::vector<u32>{1, 2, 3, 5}));
    const std::vector<RenderTarget *> expected = {scene.instance(scene.hdr), scene.instance(scene.depth),
                                                  scene.device.render_target(scene.device.back_buffer_key(), 0),
                                                  scene.instance(scene.hdr)};
    EXPECT_EQ(first_targets(commands), expected);
    // Each step's draw follows its segment, under the step's key with pass number 1.
    const auto draws = GeneratorScene::of_type(commands, RenderCommand::DrawBatch);
    ASSERT_EQ(draws.size(), 4u);
    const u32 counters[] = {1, 2, 3, 5};
    for (u32 i = 0; i < 4; ++i) {
        EXPECT_EQ(u64(draws[i].key), step_key(counters[i]) | 1u);
        EXPECT_FALSE(draws[i].segment);
    }
    // The layer's own set-up (counter 0) and the next layer would sort around them.
    EXPECT_GT(step_key(1), test::post_layer_key);
    EXPECT_LT(step_key(63) | 7u, 3ull << 55);
}

TEST(ResourceGenerators, EmptyGeneratorAddsAnEmptyContextAndUnknownNamesRunNothing)
{
    GeneratorScene scene;
    ASSERT_TRUE(scene.load("resource_generators = { post = { modifiers = [ ] } }"));
    Array<RenderContext *> contexts(scene.allocator);
    GeneratorFrame frame = scene.frame();
    frame.contexts = &contexts;
    scene.generators.execute_for_layers(*frame.layer_config, frame);
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_TRUE(contexts[0]->entries().empty());
    scene.device.release_render_context(contexts[0]);
    contexts.clear();

    ASSERT_TRUE(scene.load("resource_generators = { other = { modifiers = [ ] } }"));
    test::LogCapture log("render");
    scene.generators.execute_for_layers(*frame.layer_config, frame);
    scene.generators.execute_for_layers(*frame.layer_config, frame);
    EXPECT_TRUE(contexts.empty());
    EXPECT_EQ(count_lines(log, "does not have"), 1u) << "reported once per name";
}

TEST(ResourceGenerators, DynamicBranchFollowsTheSettingsFromFrameToFrame)
{
    GeneratorScene scene;
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "dynamic_branch" render_settings = { bloom = true } render_caps = { deferred = false }
      pass_modifiers = [ { type = "fullscreen_pass" shader = "fs" output = "hdr" } ]
      fail_modifiers = [ { type = "fullscreen_pass" shader = "fs" output = "depth" } ] }
    { type = "dynamic_branch" pass_modifiers = [ { type = "fullscreen_pass" shader = "fs" output = "back_buffer" } ] }
] } }
)"));
    RenderTarget *back = scene.device.render_target(scene.device.back_buffer_key(), 0);
    EXPECT_EQ(first_targets(scene.run()), (std::vector<RenderTarget *>{scene.instance(scene.hdr), back}));
    // A failing settings test takes the fail list, even with matching caps.
    scene.settings.root->member("bloom").set_bool(false);
    EXPECT_EQ(first_targets(scene.run()), (std::vector<RenderTarget *>{scene.instance(scene.depth), back}));
    // Settings match again, caps do not.
    scene.settings.root->member("bloom").set_bool(true);
    scene.caps.root->member("deferred").set_bool(true);
    EXPECT_EQ(first_targets(scene.run()), (std::vector<RenderTarget *>{scene.instance(scene.depth), back}));
    EXPECT_EQ(segment_counters(scene.device.frames().back().commands), (std::vector<u32>{1, 3}));
}

TEST(ResourceGenerators, LoopRunsItsChildrenPerElementAndBindsElements)
{
    GeneratorScene scene;
    scene.shading.add_array("cascades", shading_variable_kind::scalar_array, 3, 100);
    scene.shading.add_array("depths", shading_variable_kind::scalar_array, 3, 10);
    scene.shading.add_array("colours", shading_variable_kind::vector3_array, 3, 20);
    scene.shading.add_array("short", shading_variable_kind::vector2_array, 2, 40);
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "loop" count_variable = "cascades"
      indexed_variables = [ { source_array = "depths" variable = "depth" }
                            { source_array = "colours" variable = "colour" }
                            { source_array = "short" variable = "pair" }
                            { source_array = "absent" variable = "ghost" } ]
      modifiers = [ { type = "fullscreen_pass" shader = "fs" output = "hdr" }
                    { type = "fullscreen_pass" shader = "fs" output = "depth" } ] }
    { type = "fullscreen_pass" shader = "fs" output = "back_buffer" }
] } }
)"));
    test::LogCapture log("render");
    const std::vector<DecodedCommand> &commands = scene.run();
    EXPECT_EQ(segment_counters(commands), (std::vector<u32>{1, 2, 3, 4, 5, 6, 8}));
    const std::vector<RenderTarget *> targets = first_targets(commands);
    ASSERT_EQ(targets.size(), 7u);
    for (u32 i = 0; i < 6; ++i)
        EXPECT_EQ(targets[i], i % 2 == 0 ? scene.instance(scene.hdr) : scene.instance(scene.depth)) << i;

    // The last iteration's elements stay bound: each array by its own element size; the
    // shorter array stays on its last element instead of running past its end.
    auto value = [&](const char *name, u32 index) {
        const f32 *v = static_cast<const f32 *>(scene.overrides.find(id32(name)));
        return v ? v[index] : -1.0f;
    };
    EXPECT_EQ(value("depth", 0), 12.0f);
    EXPECT_EQ(value("colour", 0), 26.0f);
    EXPECT_EQ(value("colour", 2), 28.0f);
    EXPECT_EQ(value("pair", 0), 42.0f);
    EXPECT_EQ(value("pair", 1), 43.0f);
    EXPECT_TRUE(log.contains("fewer than the loop runs"));
    EXPECT_EQ(scene.overrides.find(id32("ghost")), nullptr);
    EXPECT_TRUE(log.contains("missing or empty"));

    // The next frame starts from an empty map: nothing is left pointing at old values.
    scene.shading.variables.clear();
    scene.shading.block.clear();
    log.clear();
    const std::vector<DecodedCommand> &later = scene.run();
    EXPECT_EQ(scene.overrides.count(), 0u);
    EXPECT_EQ(segment_counters(later), (std::vector<u32>{2})) << "a loop without its count variable runs nothing";
    EXPECT_TRUE(log.contains("count variable"));
}

TEST(ResourceGenerators, StepsPastTheCounterFieldAreSkippedAndReportedOnce)
{
    GeneratorScene scene;
    scene.shading.add_array("many", shading_variable_kind::scalar_array, 100000, 0);
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "loop" count_variable = "many" modifiers = [ { type = "compute_kernel" shader = "cs" } ] }
    { type = "fullscreen_pass" shader = "fs" }
] } }
)"));
    test::LogCapture log("render");
    const std::vector<DecodedCommand> &commands = scene.run();
    const std::vector<u32> counters = segment_counters(commands);
    ASSERT_EQ(counters.size(), 63u);
    EXPECT_EQ(counters.back(), 63u);
    for (const DecodedCommand &c : commands)
        EXPECT_EQ(u64(c.key) & sort_key::layer_mask, test::post_layer_key) << "no key reaches another layer";
    EXPECT_EQ(count_lines(log, "more than 63 steps"), 1u);
    scene.run();
    EXPECT_EQ(count_lines(log, "more than 63 steps"), 1u);
}

TEST(ResourceGenerators, ClearAndReloadReleaseTheDeviceResources)
{
    GeneratorScene scene;
    const size_t before = scene.device.objects().size();
    ASSERT_TRUE(scene.load(R"(
resource_generators = { post = { modifiers = [
    { type = "dynamic_branch" pass_modifiers = [ { type = "fullscreen_pass" shader = "fs" } ]
                              fail_modifiers = [ { type = "loop" modifiers = [ { type = "fullscreen_pass" shader = "fs" } ] } ] }
] } }
)"));
    const size_t loaded = scene.device.objects().size();
    EXPECT_EQ(loaded - before, 2 * (1 + resource_generator::max_fullscreen_views));
    // A reload clears first: the same number of objects, not twice as many.
    ASSERT_TRUE(scene.load("resource_generators = { post = { modifiers = [ { type = \"fullscreen_pass\" shader = \"fs\" } ] } }"));
    EXPECT_EQ(scene.device.objects().size() - before, 1 + resource_generator::max_fullscreen_views);
    RenderResourceContext *context = scene.device.alloc_resource_context();
    scene.generators.clear(context);
    scene.submit(context);
    EXPECT_EQ(scene.generators.count(), 0u);
    EXPECT_EQ(scene.device.objects().size(), before);
}

} // namespace
} // namespace tallow

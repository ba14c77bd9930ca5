// The shader manager and shader contexts: template choice against the capabilities,
// setters and carry-over, replaced and removed libraries, resource binding and drawing.
#include "render/shaders/shader_manager.h"

#include "render/resources/render_resource_set.h"
#include "render/shaders/shader_library_loader.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/recording_render_device.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

using namespace test;

f32 read_f32(const u8 *block, u32 offset)
{
    f32 v;
    memcpy(&v, block + offset, 4);
    return v;
}

u32 read_u32(const u8 *block, u32 offset)
{
    u32 v;
    memcpy(&v, block + offset, 4);
    return v;
}

struct ManagerFixture : ::testing::Test {
    Allocator &a = default_allocator();
    RecordingRenderDevice device{a};
    BackBufferWrapper back_buffer{a, 0};
    ShaderManager shaders{device, a};
    std::vector<LibraryPtr> libraries;

    void SetUp() override { device.add_window_targets(0, &back_buffer); }
    void TearDown() override { EXPECT_TRUE(device.errors().empty()) << device.errors().front(); }

    const ShaderLibrary &add(const ShaderLibrarySource &source)
    {
        libraries.push_back(read_library(source));
        EXPECT_TRUE(libraries.back());
        resolve_passes(*libraries.back(), nullptr);
        EXPECT_TRUE(shaders.add_shader_library(*libraries.back()));
        shaders.update_templates(*libraries.back());
        return *libraries.back();
    }
};

// mesh_deferred needs "deferred = true", mesh_hq "quality = 2" (a float cap of 2.0 matches),
// and mesh takes what is left; the "impossible" slot names no matching option and "ghost"
// a shader nobody has.
ShaderLibrarySource choice_library()
{
    ShaderLibrarySource l;
    for (const char *name : {"mesh_deferred", "mesh_hq", "mesh"})
        l.shaders.push_back(build_shader({name, {{"alpha", ShaderValueType::Scalar}}, {}, {{"", "v"}}}));
    l.templates.push_back({id32("mesh"),
                           {{id32("default"),
                             {{id32("mesh_deferred"), condition_blob("deferred = true")},
                              {id32("mesh_hq"), condition_blob("quality = 2")},
                              {id32("mesh"), {}}}},
                            {id32("impossible"), {{id32("mesh"), condition_blob("platform = \"none\"")}}},
                            {id32("ghost"), {{id32("nobody"), {}}}}}});
    return l;
}

TEST_F(ManagerFixture, TemplatesTakeTheFirstOptionMatchingTheCaps)
{
    struct Case {
        const char *caps;
        const char *chosen;
    };
    const Case cases[] = {
        {"deferred = true quality = 2", "mesh_deferred"},
        {"deferred = false quality = 2.0", "mesh_hq"},
        {"quality = 3", "mesh"},
        {"", "mesh"},
    };
    ShaderLibrarySource source = choice_library();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.caps);
        ConfigText caps(c.caps);
        shaders.set_render_caps(caps.root);
        add(source);
        const Shader *const *slots = shaders.template_slots(id32("mesh"));
        ASSERT_NE(slots, nullptr);
        ASSERT_EQ(shaders.slot_name_count(), 3u);
        ASSERT_NE(slots[shaders.slot_index(id32("default"))], nullptr);
        EXPECT_EQ(slots[shaders.slot_index(id32("default"))]->name(), id32(c.chosen));
        EXPECT_EQ(slots[shaders.slot_index(id32("impossible"))], nullptr);
        EXPECT_EQ(slots[shaders.slot_index(id32("ghost"))], nullptr);
    }
    shaders.set_render_caps(nullptr);
    ShaderContext context(a);
    test::LogCapture log("render");
    EXPECT_FALSE(shaders.find_template(id32("nothing"), context));
    EXPECT_TRUE(log.contains("Can't find shader template: "));
}

TEST_F(ManagerFixture, EveryTemplateSpansEverySlotName)
{
    ShaderLibrarySource first;
    first.shaders.push_back(build_shader({"mesh", {}, {}, {{"", "v"}}}));
    first.templates.push_back({id32("mesh"), {{id32("default"), {{id32("mesh"), {}}}}}});
    add(first);
    ShaderLibrarySource second;
    second.shaders.push_back(build_shader({"depth", {}, {}, {{"", "v"}}}));
    second.templates.push_back({id32("caster"), {{id32("shadow"), {{id32("depth"), {}}}}}});
    add(second);

    ShaderContext context(a);
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    EXPECT_EQ(context.slot_count(), 2u); // "shadow" came later, for another template
    ShaderSlotEntry entry;
    EXPECT_TRUE(context.slot_entry(0, &entry));
    EXPECT_FALSE(context.slot_entry(1, &entry)); // a shadow context draws nothing of it
    EXPECT_FALSE(context.slot_entry(7, &entry));
}

ShaderLibrarySource two_slot_library(bool moved)
{
    ShaderLibrarySource l;
    // "moved" puts tint first and makes alpha a vector2, so tint and world carry over and
    // alpha does not.
    std::vector<VariableSpec> vars = {{"world", ShaderValueType::Matrix4x4},
                                      {"alpha", ShaderValueType::Scalar},
                                      {"tint", ShaderValueType::Vector3}};
    if (moved)
        vars = {{"tint", ShaderValueType::Vector3}, {"alpha", ShaderValueType::Vector2}, {"world", ShaderValueType::Matrix4x4}};
    l.shaders.push_back(build_shader({"mesh", vars, {}, {{"", "v"}}}));
    l.shaders.push_back(build_shader({"depth", {{"bias", ShaderValueType::Scalar}, {"world", ShaderValueType::Matrix4x4}}, {}, {{"", "v"}}}));
    l.templates.push_back({id32("mesh"), {{id32("default"), {{id32("mesh"), {}}}}, {id32("shadow"), {{id32("depth"), {}}}}}});
    return l;
}

TEST_F(ManagerFixture, SettersLandAtEachSlotsOffsetsAndSurviveReinstantiation)
{
    add(two_slot_library(false));
    ShaderContext context(a);
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    ASSERT_EQ(context.slot_count(), 2u);
    Matrix4x4 world = matrix4x4_identity;
    set_translation(world, {5, 6, 7});
    context.set_matrix(id32("world"), world);
    context.set_scalar(id32("alpha"), 0.25f);
    context.set_vector3(id32("tint"), 1, 2, 3);
    context.set_vector3(id32("alpha"), 9, 9, 9); // wider than the scalar: skipped
    context.set_scalar(id32("nothing"), 4.0f);   // no such variable: nothing written
    context.set_vector2(id32("bias"), 8, 8);     // wider than the scalar: skipped
    context.set_scalar(id32("bias"), 0.5f);

    const u8 *mesh = context.block(0);
    const u8 *depth = context.block(1);
    // mesh: world 0, alpha 64, tint 68. depth: bias 0, world 4. Matrices are transposed:
    // the translation sits in the fourth column.
    EXPECT_EQ(read_f32(mesh, 3 * 4), 5.0f);
    EXPECT_EQ(read_f32(mesh, 7 * 4), 6.0f);
    EXPECT_EQ(read_f32(mesh, 11 * 4), 7.0f);
    EXPECT_EQ(read_f32(mesh, 64), 0.25f);
    EXPECT_EQ(read_f32(mesh, 68), 1.0f);
    EXPECT_EQ(read_f32(mesh, 76), 3.0f);
    EXPECT_EQ(read_f32(depth, 0), 0.5f);
    EXPECT_EQ(read_f32(depth, 4 + 3 * 4), 5.0f);
    for (u32 i = 80; i < context.block_size(0); ++i)
        EXPECT_EQ(mesh[i], 0) << i;

    // Same template, again: values stay.
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    EXPECT_EQ(read_f32(context.block(0), 64), 0.25f);
    EXPECT_EQ(read_f32(context.block(1), 0), 0.5f);

    // The library is replaced with another layout: the same Shader, a new generation; the
    // context stays safe (writes and draws nothing) until it is instantiated again.
    Shader *before = shaders.find_shader(id32("mesh"));
    const u32 generation = before->generation();
    add(two_slot_library(true));
    EXPECT_EQ(shaders.find_shader(id32("mesh")), before);
    EXPECT_NE(before->generation(), generation);
    ShaderSlotEntry entry;
    EXPECT_FALSE(context.slot_entry(0, &entry));
    EXPECT_EQ(context.block(0), nullptr);
    context.set_scalar(id32("alpha"), 1.0f);
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    EXPECT_TRUE(context.slot_entry(0, &entry));
    // tint 0, alpha (vector2) 12, world 20: tint and world carried, alpha (type changed) not.
    mesh = context.block(0);
    EXPECT_EQ(read_f32(mesh, 0), 1.0f);
    EXPECT_EQ(read_f32(mesh, 8), 3.0f);
    EXPECT_EQ(read_f32(mesh, 12), 0.0f);
    EXPECT_EQ(read_f32(mesh, 20 + 3 * 4), 5.0f);
}

TEST_F(ManagerFixture, RemovedLibraryLeavesContextsSafeAndReleasesDeviceObjects)
{
    const ShaderLibrary &lib = add(two_slot_library(false));
    ASSERT_EQ(device.updates().size(), 2u);
    EXPECT_EQ(device.updates()[0].type, ResourceUpdate::CreateShader);
    const auto *record = reinterpret_cast<const render::d3d11::ShaderResourceRecord *>(device.updates()[0].shader);
    ASSERT_NE(record->desc, nullptr);
    EXPECT_EQ(record->desc->pass_count, 1u);

    ShaderContext context(a);
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    shaders.remove_templates(lib);
    shaders.remove_shader_library(lib);
    EXPECT_FALSE(shaders.find_shader(id32("mesh"))->is_loaded());
    EXPECT_EQ(shaders.template_count(), 0u);
    for (const auto &object : device.objects())
        EXPECT_NE(object.second, RenderResourceType::Shader);
    ShaderSlotEntry entry;
    EXPECT_FALSE(context.slot_entry(0, &entry));
    context.set_scalar(id32("alpha"), 1.0f);
    context.set_matrices(matrix4x4_identity, matrix4x4_identity, matrix4x4_identity, nullptr);

    // Bringing it back revives the same shader.
    add(two_slot_library(false));
    EXPECT_TRUE(shaders.find_shader(id32("mesh"))->is_loaded());
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    EXPECT_TRUE(context.slot_entry(0, &entry));
}

TEST_F(ManagerFixture, RefreshBringsAContextBackAfterItsLibraryIsReloaded)
{
    // What a reload of the render configuration does: templates and library removed, the
    // library brought in again. A context found before it draws again once refreshed, with
    // its values; a context that never came from a template, or is up to date, is left.
    const ShaderLibrary &lib = add(two_slot_library(false));
    ShaderContext context(a), fresh(a), manual(a);
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    ASSERT_TRUE(manual.instantiate(shaders.template_slots(id32("mesh")), shaders.slot_name_count()));
    EXPECT_EQ(context.template_name(), id32("mesh"));
    context.set_scalar(id32("alpha"), 0.25f);
    EXPECT_FALSE(context.refresh()) << "nothing changed yet";

    shaders.remove_templates(lib);
    shaders.remove_shader_library(lib);
    EXPECT_FALSE(context.refresh()) << "the template is gone";
    add(two_slot_library(false));
    ShaderSlotEntry entry;
    EXPECT_FALSE(context.slot_entry(0, &entry));
    ASSERT_TRUE(shaders.find_template(id32("mesh"), fresh));
    EXPECT_FALSE(fresh.refresh());
    EXPECT_FALSE(manual.refresh());
    EXPECT_FALSE(manual.slot_entry(0, &entry));

    ASSERT_TRUE(context.refresh());
    ASSERT_TRUE(context.slot_entry(0, &entry));
    EXPECT_EQ(entry.shader, shaders.find_shader(id32("mesh"))->resource.resource.handle);
    EXPECT_EQ(read_f32(context.block(0), 64), 0.25f);
    EXPECT_FALSE(context.refresh());
}

TEST_F(ManagerFixture, AMissingTemplateIsReportedByNameUnlessItIsOptional)
{
    add(two_slot_library(false));
    ShaderContext context(a);
    test::LogCapture log("render");
    EXPECT_FALSE(shaders.find_optional_template(id32("mesh:SHADOW_MAPPING"), context));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(shaders.find_optional_template(id32("mesh"), context));
    EXPECT_EQ(context.template_name(), id32("mesh"));
    EXPECT_FALSE(shaders.find_template("mesh:SHADOW_MAPPING", context));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "Can't find shader template: mesh:SHADOW_MAPPING");
    EXPECT_TRUE(shaders.find_template("mesh", context));
}

TEST_F(ManagerFixture, ResourcesBindByNameAndContextsDrawTheirPasses)
{
    ShaderLibrarySource source;
    source.shaders.push_back(build_shader({"mesh",
                                           {{"alpha", ShaderValueType::Scalar}},
                                           {"diffuse_map", "scene_copy", "absent"},
                                           {{"opaque", "v", "p"}, {"", "v"}}}));
    source.templates.push_back({id32("mesh"), {{id32("default"), {{id32("mesh"), {}}}}}});
    libraries.push_back(read_library(source));
    LayerConfig config(a);
    Layer layer;
    layer.name = id32("opaque");
    layer.sort_mode = SortMode::FrontBack;
    ASSERT_TRUE(make_layer_key(0, &layer.key));
    config.layers.push_back(layer);
    // resolve_passes takes a set; here the one config is filled by hand at index 0.
    for (u32 p = 0; p < 2; ++p) {
        ShaderPassRecord &pass = libraries.back()->passes[p];
        pass.keys.sort_bits[0] = p == 0 ? (1 | layer.key) : 2;
        pass.keys.sort_mode[0] = p == 0 ? SortMode::FrontBack : SortMode::Nothing;
    }
    ASSERT_TRUE(shaders.add_shader_library(*libraries.back()));
    shaders.update_templates(*libraries.back());

    RenderResourceSet resources(a);
    Texture *texture = make_new<Texture>(resources.allocator(), resources.allocator());
    RenderTarget *target = make_new<RenderTarget>(resources.allocator(), resources.allocator());
    resources.add(id32("diffuse_map"), texture, true, false);
    resources.add(id32("scene_copy"), target, true, false);
    RenderResourceContext *rc = device.alloc_resource_context();
    resources.create_all(*rc);
    device.update_resources(1, &rc);
    device.release_resource_context(rc);

    ShaderContext context(a);
    ASSERT_TRUE(shaders.find_template(id32("mesh"), context));
    context.bind_resources(device, resources);
    const Shader *shader = context.shader(0);
    EXPECT_EQ(read_u32(context.block(0), shader->find_variable(id32("diffuse_map"))->offset), texture->handle);
    RenderTarget *instance = device.render_target(target, 0);
    ASSERT_NE(instance, nullptr);
    EXPECT_NE(instance->handle, target->handle);
    EXPECT_EQ(read_u32(context.block(0), shader->find_variable(id32("scene_copy"))->offset), instance->handle);
    EXPECT_EQ(read_u32(context.block(0), 12), invalid_render_handle); // not in the set: stays unbound

    context.set_scalar(id32("alpha"), 0.75f);
    RenderContext *rcx = device.alloc_render_context();
    rcx->bind_layer_config(&config, &resources);
    ShaderSlotEntry entry;
    ASSERT_TRUE(context.slot_entry(rcx->shader_slot_index(), &entry));
    RenderBatch batch;
    batch.copy_constants = true;
    batch.primitive_count = 1;
    ASSERT_TRUE(rcx->render_batch(batch, entry, 0));
    device.dispatch(1, &rcx);
    const auto &commands = device.frames().back().commands;
    ASSERT_EQ(commands.size(), 2u);
    for (const DecodedCommand &c : commands) {
        EXPECT_EQ(c.draw.shader, shader->resource.resource.handle);
        ASSERT_GE(c.constants.size(), 4u);
        EXPECT_EQ(read_f32(c.constants.data(), 0), 0.75f);
    }
    EXPECT_EQ(u64(commands[0].key) & ~sort_key::depth_mask, 2u);
    EXPECT_EQ(u64(commands[1].key) & ~sort_key::depth_mask, 1 | layer.key);
    device.release_render_context(rcx);

    rc = device.alloc_resource_context();
    resources.destroy_all(*rc);
    device.update_resources(1, &rc);
    device.release_resource_context(rc);
}

} // namespace
} // namespace tallow

// Shader libraries: what the reader keeps, what it refuses, how passes resolve against
// layer configurations, and how groups come in and go out.
#include "render/shaders/shader_library.h"

#include "render/config/layer_config_set.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_shader_desc.h"
#include "render/shaders/shader_library_loader.h"
#include "render/shaders/shader_manager.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/recording_render_device.h"
#include "tools/render/shader_library_compiler.h"

#include "foundation/config/config_blob.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace tallow {
namespace {

using namespace test;
namespace d3d = render::d3d11;

ShaderLibrarySource two_shader_library()
{
    ShaderLibrarySource library;
    ShaderSpec mesh{"mesh",
                    {{"world", ShaderValueType::Matrix4x4}, {"alpha", ShaderValueType::Scalar}, {"tint", ShaderValueType::Vector3}},
                    {"diffuse_map"},
                    {{"opaque", "vs-mesh", "ps-mesh", {{1, 2, 3, 4}}, {{"diffuse_map", {{10, 2, 1, 0}}}}},
                     {"", "vs-depth", ""}}};
    mesh.options = 0x55;
    ShaderSpec sky{"sky", {{"view_proj", ShaderValueType::Matrix4x4}}, {}, {{"transparent", "", "ps-sky"}}, true};
    library.shaders.push_back(build_shader(mesh));
    library.shaders.push_back(build_shader(sky));
    library.templates.push_back({id32("mesh"),
                                 {{id32("default"),
                                   {{id32("mesh"), condition_blob("deferred = true")}, {id32("sky"), {}}}}}});
    library.templates.push_back({id32("sky"), {{id32("default"), {{id32("sky"), {}}}}}});
    return library;
}

std::string stage_code(const d3d::ShaderStageDesc &stage)
{
    return std::string(reinterpret_cast<const char *>(stage.code), stage.code_size);
}

TEST(ShaderLibrary, TwoShadersAndTwoTemplatesRoundTrip)
{
    const ShaderLibrarySource source = two_shader_library();
    LibraryPtr lib = read_library(source);
    ASSERT_TRUE(lib);
    EXPECT_EQ(lib->version, 18u);
    ASSERT_EQ(lib->shaders.size(), 2u);

    const ShaderRecord &mesh = lib->shaders[0];
    EXPECT_EQ(mesh.name, id32("mesh"));
    EXPECT_EQ(mesh.options, 0x55u);
    EXPECT_EQ(mesh.high_pass, 0u);
    // world 0, alpha 64, tint 68, the diffuse_map handle 80; 84 bytes laid out, 96 allocated.
    ASSERT_EQ(mesh.constants.count, 4u);
    const u32 offsets[] = {0, 64, 68, 80};
    for (u32 i = 0; i < 4; ++i)
        EXPECT_EQ(lib->constants[mesh.constants.first + i].offset, offsets[i]);
    EXPECT_EQ(mesh.layout_size, 84u);
    EXPECT_EQ(mesh.block_size, 96u);
    ASSERT_EQ(mesh.variables.count, 4u);
    const ShaderVariableEntry &handle = lib->variables[mesh.variables.first + 3];
    EXPECT_EQ(handle.name, id32("diffuse_map"));
    EXPECT_EQ(handle.kind, shader_variable_kind::resource);
    EXPECT_EQ(handle.offset, 80u);
    ASSERT_EQ(mesh.passes.count, 2u);
    EXPECT_EQ(lib->passes[mesh.passes.first].layer, id32("opaque"));
    EXPECT_EQ(lib->passes[mesh.passes.first + 1].layer, 0u);
    for (u32 c = 0; c < max_layer_configs; ++c)
        EXPECT_EQ(lib->passes[mesh.passes.first].keys.sort_mode[c], SortMode::Nothing);

    const ShaderRecord &sky = lib->shaders[1];
    EXPECT_EQ(sky.name, id32("sky"));
    EXPECT_EQ(sky.high_pass, 1u);
    EXPECT_EQ(sky.block_size, 64u);

    ASSERT_EQ(lib->templates.size(), 2u);
    const TemplateRecord &t = lib->templates[0];
    EXPECT_EQ(t.name, id32("mesh"));
    ASSERT_EQ(t.slots.count, 1u);
    const TemplateSlotRecord &slot = lib->slots[t.slots.first];
    EXPECT_EQ(slot.name, id32("default"));
    ASSERT_EQ(slot.options.count, 2u);
    const TemplateOptionRecord &deferred = lib->options[slot.options.first];
    EXPECT_EQ(deferred.shader, id32("mesh"));
    const std::vector<u8> &blob = source.templates[0].slots[0].options[0].condition;
    ASSERT_EQ(deferred.condition.count, blob.size());
    EXPECT_EQ(0, memcmp(lib->conditions.data() + deferred.condition.first, blob.data(), blob.size()));
    EXPECT_TRUE(ConstConfigValue::root(lib->conditions.data() + deferred.condition.first, blob.size())
                    .member("deferred")
                    .to_bool());
    EXPECT_EQ(lib->options[slot.options.first + 1].condition.count, 0u);

    // The device descriptions point at the programs' bytes and tables.
    const d3d::ShaderDesc *desc = lib->device_data->description(0);
    ASSERT_NE(desc, nullptr);
    ASSERT_EQ(desc->pass_count, 2u);
    EXPECT_EQ(desc->pass_mode, 0u);
    const d3d::ShaderPassDesc &pass = desc->passes[0];
    EXPECT_EQ(stage_code(pass.stages[u32(d3d::DescStage::vertex)]), "vs-mesh");
    EXPECT_EQ(stage_code(pass.stages[u32(d3d::DescStage::pixel)]), "ps-mesh");
    EXPECT_EQ(pass.stages[u32(d3d::DescStage::hull)].code_size, 0u);
    EXPECT_EQ(pass.stages[u32(d3d::DescStage::compute)].code, nullptr);
    ASSERT_EQ(pass.sampler_count, 1u);
    EXPECT_EQ(pass.samplers[0].name_id, id32("diffuse_map"));
    ASSERT_EQ(pass.samplers[0].states.count, 1u);
    EXPECT_EQ(pass.samplers[0].states.settings[0].value, 1u);
    ASSERT_EQ(pass.blend_states.count, 1u);
    EXPECT_EQ(pass.blend_states.settings[0].id, 1u);
    EXPECT_EQ(pass.blend_states.settings[0].first, 2u);
    EXPECT_EQ(pass.blend_states.settings[0].value, 3u);
    EXPECT_EQ(pass.blend_states.settings[0].last, 4u);
    const d3d::ShaderStageDesc &vs = pass.stages[u32(d3d::DescStage::vertex)];
    ASSERT_EQ(vs.resource_count, 1u);
    EXPECT_EQ(vs.resources[0].name_id, id32("diffuse_map"));
    ASSERT_EQ(vs.sampler_count, 1u);
    const auto *layout = static_cast<const d3d::StageResourceLayout *>(vs.constant_buffers);
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->resource_offsets[0], 80u);
    ASSERT_EQ(layout->buffer_count, 1u);
    EXPECT_EQ(layout->buffers[0].size_bytes, 80u);
    EXPECT_EQ(layout->buffers[0].block_offset, 0u);
    EXPECT_EQ(stage_code(desc->passes[1].stages[u32(d3d::DescStage::vertex)]), "vs-depth");
    EXPECT_EQ(lib->device_data->description(1)->pass_mode, 1u);
    EXPECT_EQ(lib->device_data->description(2), nullptr);
}

// Every library below is the valid one with one thing broken.
TEST(ShaderLibrary, TruncatedAndHostileLibrariesAreRefused)
{
    const std::vector<u8> good = write_shader_library(two_shader_library());
    test::LogCapture log("render");
    for (size_t n = 0; n < good.size(); ++n) {
        ShaderLibrary *lib = read_shader_library(good.data(), n, default_allocator());
        EXPECT_EQ(lib, nullptr) << "truncated at " << n;
        destroy_shader_library(lib);
    }
    std::vector<u8> longer = good;
    longer.push_back(0);
    EXPECT_EQ(read_shader_library(longer.data(), longer.size(), default_allocator()), nullptr);

    struct Case {
        const char *name;
        void (*breakit)(ShaderLibrarySource &);
        const char *log;
    };
    const Case cases[] = {
        {"no device data", [](ShaderLibrarySource &l) { l.write_device_data = false; }, "truncated"},
        {"device data for fewer passes", [](ShaderLibrarySource &l) { l.shaders[0].programs.pop_back(); },
         "one program per pass"},
        {"eight passes",
         [](ShaderLibrarySource &l) {
             for (int i = 0; i < 6; ++i) {
                 l.shaders[1].pass_layers.push_back(0);
                 l.shaders[1].programs.push_back({});
             }
             l.shaders[1].pass_layers.push_back(0);
             l.shaders[1].programs.push_back({});
         },
         "more than 7 passes"},
        {"a shader count past the bytes", [](ShaderLibrarySource &l) { l.shaders.resize(0); l.version = 18; }, nullptr},
        {"unknown value type", [](ShaderLibrarySource &l) { l.shaders[0].buffers[0].variables[1].type = 9; },
         "unknown value type"},
        {"variable entry at a wrong offset", [](ShaderLibrarySource &l) { l.shaders[0].variables[1][2] = 60; },
         "names no described variable"},
        {"resource entry on a float", [](ShaderLibrarySource &l) { l.shaders[0].variables[1][1] = 1; },
         "not a 32-bit handle"},
        {"unknown variable kind", [](ShaderLibrarySource &l) { l.shaders[0].variables[1][1] = 7; }, "unknown kind"},
        {"stage buffer not a multiple of 16",
         [](ShaderLibrarySource &l) { l.shaders[0].programs[0].stages[0].constant_buffers[0][1] = 24; },
         "multiple of 16"},
        {"resource handle past the block",
         [](ShaderLibrarySource &l) { l.shaders[0].programs[0].stages[0].resources[0][2] = 96; }, "outside its constant block"},
        {"unordered view past the block",
         [](ShaderLibrarySource &l) { l.shaders[0].programs[0].stages[0].unordered_views.push_back({200, 0, 0, 0}); },
         "outside its constant block"},
        {"condition that is no config blob",
         [](ShaderLibrarySource &l) { l.templates[0].slots[0].options[0].condition = {1, 2, 3, 4, 5, 6, 7, 8, 9}; },
         "not a valid config blob"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ShaderLibrarySource source = two_shader_library();
        c.breakit(source);
        std::vector<u8> bytes = write_shader_library(source);
        if (!c.log) { // the shader count claims more than the bytes hold
            bytes[4] = 0xFF, bytes[5] = 0xFF, bytes[6] = 0xFF, bytes[7] = 0xFF;
        }
        ShaderLibrary *lib = read_shader_library(bytes.data(), bytes.size(), default_allocator());
        EXPECT_EQ(lib, nullptr);
        destroy_shader_library(lib);
        if (c.log) {
            EXPECT_TRUE(log.contains(c.log));
        }
    }

    const std::vector<u8> group = write_shader_library_group({"a", "b"});
    for (size_t n = 0; n < group.size(); ++n)
        EXPECT_EQ(read_shader_library_group(group.data(), n, default_allocator()), nullptr);
    ShaderLibraryGroup *whole = read_shader_library_group(group.data(), group.size(), default_allocator());
    ASSERT_NE(whole, nullptr);
    ASSERT_EQ(whole->libraries.size(), 2u);
    EXPECT_EQ(whole->libraries[1], NameId64("b").value());
    destroy_shader_library_group(whole);
}

struct PassFixture : ::testing::Test {
    LayerConfigSet layers{default_allocator()};
    u32 alpha = 0, beta = 0; // indices of the two configs

    void SetUp() override
    {
        ConfigText text("layer_configs = {"
                        "  alpha = [ { name = \"first\" } { name = \"opaque\" sort = \"FRONT_BACK\" } ]"
                        "  beta = [ { name = \"transparent\" sort = \"BACK_FRONT\" } { name = \"opaque\" sort = \"BACK_FRONT\" } ]"
                        "}");
        u32 size = 0;
        void *blob = flatten_config(*text.root, default_allocator(), &size);
        ASSERT_TRUE(layers.load(ConstConfigValue::root(blob, size).member("layer_configs"), {}));
        default_allocator().deallocate(blob);
        alpha = layers.find(id32("alpha"))->index;
        beta = layers.find(id32("beta"))->index;
    }
};

TEST_F(PassFixture, PassesResolveToLayerKeysPerConfiguration)
{
    ShaderLibrarySource source;
    source.shaders.push_back(build_shader({"plain", {}, {}, {{"", "v"}, {"opaque", "v"}, {"missing", "v"}}}));
    source.shaders.push_back(build_shader(
        {"high", {}, {}, {{"", "v"}, {"", "v"}, {"transparent", "v"}}, /*high_pass*/ true}));
    LibraryPtr lib = read_library(source);
    ASSERT_TRUE(lib);
    resolve_passes(*lib, &layers);

    constexpr u64 layer1 = 1ull << 55, layer2 = 2ull << 55;
    struct Case {
        const char *name;
        u32 shader, pass;
        bool in_beta;
        u64 bits;
        SortMode mode;
    };
    const Case cases[] = {
        {"layer id 0: the pass number alone", 0, 0, false, 1, SortMode::Nothing},
        {"layer id 0 in the other config", 0, 0, true, 1, SortMode::Nothing},
        {"layer found: number and key, the layer's mode", 0, 1, false, 2 | layer2, SortMode::FrontBack},
        {"same layer at another place", 0, 1, true, 2 | layer2, SortMode::BackFront},
        {"layer not found: no bits, NOTHING", 0, 2, false, 0, SortMode::Nothing},
        {"high pass, layer id 0", 1, 1, false, 2ull << 52, SortMode::Nothing},
        {"high pass 3 found", 1, 2, true, (3ull << 52) | layer1, SortMode::BackFront},
        {"high pass 3 not found", 1, 2, false, 0, SortMode::Nothing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ShaderPassRecord &pass = lib->passes[lib->shaders[c.shader].passes.first + c.pass];
        const u32 config = c.in_beta ? beta : alpha;
        EXPECT_EQ(pass.keys.sort_bits[config], c.bits);
        EXPECT_EQ(pass.keys.sort_mode[config], c.mode);
    }
    // Indices past the configurations stay out of every draw.
    EXPECT_EQ(lib->passes[0].keys.sort_bits[2], 0u);
}

TEST(ShaderLibraryLoader, GroupsComeInOnceAndGoOut)
{
    test::RecordingRenderDevice device(default_allocator());
    ShaderManager shaders(device, default_allocator());
    LayerConfigSet layers(default_allocator());
    FakeResources resources;
    LibraryPtr first = read_library(two_shader_library());
    ShaderLibrarySource other;
    other.shaders.push_back(build_shader({"post", {}, {}, {{"", "", "ps"}}}));
    LibraryPtr second = read_library(other);
    ASSERT_TRUE(first && second);
    const std::vector<u8> group_bytes = write_shader_library_group({"shaders/first", "shaders/second", "shaders/gone"});
    ShaderLibraryGroup *group = read_shader_library_group(group_bytes.data(), group_bytes.size(), default_allocator());
    resources.put("shader_library_group", "core", group);
    resources.put("shader_library", "shaders/first", first.get());
    resources.put("shader_library", "shaders/second", second.get());

    ShaderLibraryLoader loader(default_allocator(), resources.lookup(), shaders);
    test::LogCapture log("render");
    EXPECT_FALSE(loader.load_group("core", &layers)); // "shaders/gone" is not loaded
    EXPECT_TRUE(log.contains("is not loaded"));
    EXPECT_EQ(shaders.shader_count(), 3u);
    Shader *mesh = shaders.find_shader(id32("mesh"));
    ASSERT_NE(mesh, nullptr);
    loader.load_group("core", &layers); // again: the same shaders, one table entry
    EXPECT_EQ(loader.group_count(), 1u);
    EXPECT_EQ(shaders.shader_count(), 3u);
    EXPECT_EQ(shaders.find_shader(id32("mesh")), mesh);
    EXPECT_EQ(shaders.template_count(), 2u);

    EXPECT_FALSE(loader.unload_group("unknown"));
    EXPECT_TRUE(log.contains("is not in"));
    EXPECT_EQ(loader.group_count(), 1u);

    EXPECT_TRUE(loader.unload_group("core"));
    EXPECT_EQ(loader.group_count(), 0u);
    EXPECT_EQ(shaders.template_count(), 0u);
    EXPECT_FALSE(mesh->is_loaded());
    for (const auto &object : device.objects())
        EXPECT_NE(object.second, RenderResourceType::Shader);
    EXPECT_TRUE(device.errors().empty());
    destroy_shader_library_group(group);
}

TEST(ShaderLibrary, SampleLibrarySourceCompilesAndReads)
{
    std::ifstream file(TALLOW_SOURCE_DIR "/data/shaders/sample.shader_library", std::ios::binary);
    ASSERT_TRUE(file);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile_shader_library_source(text.data(), text.size(), bytes, error)) << error;
    LibraryPtr lib(read_shader_library(bytes.data(), bytes.size(), default_allocator()));
    ASSERT_TRUE(lib);
    // "ambient_light", "fullscreen_noise", "gbuffer_clear", "gui", "gui_depth", "gui_text", "line",
    // "line_no_depth", "mesh", "mesh_shadow", "omni_light", "particle", "particle_vertex_color",
    // "sun_light" in name order
    EXPECT_EQ(lib->shaders.size(), 14u);
    EXPECT_EQ(lib->templates.size(), 14u);
    const d3d::ShaderDesc *desc = lib->device_data->description(0);
    ASSERT_NE(desc, nullptr);
    EXPECT_NE(stage_code(desc->passes[0].stages[u32(d3d::DescStage::vertex)]).find("#version 330"), std::string::npos);

    std::string bad = "shaders = { broken = { passes = [ {} {} {} {} {} {} {} {} ] } }";
    EXPECT_FALSE(compile_shader_library_source(bad.data(), bad.size(), bytes, error));
    EXPECT_NE(error.find("at most 7 passes"), std::string::npos);
}

} // namespace
} // namespace tallow

#pragma once
// The generators' test scene: a recording device with a 1280 x 720 back buffer, render
// targets "hdr" (640 x 360) and "depth" (1280 x 720), a texture "noise" (16 x 8), layer
// configuration "main" (layers "opaque", then "post" running generator "post"), shaders
// "fs" (a fullscreen shader drawing in "post" with input_texture0 and its size constants) and
// "cs" (a compute shader in "post"), a shading environment with arrays, and a frame that
// runs generators from config text and decodes what the device would execute.

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "render/config/layer_config_set.h"
#include "render/generators/resource_generator.h"
#include "render/generators/variable_override_map.h"
#include "render/resources/render_resource_set.h"
#include "render/resources/render_target.h"
#include "render/shaders/shader_library_loader.h"
#include "render/shaders/shader_manager.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/recording_render_device.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallow::test {

/// Config text flattened into a blob, as the data build stores a render configuration.
struct ConfigBlob {
    explicit ConfigBlob(const char *text)
    {
        ConfigValue *root = create_config_root(default_allocator());
        parse_config_text(text, text + strlen(text), *root);
        u32 size = 0;
        void *blob = flatten_config(*root, default_allocator(), &size);
        bytes.assign(static_cast<const char *>(blob), size);
        default_allocator().deallocate(blob);
        destroy_config_root(root);
    }
    ConstConfigValue root() const { return ConstConfigValue::root(bytes.data(), bytes.size()); }
    std::string bytes;
};

/// A shading environment of plain arrays: variables over one value block, and materials.
class FakeShading final : public IGeneratorShading {
  public:
    std::vector<ShadingVariable> variables;
    std::vector<u8> block;
    std::map<u32, ShaderContext *> materials;

    /// Appends an array variable of `kind` with `count` elements whose floats are
    /// `first`, `first` + 1, ...
    void add_array(const char *name, u32 kind, u32 count, f32 first)
    {
        const u32 floats = kind == shading_variable_kind::scalar_array    ? 1
                           : kind == shading_variable_kind::vector2_array ? 2
                                                                           : 3;
        ShadingVariable v;
        v.kind = kind;
        v.element_count = count;
        v.id = NameId32(name).value();
        v.offset = u32(block.size());
        for (u32 i = 0; i < count * floats; ++i) {
            const f32 value = first + f32(i);
            const u8 *bytes = reinterpret_cast<const u8 *>(&value);
            block.insert(block.end(), bytes, bytes + 4);
        }
        variables.push_back(v);
    }
    const ShadingVariable *find_variable(u32 id) const override // See IGeneratorShading
    {
        for (const ShadingVariable &v : variables)
            if (v.id == id)
                return &v;
        return nullptr;
    }
    const u8 *value_block() const override { return block.data(); }            // See IGeneratorShading
    u32 value_block_size() const override { return u32(block.size()); }        // See IGeneratorShading
    ShaderContext *material_context(u32 id) override                           // See IGeneratorShading
    {
        auto it = materials.find(id);
        return it == materials.end() ? nullptr : it->second;
    }
    const ShaderVariableBlock *environment_values() const override { return nullptr; } // See IGeneratorShading
};

/// Keys of the "post" layer (the second of "main").
constexpr u64 post_layer_key = 2ull << 55;
inline u64 step_key(u32 counter) { return post_layer_key | (u64(counter) << 46); }
/// The counter of a generator key.
inline u32 counter_of(i64 key) { return u32(u64(key) >> 46) & 63u; }

inline const char *scene_layers = R"(
main = [ { name = "opaque" render_targets = [ "back_buffer" ] }
         { name = "post" resource_generator = "post" } ]
)";

class GeneratorScene {
  public:
    TraceAllocator allocator{"generator_test", default_allocator()};
    RecordingRenderDevice device{allocator};
    BackBufferWrapper back_buffer{allocator, 0};
    RenderTarget hdr{allocator};
    RenderTarget depth{allocator};
    Texture noise{allocator};
    RenderResourceSet resources{allocator};
    LayerConfigSet layers{allocator};
    ShaderManager shaders{device, allocator};
    LibraryPtr library;
    ConfigText settings{"bloom = true quality = 2"};
    ConfigText caps{"deferred = false"};
    FakeShading shading;
    VariableOverrideMap overrides{allocator};
    ResourceGenerators generators{allocator};
    std::vector<std::unique_ptr<ConfigBlob>> blobs; // loaded configurations stay alive
    u32 frame_index = 0;

    GeneratorScene()
    {
        back_buffer.description = {0, 0, 1280, 720, 1, 1};
        device.add_window_targets(0, &back_buffer);
        hdr.description = {0, 0, 640, 360, 1, 1};
        depth.description = {3, 0, 1280, 720, 1, 1};
        noise.description = {0, 0, 16, 8, 1, 1};
        RenderResourceContext *context = device.alloc_resource_context();
        EXPECT_TRUE(context->create_resource(&hdr));
        EXPECT_TRUE(context->create_resource(&depth));
        EXPECT_TRUE(context->create_resource(&noise));
        submit(context);
        resources.add(NameId32("back_buffer").value(), const_cast<RenderTarget *>(device.back_buffer_key()), false, true);
        resources.add(NameId32("hdr").value(), &hdr);
        resources.add(NameId32("depth").value(), &depth);
        resources.add(NameId32("noise").value(), &noise);

        ConfigBlob layer_text(scene_layers);
        RenderBranchValues values{settings.root, caps.root};
        EXPECT_TRUE(layers.load(layer_text.root(), values));

        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"fs",
                                               {{"input_texture0_size", ShaderValueType::Vector2},
                                                {"inv_input_texture0_size", ShaderValueType::Vector2}},
                                               {"input_texture0"},
                                               {{"post", "v", "p"}}}));
        source.shaders.push_back(build_shader({"cs",
                                               {{"input_texture0_size", ShaderValueType::Vector2}},
                                               {"input_texture0"},
                                               {{"post", "", "", {}, {}, "c"}}}));
        source.shaders.push_back(build_shader({"elsewhere", {}, {}, {{"opaque", "v", "p"}}}));
        for (const char *name : {"fs", "cs", "elsewhere"})
            source.templates.push_back({NameId32(name).value(), {{NameId32("default").value(), {{NameId32(name).value(), {}}}}}});
        library = read_library(source);
        EXPECT_TRUE(library);
        resolve_passes(*library, &layers);
        EXPECT_TRUE(shaders.add_shader_library(*library));
        shaders.update_templates(*library);
    }

    ~GeneratorScene()
    {
        RenderResourceContext *context = device.alloc_resource_context();
        generators.clear(context);
        context->release_resource(&hdr);
        context->release_resource(&depth);
        context->release_resource(&noise);
        submit(context);
        EXPECT_TRUE(device.errors().empty()) << device.errors().front();
    }

    void submit(RenderResourceContext *context)
    {
        device.update_resources(1, &context);
        device.release_resource_context(context);
    }

    RenderBranchValues branch_values() { return RenderBranchValues{settings.root, caps.root}; }

    /// Loads the "resource_generators" object of `text`; its resources reach the device.
    bool load(const char *text)
    {
        blobs.push_back(std::make_unique<ConfigBlob>(text));
        RenderResourceContext *context = device.alloc_resource_context();
        GeneratorLoadParams params;
        params.shaders = &shaders;
        params.resources = context;
        params.values = branch_values();
        const bool ok = generators.load(blobs.back()->root().member("resource_generators"), params);
        submit(context);
        return ok;
    }

    GeneratorFrame frame(const Viewport &viewport = {0, 0, 1, 1, 0, 1})
    {
        GeneratorFrame f;
        f.device = &device;
        f.resources = &resources;
        f.layer_config = layers.find(NameId32("main").value());
        f.viewport = viewport;
        f.shading = &shading;
        f.overrides = &overrides;
        f.frame_index = frame_index;
        return f;
    }

    /// Runs the generators for every view (one frame), dispatches the contexts and returns
    /// the commands the device executed.
    const std::vector<DecodedCommand> &run(std::vector<Viewport> views = {{0, 0, 1, 1, 0, 1}})
    {
        Array<RenderContext *> contexts(allocator);
        for (const Viewport &view : views) {
            GeneratorFrame f = frame(view);
            f.contexts = &contexts;
            generators.execute_for_layers(*f.layer_config, f);
        }
        device.dispatch(contexts.size(), contexts.data());
        for (RenderContext *c : contexts)
            device.release_render_context(c);
        ++frame_index;
        return device.frames().back().commands;
    }

    /// The commands of type `type`.
    static std::vector<DecodedCommand> of_type(const std::vector<DecodedCommand> &commands, RenderCommand type)
    {
        std::vector<DecodedCommand> out;
        for (const DecodedCommand &c : commands)
            if (c.type == type)
                out.push_back(c);
        return out;
    }

    RenderTarget *instance(const RenderTarget &t) { return device.render_target(&t, 0); }
};

} // namespace tallow::test

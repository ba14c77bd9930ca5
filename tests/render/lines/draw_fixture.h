#pragma once
// A recording device with the shader templates that line drawers and GUIs draw with, one
// layer configuration to draw into, and helpers that run a draw and decode it.

#include "render/commands/layer_config.h"
#include "render/commands/render_context.h"
#include "render/resources/render_resource_context.h"
#include "render/resources/render_resource_set.h"
#include "render/resources/render_target.h"
#include "render/shaders/shader_manager.h"
#include "render/world/render_draw.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/fakes/recording_render_device.h"

#include <gtest/gtest.h>

#include <vector>

namespace tallow::test {

class DrawFixture : public ::testing::Test {
  protected:
    Allocator &a = default_allocator();
    RecordingRenderDevice device{a};
    BackBufferWrapper back_buffer{a, 0};
    ShaderManager shaders{device, a};
    LibraryPtr library;
    LayerConfig config{a};
    RenderResourceSet resource_set{a};

    void SetUp() override
    {
        device.add_window_targets(0, &back_buffer);
        ShaderLibrarySource source;
        const char *templates[] = {"line_object", "line_object:DEPTH_TEST_DISABLED", "gui", "gui:DEPTH_TEST_ENABLED"};
        for (const char *name : templates) {
            source.shaders.push_back(build_shader({name,
                                                   {{"world", ShaderValueType::Matrix4x4},
                                                    {"view", ShaderValueType::Matrix4x4},
                                                    {"proj", ShaderValueType::Matrix4x4}},
                                                   {},
                                                   {{"overlay", "v", "p"}}}));
            source.templates.push_back({id32(name), {{id32("default"), {{id32(name), {}}}}}});
        }
        // Text: the GUI's shader with the font's texture.
        source.shaders.push_back(build_shader({"gui_text",
                                               {{"world", ShaderValueType::Matrix4x4},
                                                {"view", ShaderValueType::Matrix4x4},
                                                {"proj", ShaderValueType::Matrix4x4}},
                                               {"diffuse_map"},
                                               {{"overlay", "v", "p"}}}));
        source.templates.push_back({id32("gui_text"), {{id32("default"), {{id32("gui_text"), {}}}}}});
        library = read_library(source);
        ASSERT_TRUE(library);
        Layer layer;
        layer.name = id32("overlay");
        layer.sort_mode = SortMode::BackFront;
        ASSERT_TRUE(make_layer_key(0, &layer.key));
        config.layers.push_back(layer);
        for (ShaderPassRecord &pass : library->passes) {
            pass.keys.sort_bits[0] = 1 | layer.key;
            pass.keys.sort_mode[0] = SortMode::BackFront;
        }
        ASSERT_TRUE(shaders.add_shader_library(*library));
        shaders.update_templates(*library);
    }
    void TearDown() override { EXPECT_TRUE(device.errors().empty()) << device.errors().front(); }

    /// Runs `make` with a resource context and executes what it filed.
    template <typename F> void with_resources(F &&make)
    {
        RenderResourceContext *rc = device.alloc_resource_context();
        make(rc);
        device.update_resources(1, &rc);
        device.release_resource_context(rc);
    }

    /// Draws with `draw(params)` into a fresh context and returns the decoded commands.
    template <typename F> std::vector<DecodedCommand> draw(F &&render, u32 width = 1280, u32 height = 720)
    {
        RenderResourceContext *rc = device.alloc_resource_context();
        RenderContext *c = device.alloc_render_context();
        c->bind_layer_config(&config, &resource_set);
        RenderDrawParams params;
        params.context = c;
        params.shaders = &shaders;
        params.resources = rc;
        params.back_buffer_width = width;
        params.back_buffer_height = height;
        render(params);
        // The resources the draw made exist before its commands run.
        device.update_resources(1, &rc);
        device.release_resource_context(rc);
        device.dispatch(1, &c);
        std::vector<DecodedCommand> commands = device.frames().back().commands;
        device.release_render_context(c);
        return commands;
    }

    static std::vector<const DecodedCommand *> of_type(const std::vector<DecodedCommand> &commands, RenderCommand type)
    {
        std::vector<const DecodedCommand *> out;
        for (const DecodedCommand &c : commands)
            if (c.type == type)
                out.push_back(&c);
        return out;
    }
};

} // namespace tallow::test

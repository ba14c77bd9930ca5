// Render-state settings become state descriptions and cached states; the blend alpha
// factors are derived from the colour factors; stage constant buffers are made per layout.
#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"
#include "render/d3d11/d3d_render_state_builder.h"

#include <cstring>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

u32 bits(f32 value)
{
    u32 out;
    memcpy(&out, &value, 4);
    return out;
}

RenderStateList list(const std::vector<RenderStateSetting> &settings)
{
    return {settings.data(), u32(settings.size())};
}

using StateTest = D3DFixture;

TEST_F(StateTest, RasterizerAndDepthStencilIdsReachTheirFields)
{
    D3DObjectCaches &caches = manager->caches();
    RasterizerStateObject rasterizer;
    const std::vector<RenderStateSetting> r = {
        {1, 0, D3D11_CULL_FRONT, 0}, {2, 0, 7, 0}, {3, 0, u32(-4), 0}, {4, 0, bits(0.5f), 0},
        {5, 0, bits(-2.0f), 0},      {7, 0, 1, 0}, {10, 0, 0, 0}, // 10 is not a rasterizer id
    };
    ID3D11RasterizerState *state = apply_rasterizer(rasterizer, list(r), caches, ApplyMode::temporary_clear);
    EXPECT_NE(state, nullptr);
    EXPECT_EQ(rasterizer.state, state);
    EXPECT_EQ(rasterizer.desc.CullMode, D3D11_CULL_FRONT);
    EXPECT_EQ(rasterizer.desc.FrontCounterClockwise, TRUE);
    EXPECT_EQ(rasterizer.desc.DepthBias, -4);
    EXPECT_FLOAT_EQ(rasterizer.desc.DepthBiasClamp, 0.5f);
    EXPECT_FLOAT_EQ(rasterizer.desc.SlopeScaledDepthBias, -2.0f);
    EXPECT_EQ(rasterizer.desc.ScissorEnable, TRUE);

    DepthStencilStateObject depth;
    const std::vector<RenderStateSetting> d = {
        {11, 0, 0, 0}, {14, 0, 0x1F0, 0}, {16, 0, D3D11_STENCIL_OP_INCR, 0}, {23, 0, D3D11_COMPARISON_EQUAL, 0},
        {24, 9, 3, 8}, {25, 0, 1, 0},     {26, 1, 2, 3},                      {1, 0, 0, 0},
    };
    apply_depth_stencil(depth, list(d), caches, ApplyMode::temporary_clear);
    EXPECT_EQ(depth.desc.DepthWriteMask, D3D11_DEPTH_WRITE_MASK_ZERO);
    EXPECT_EQ(depth.desc.StencilReadMask, 0xF0); // the low byte
    EXPECT_EQ(depth.desc.FrontFace.StencilFailOp, D3D11_STENCIL_OP_INCR);
    EXPECT_EQ(depth.desc.BackFace.StencilFunc, D3D11_COMPARISON_EQUAL);
    EXPECT_EQ(depth.stencil.first, 9u);
    EXPECT_EQ(depth.stencil.value, 3u);
    EXPECT_EQ(depth.stencil.last, 8u);
    EXPECT_TRUE(depth.flag);
    EXPECT_EQ(depth.next.last, 3u);
}

TEST_F(StateTest, TemporarySetKeepsTheObjectAndStillWritesItsOwnFields)
{
    D3DObjectCaches &caches = manager->caches();
    DepthStencilStateObject depth;
    apply_depth_stencil(depth, {}, caches, ApplyMode::temporary_clear);
    ID3D11DepthStencilState *own = depth.state;
    const D3D11_DEPTH_STENCIL_DESC before = depth.desc;

    // No setting of the object's range: its own state.
    const std::vector<RenderStateSetting> none = {{40, 0, 1, 0}};
    EXPECT_EQ(apply_depth_stencil(depth, list(none), caches, ApplyMode::temporary_set), own);

    const std::vector<RenderStateSetting> change = {{10, 0, 0, 0}, {24, 1, 5, 2}};
    ID3D11DepthStencilState *temporary = apply_depth_stencil(depth, list(change), caches, ApplyMode::temporary_set);
    EXPECT_NE(temporary, own);
    EXPECT_EQ(depth.state, own);
    EXPECT_EQ(memcmp(&depth.desc, &before, sizeof before), 0);
    EXPECT_EQ(depth.stencil.value, 5u); // id 24 is written in both modes

    SamplerStateObject sampler;
    const std::vector<RenderStateSetting> s = {{7, 0, bits(0.25f), 0}, {10, 0, bits(1.0f), 0}, {13, 0, 1, 0}};
    apply_sampler(sampler, list(s), caches, ApplyMode::temporary_set);
    EXPECT_TRUE(sampler.srgb);
    EXPECT_FLOAT_EQ(sampler.desc.BorderColor[0], default_sampler_desc().BorderColor[0]);
    apply_sampler(sampler, list(s), caches, ApplyMode::temporary_clear);
    EXPECT_FLOAT_EQ(sampler.desc.BorderColor[0], 0.25f); // the float's bits, never an address
    EXPECT_FLOAT_EQ(sampler.desc.BorderColor[3], 1.0f);
}

TEST_F(StateTest, BlendAlphaIsDerivedFromTheColourFactors)
{
    D3DObjectCaches &caches = manager->caches();
    struct Case {
        const char *name;
        std::vector<RenderStateSetting> settings;
        u32 target;
        D3D11_BLEND src_alpha, dest_alpha;
    };
    const D3D11_BLEND default_src = default_blend_desc().RenderTarget[7].SrcBlendAlpha;
    const Case cases[] = {
        // Shared blending: every target takes target 0's alpha-capable factors.
        {"shared", {{29, 0, 0, 0}, {38, 0, D3D11_BLEND_SRC_ALPHA, 0}, {46, 0, D3D11_BLEND_INV_SRC_ALPHA, 0}}, 7,
         D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA},
        // A colour factor that is not alpha-capable keeps the alpha factor it had.
        {"not capable", {{38, 0, D3D11_BLEND_SRC_COLOR, 0}}, 0, default_blend_desc().RenderTarget[0].SrcBlendAlpha,
         default_blend_desc().RenderTarget[0].DestBlendAlpha},
        // Independent blending: target 7 only, from its own factors.
        {"independent", {{29, 0, 1, 0}, {45, 0, D3D11_BLEND_DEST_ALPHA, 0}}, 7, D3D11_BLEND_DEST_ALPHA,
         default_blend_desc().RenderTarget[7].DestBlendAlpha},
        // Separate alpha for target 0 with shared blending: nothing is derived.
        {"separate", {{62, 0, 1, 0}, {38, 0, D3D11_BLEND_ONE, 0}, {70, 0, D3D11_BLEND_ZERO, 0}}, 3, default_src,
         default_blend_desc().RenderTarget[3].DestBlendAlpha},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BlendStateObject blend;
        apply_blend(blend, list(c.settings), caches, ApplyMode::temporary_clear);
        EXPECT_EQ(blend.desc.RenderTarget[c.target].SrcBlendAlpha, c.src_alpha);
        EXPECT_EQ(blend.desc.RenderTarget[c.target].DestBlendAlpha, c.dest_alpha);
    }
    // A SrcBlend setting for target 7 changes only target 7's SrcBlend.
    BlendStateObject blend;
    const std::vector<RenderStateSetting> seven = {{29, 0, 1, 0}, {45, 0, D3D11_BLEND_SRC_COLOR, 0},
                                                  {103 + 2, 0, 1, 0}, {102, 0x1FF, 0x102, 0x3}};
    apply_blend(blend, list(seven), caches, ApplyMode::temporary_clear);
    for (u32 k = 0; k < 7; ++k)
        EXPECT_EQ(blend.desc.RenderTarget[k].SrcBlend, default_blend_desc().RenderTarget[k].SrcBlend);
    EXPECT_EQ(blend.desc.RenderTarget[7].SrcBlend, D3D11_BLEND_SRC_COLOR);
    EXPECT_TRUE(blend.srgb[2]);
    EXPECT_EQ(blend.target_setting.first, 0xFFu);
    EXPECT_EQ(blend.target_setting.value, 0x02u);
}

TEST_F(StateTest, StageConstantBuffersFollowTheLayoutAndItsLimits)
{
    D3DRenderStateBuilder builder(default_allocator(), device, &manager->caches());
    const StageConstantBufferDesc buffers[] = {{0, 64, 0}, {20, 16, 0}, {3, 32, 64}};
    const u32 offsets[] = {0, 4};
    const ShaderBindingDesc resources[] = {{1, 5}, {2, 200}};
    StageResourceLayout layout;
    layout.buffers = buffers;
    layout.buffer_count = 3;
    layout.resource_offsets = offsets;
    ShaderStageDesc stage;
    stage.resources = resources;
    stage.resource_count = 2;
    stage.constant_buffers = &layout;
    D3DStageBinding binding(default_allocator());
    const u32 made = creates(hl::ObjectKind::buffer);
    builder.create_constant_buffers(binding, stage);
    auto *set = static_cast<StageConstantBuffers *>(binding.constant_buffers);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->entries.size(), 2u); // slot 20 is past the 14 constant-buffer slots
    EXPECT_EQ(set->slot_count, 4u);
    EXPECT_EQ(creates(hl::ObjectKind::buffer), made + 2);
    D3D11_BUFFER_DESC desc{};
    set->entries[1].buffer->buffer->GetDesc(&desc);
    EXPECT_EQ(desc.ByteWidth, 32u);
    EXPECT_EQ(desc.Usage, D3D11_USAGE_DYNAMIC);
    EXPECT_EQ(desc.BindFlags, u32(D3D11_BIND_CONSTANT_BUFFER));
    EXPECT_EQ(desc.CPUAccessFlags, u32(D3D11_CPU_ACCESS_WRITE));
    EXPECT_EQ(set->resource_slots[0], 5u);
    EXPECT_EQ(set->resource_slots[1], no_block_offset); // past the 128 view slots

    const u8 bytes[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    update_constant_buffer(immediate, set->entries[1].buffer->buffer.get(), bytes, 32);
    EXPECT_EQ(hl::headless_resource_bytes(set->entries[1].buffer->buffer.get()), std::vector<u8>(bytes, bytes + 32));
    builder.destroy_constant_buffers(binding);
    EXPECT_EQ(binding.constant_buffers, nullptr);
}

} // namespace
} // namespace tallow::render::d3d11::test

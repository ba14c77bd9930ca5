// Shader resources become passes of cached stage programs, with samplers matched to
// their bindings by name and state objects holding the engine's defaults.
#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"
#include "render/commands/command_buffer.h"

#include <cfloat>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

const u8 vs_code[] = {'v', 's', 1, 2, 3};
const u8 ps_code[] = {'p', 's', 4, 5};
const u8 hs_code[] = {'h', 's'};
const u8 gs_code[] = {'g', 's'};

ShaderStageDesc stage(const u8 *code, u32 size)
{
    ShaderStageDesc s;
    s.code = code;
    s.code_size = size;
    return s;
}

struct ShaderTest : D3DFixture {
    RenderResourceHandle create(ShaderResourceRecord &record)
    {
        record.resource.handle = front->handle_pool().alloc_handle(render_handle_kind::shader);
        CommandBuffer stream(default_allocator(), 128);
        UpdateCreateShader create{&record.resource, record.resource.handle};
        stream.write(u32(ResourceUpdate::CreateShader), &create, sizeof create);
        manager->process(stream);
        return record.resource.handle;
    }
    void release(RenderResourceHandle handle) { manager->release(RenderResourceType::Shader, handle); }
};

TEST_F(ShaderTest, ShadersShareStageProgramsUntilTheLastGoes)
{
    ShaderPassDesc pass;
    pass.stages[u32(DescStage::vertex)] = stage(vs_code, sizeof vs_code);
    pass.stages[u32(DescStage::pixel)] = stage(ps_code, sizeof ps_code);
    ShaderPassDesc other = pass;
    const u8 other_ps[] = {'p', 's', 9};
    other.stages[u32(DescStage::pixel)] = stage(other_ps, sizeof other_ps);
    ShaderDesc first_desc{&pass, 1, 0};
    ShaderDesc second_desc{&other, 1, 1};
    ShaderResourceRecord first{{RenderResourceType::Shader}, &first_desc};
    ShaderResourceRecord second{{RenderResourceType::Shader}, &second_desc};
    const RenderResourceHandle a = create(first);
    const RenderResourceHandle b = create(second);
    const D3DShader *sa = manager->shader(a);
    const D3DShader *sb = manager->shader(b);
    ASSERT_TRUE(sa && sb);
    EXPECT_EQ(sb->pass_mode(), 1u);
    ASSERT_EQ(sa->pass_count(), 1u);
    const D3DShaderPass *pa = sa->pass(0);
    const D3DShaderPass *pb = sb->pass(0);
    EXPECT_EQ(pa->stage(PassStage::vertex)->shader, pb->stage(PassStage::vertex)->shader);
    EXPECT_NE(pa->stage(PassStage::pixel)->shader, pb->stage(PassStage::pixel)->shader);
    for (PassStage s : {PassStage::hull, PassStage::domain, PassStage::geometry, PassStage::compute}) {
        EXPECT_EQ(pa->stage(s), nullptr);
    }
    // Equal default states are one Direct3D object each.
    EXPECT_EQ(pa->rasterizer->state, pb->rasterizer->state);
    EXPECT_EQ(pa->blend->state, pb->blend->state);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::vertex_shader), 1u);

    release(a);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::vertex_shader), 1u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::pixel_shader), 1u);
    release(b);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::vertex_shader), 0u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::pixel_shader), 0u);
    EXPECT_EQ(manager->live_count(RenderResourceType::Shader), 0u);
}

TEST_F(ShaderTest, BindingsFindTheirSamplersByName)
{
    const RenderStateSetting none[1] = {};
    ShaderSamplerDesc samplers[2] = {{100, {none, 0}}, {200, {none, 0}}};
    const ShaderBindingDesc resources[3] = {{200, 0}, {300, 1}, {100, 2}};
    const ShaderBindingDesc sampler_bindings[2] = {{100, 0}, {999, 1}};
    ShaderPassDesc pass;
    pass.samplers = samplers;
    pass.sampler_count = 2;
    pass.stages[u32(DescStage::pixel)] = stage(ps_code, sizeof ps_code);
    pass.stages[u32(DescStage::pixel)].resources = resources;
    pass.stages[u32(DescStage::pixel)].resource_count = 3;
    pass.stages[u32(DescStage::pixel)].samplers = sampler_bindings;
    pass.stages[u32(DescStage::pixel)].sampler_count = 2;
    ShaderDesc desc{&pass, 1, 0};

    // A state builder that marks sampler 200 as sRGB, as its render states would.
    struct Builder final : IRenderStateBuilder {
        D3DObjectCaches *caches;
        void apply_rasterizer(RasterizerStateObject &o, const RenderStateList &) override
        {
            o.state = caches->get_rasterizer_state(o.desc);
        }
        void apply_depth_stencil(DepthStencilStateObject &o, const RenderStateList &) override
        {
            o.state = caches->get_depth_stencil_state(o.desc);
        }
        void apply_blend(BlendStateObject &o, const RenderStateList &) override { o.state = caches->get_blend_state(o.desc); }
        void apply_sampler(SamplerStateObject &o, const RenderStateList &) override
        {
            o.srgb = ++seen == 2;
            o.state = caches->get_sampler_state(o.desc);
        }
        void create_constant_buffers(D3DStageBinding &binding, const ShaderStageDesc &) override
        {
            binding.constant_buffers = this;
            ++buffers;
        }
        void destroy_constant_buffers(D3DStageBinding &) override { --buffers; }
        int seen = 0;
        int buffers = 0;
    } builder;
    builder.caches = &manager->caches();
    D3DShader *shader = D3DShader::create(manager->allocator(), manager->caches(), &builder, desc);
    ASSERT_NE(shader, nullptr);
    const D3DShaderPass *p = shader->pass(0);
    ASSERT_EQ(p->samplers.size(), 2u);
    const D3DStageBinding &binding = p->stage(PassStage::pixel)->binding;
    ASSERT_EQ(binding.samplers.size(), 2u);
    EXPECT_EQ(binding.samplers[0], p->samplers[0].sampler);
    EXPECT_EQ(binding.samplers[1], nullptr);
    ASSERT_EQ(binding.srgb_flags.size(), 3u);
    EXPECT_EQ(binding.srgb_flags[0], 1);
    EXPECT_EQ(binding.srgb_flags[1], 0);
    EXPECT_EQ(binding.srgb_flags[2], 0);
    EXPECT_EQ(builder.buffers, 1);
    D3DShader::destroy(manager->allocator(), manager->caches(), &builder, shader);
    EXPECT_EQ(builder.buffers, 0);

    // Without samplers the list is empty.
    ShaderPassDesc bare;
    bare.stages[u32(DescStage::vertex)] = stage(vs_code, sizeof vs_code);
    ShaderDesc bare_desc{&bare, 1, 0};
    shader = D3DShader::create(manager->allocator(), manager->caches(), nullptr, bare_desc);
    ASSERT_NE(shader, nullptr);
    EXPECT_TRUE(shader->pass(0)->samplers.empty());
    D3DShader::destroy(manager->allocator(), manager->caches(), nullptr, shader);
}

TEST_F(ShaderTest, StateObjectsStartWithTheEngineDefaults)
{
    RasterizerStateObject rs;
    EXPECT_EQ(rs.desc.FillMode, D3D11_FILL_SOLID);
    EXPECT_EQ(rs.desc.CullMode, D3D11_CULL_BACK);
    EXPECT_EQ(rs.desc.FrontCounterClockwise, TRUE);
    EXPECT_EQ(rs.desc.DepthBias, 0);
    EXPECT_EQ(rs.desc.DepthClipEnable, TRUE);
    EXPECT_EQ(rs.desc.ScissorEnable, TRUE);
    EXPECT_EQ(rs.desc.MultisampleEnable, FALSE);
    EXPECT_EQ(rs.desc.AntialiasedLineEnable, FALSE);
    DepthStencilStateObject ds;
    EXPECT_EQ(ds.desc.DepthEnable, TRUE);
    EXPECT_EQ(ds.desc.DepthWriteMask, D3D11_DEPTH_WRITE_MASK_ALL);
    EXPECT_EQ(ds.desc.DepthFunc, D3D11_COMPARISON_LESS_EQUAL);
    EXPECT_EQ(ds.desc.StencilEnable, FALSE);
    EXPECT_EQ(ds.desc.StencilReadMask, 0xFF);
    EXPECT_EQ(ds.desc.BackFace.StencilFunc, D3D11_COMPARISON_ALWAYS);
    EXPECT_EQ(ds.desc.FrontFace.StencilPassOp, D3D11_STENCIL_OP_KEEP);
    EXPECT_EQ(ds.stencil.first, 2u);
    f32 last;
    memcpy(&last, &ds.last.value, 4);
    EXPECT_EQ(last, 1.0f);
    BlendStateObject bs;
    EXPECT_EQ(bs.target_setting.first, 2u);
    EXPECT_EQ(bs.target_setting.value, 0xFFFFFFFFu);
    for (const D3D11_RENDER_TARGET_BLEND_DESC &t : bs.desc.RenderTarget) {
        EXPECT_EQ(t.BlendEnable, FALSE);
        EXPECT_EQ(t.SrcBlend, D3D11_BLEND_ONE);
        EXPECT_EQ(t.DestBlend, D3D11_BLEND_ZERO);
        EXPECT_EQ(t.BlendOpAlpha, D3D11_BLEND_OP_ADD);
        EXPECT_EQ(t.RenderTargetWriteMask, 15);
    }
    SamplerStateObject ss;
    EXPECT_EQ(ss.desc.Filter, D3D11_FILTER_MIN_MAG_MIP_LINEAR);
    EXPECT_EQ(ss.desc.AddressW, D3D11_TEXTURE_ADDRESS_WRAP);
    EXPECT_EQ(ss.desc.MaxAnisotropy, 16u);
    EXPECT_EQ(ss.desc.ComparisonFunc, D3D11_COMPARISON_NEVER);
    EXPECT_EQ(ss.desc.MinLOD, -FLT_MAX);
    EXPECT_EQ(ss.desc.MaxLOD, FLT_MAX);
    EXPECT_FALSE(ss.srgb);
}

TEST_F(ShaderTest, StagesTheFeatureLevelLacksAreAbsentAndBrokenDescriptionsRefused)
{
    stop();
    start(D3D_FEATURE_LEVEL_10_0);
    ShaderPassDesc pass;
    pass.stages[u32(DescStage::vertex)] = stage(vs_code, sizeof vs_code);
    pass.stages[u32(DescStage::hull)] = stage(hs_code, sizeof hs_code);
    pass.stages[u32(DescStage::geometry)] = stage(gs_code, sizeof gs_code);
    ShaderDesc desc{&pass, 1, 0};
    ShaderResourceRecord record{{RenderResourceType::Shader}, &desc};
    const RenderResourceHandle h = create(record);
    const D3DShaderPass *p = manager->shader(h)->pass(0);
    EXPECT_NE(p->stage(PassStage::vertex), nullptr);
    EXPECT_EQ(p->stage(PassStage::hull), nullptr);
    EXPECT_NE(p->stage(PassStage::geometry), nullptr);

    ShaderPassDesc broken;
    broken.sampler_count = 17;
    ShaderSamplerDesc samplers[17] = {};
    broken.samplers = samplers;
    ShaderDesc broken_desc{&broken, 1, 0};
    ShaderResourceRecord bad{{RenderResourceType::Shader}, &broken_desc};
    const RenderResourceHandle hb = create(bad);
    EXPECT_EQ(manager->shader(hb), nullptr);
    release(h);
}

} // namespace
} // namespace tallow::render::d3d11::test

// The object caches: one Direct3D object per description, shared; shaders and input
// layouts counted and released with their last user.
#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"

#include <thread>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

struct CachesTest : D3DFixture {
    D3DObjectCaches &caches() { return manager->caches(); }
};

TEST_F(CachesTest, EqualDescriptionsShareOneStateAndAFloatApartMakesAnother)
{
    struct Case {
        const char *name;
        hl::ObjectKind kind;
        std::function<void *(D3DObjectCaches &, bool)> get; // bool: change one float field
    };
    const Case cases[] = {
        {"rasterizer", hl::ObjectKind::rasterizer_state,
         [](D3DObjectCaches &c, bool changed) -> void * {
             D3D11_RASTERIZER_DESC d = default_rasterizer_desc();
             if (changed)
                 d.SlopeScaledDepthBias = 0.5f;
             return c.get_rasterizer_state(d);
         }},
        {"depth-stencil", hl::ObjectKind::depth_stencil_state,
         [](D3DObjectCaches &c, bool changed) -> void * {
             D3D11_DEPTH_STENCIL_DESC d = default_depth_stencil_desc();
             if (changed)
                 d.StencilReadMask = 0x0F;
             return c.get_depth_stencil_state(d);
         }},
        {"blend", hl::ObjectKind::blend_state,
         [](D3DObjectCaches &c, bool changed) -> void * {
             D3D11_BLEND_DESC d = default_blend_desc();
             if (changed)
                 d.RenderTarget[7].RenderTargetWriteMask = 1;
             return c.get_blend_state(d);
         }},
        {"sampler", hl::ObjectKind::sampler_state,
         [](D3DObjectCaches &c, bool changed) -> void * {
             D3D11_SAMPLER_DESC d = default_sampler_desc();
             if (changed)
                 d.BorderColor[3] = 1.0f;
             return c.get_sampler_state(d);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const u32 before = creates(c.kind);
        void *first = c.get(caches(), false);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(c.get(caches(), false), first);
        EXPECT_EQ(creates(c.kind), before + 1);
        void *other = c.get(caches(), true);
        EXPECT_NE(other, first);
        EXPECT_EQ(creates(c.kind), before + 2);
    }
    EXPECT_EQ(caches().state_count(), 8u);
}

TEST_F(CachesTest, PaddingBytesDoNotSplitEqualDescriptions)
{
    // The depth-stencil description has padding after its two masks; garbage there must
    // not make a second state.
    D3D11_DEPTH_STENCIL_DESC a, b;
    memset(&a, 0x00, sizeof a);
    memset(&b, 0xAB, sizeof b);
    const D3D11_DEPTH_STENCIL_DESC d = default_depth_stencil_desc();
    for (D3D11_DEPTH_STENCIL_DESC *x : {&a, &b}) {
        x->DepthEnable = d.DepthEnable;
        x->DepthWriteMask = d.DepthWriteMask;
        x->DepthFunc = d.DepthFunc;
        x->StencilEnable = d.StencilEnable;
        x->StencilReadMask = d.StencilReadMask;
        x->StencilWriteMask = d.StencilWriteMask;
        x->FrontFace = d.FrontFace;
        x->BackFace = d.BackFace;
    }
    EXPECT_EQ(caches().get_depth_stencil_state(a), caches().get_depth_stencil_state(b));
}

TEST_F(CachesTest, ShadersAreCountedAndAFailureIsNotCached)
{
    const u8 code[] = {0x44, 0x58, 0x42, 0x43, 1, 2, 3};
    ID3D11VertexShader *vs = caches().get_vertex_shader(code, sizeof code);
    ASSERT_NE(vs, nullptr);
    EXPECT_EQ(caches().get_vertex_shader(code, sizeof code), vs);
    EXPECT_EQ(caches().shader_users(vs), 2u);
    EXPECT_EQ(creates(hl::ObjectKind::vertex_shader), 1u);
    caches().release_vertex_shader(vs);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::vertex_shader), 1u);
    caches().release_vertex_shader(vs);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::vertex_shader), 0u);
    EXPECT_EQ(caches().shader_count(), 0u);
    caches().release_vertex_shader(vs); // no entry holds it any more: nothing happens

    // A prefix is a different key.
    const u8 prefix[] = {0x44, 0x58, 0x42};
    hl::headless_fail_next(hl::ObjectKind::pixel_shader, 1);
    EXPECT_EQ(caches().get_pixel_shader(prefix, sizeof prefix), nullptr);
    ID3D11PixelShader *ps = caches().get_pixel_shader(prefix, sizeof prefix);
    EXPECT_NE(ps, nullptr);
    EXPECT_EQ(creates(hl::ObjectKind::pixel_shader), 2u);
    caches().release_pixel_shader(ps);
}

TEST_F(CachesTest, FeatureLevelTenHasNoHullOrDomainShaders)
{
    stop();
    start(D3D_FEATURE_LEVEL_10_0);
    const u8 code[] = {1, 2, 3, 4};
    EXPECT_EQ(caches().get_hull_shader(code, sizeof code), nullptr);
    EXPECT_EQ(caches().get_domain_shader(code, sizeof code), nullptr);
    EXPECT_EQ(creates(hl::ObjectKind::hull_shader), 0u);
    EXPECT_EQ(creates(hl::ObjectKind::domain_shader), 0u);
    ID3D11GeometryShader *gs = caches().get_geometry_shader(code, sizeof code);
    ID3D11ComputeShader *cs = caches().get_compute_shader(code, sizeof code);
    EXPECT_NE(gs, nullptr);
    EXPECT_NE(cs, nullptr);
    caches().release_geometry_shader(gs);
    caches().release_compute_shader(cs);
}

TEST_F(CachesTest, InputLayoutsAreSharedAcrossThreadsAndKeyedByTheirBytes)
{
    D3D11_INPUT_ELEMENT_DESC elements[2] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 12, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    std::vector<u8> code = {9, 8, 7, 6, 5};
    constexpr u32 threads = 8;
    ID3D11InputLayout *seen[threads] = {};
    std::vector<std::thread> workers;
    for (u32 t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { seen[t] = caches().get_input_layout(code.data(), u32(code.size()), elements, 2); });
    for (std::thread &w : workers)
        w.join();
    for (u32 t = 1; t < threads; ++t)
        EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(creates(hl::ObjectKind::input_layout), 1u);
    EXPECT_EQ(caches().input_layout_users(seen[0]), threads);

    // The key holds its own copy of the byte code and compares names as text.
    std::vector<u8> other_code = code;
    code.assign(code.size(), 0);
    char name[] = "POSITION";
    D3D11_INPUT_ELEMENT_DESC renamed[2] = {elements[0], elements[1]};
    renamed[0].SemanticName = name;
    EXPECT_EQ(caches().get_input_layout(other_code.data(), u32(other_code.size()), renamed, 2), seen[0]);
    for (u32 t = 0; t <= threads; ++t)
        caches().release_input_layout(seen[0]);
    EXPECT_EQ(caches().input_layout_count(), 0u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::input_layout), 0u);
}

} // namespace
} // namespace tallow::render::d3d11::test

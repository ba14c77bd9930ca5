// Texture formats, subresource layouts and texture objects.
#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"
#include "render/d3d11/texture_format.h"

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

TEST(TextureFormat, SubresourcePitches)
{
    struct Case {
        const char *name;
        u32 format, width, height, mip;
        u32 row_pitch, rows;
    };
    const Case cases[] = {
        {"1x1 stays 1x1 at mip 2", 0, 1, 1, 2, 4, 1},
        {"BC1 2x2 is one block", 4, 2, 2, 0, 8, 1},
        {"BC3 13x5", 6, 13, 5, 0, 64, 2},
        {"BC1 8x8 mip 3", 4, 8, 8, 3, 8, 1},
        {"R16F 7x3 mip 1", 13, 7, 3, 1, 6, 1},
        {"RGBA32F 5x5", 9, 5, 5, 0, 80, 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SubresourcePitch p = subresource_pitch(c.format, c.width, c.height, c.mip);
        EXPECT_EQ(p.row_pitch, c.row_pitch);
        EXPECT_EQ(p.rows, c.rows);
    }
    EXPECT_EQ(subresource_total_bytes(0, 1, 1, 1, 3), 12u);
    EXPECT_EQ(subresource_total_bytes(0, 4, 4, 6, 3), 6u * (64 + 16 + 4));
    EXPECT_EQ(subresource_total_bytes(15, 4, 4, 1, 1), 0u);
    EXPECT_EQ(typeless_format(15), DXGI_FORMAT_UNKNOWN);
}

struct TextureTest : D3DFixture {
    D3DTextureCreator &creator() { return manager->texture_creator(); }
};

TEST_F(TextureTest, CubeGetsTheCubeFlagAndViewsOverEveryMip)
{
    std::vector<std::vector<u8>> data;
    std::vector<const void *> pointers;
    for (u32 face = 0; face < 6; ++face)
        for (u32 mip = 0; mip < 3; ++mip) {
            data.emplace_back(subresource_pitch(11, 4, 4, mip).row_pitch * subresource_pitch(11, 4, 4, mip).rows,
                              u8(face * 3 + mip));
        }
    for (auto &d : data)
        pointers.push_back(d.data());
    TextureRecord record;
    ASSERT_TRUE(creator().create_texture(record, {11, 2, 4, 4, 6, 3}, pointers.data(), u32(pointers.size())));
    D3D11_TEXTURE2D_DESC desc{};
    static_cast<ID3D11Texture2D *>(record.object->resource())->GetDesc(&desc);
    EXPECT_EQ(desc.MiscFlags, u32(D3D11_RESOURCE_MISC_TEXTURECUBE));
    EXPECT_EQ(desc.ArraySize, 6u);
    EXPECT_EQ(desc.MipLevels, 3u);
    D3D11_SHADER_RESOURCE_VIEW_DESC view{};
    record.linear_view->GetDesc(&view);
    EXPECT_EQ(view.ViewDimension, D3D11_SRV_DIMENSION_TEXTURECUBE);
    EXPECT_EQ(view.TextureCube.MipLevels, 3u);
    // One view serves both slots: no sRGB form of this format.
    EXPECT_EQ(record.linear_view.get(), record.srgb_view.get());
    EXPECT_TRUE(record.srgb_view.is_owned());
    EXPECT_FALSE(record.linear_view.is_owned());
    // Face 4, mip 1 is subresource 4 x 3 + 1.
    EXPECT_EQ(hl::headless_resource_bytes(record.object->resource(), 13)[0], 13);
    creator().release_texture(record);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::shader_resource_view), 0u);
    EXPECT_FALSE(record.valid);
    // Release, then create again into the same record.
    ASSERT_TRUE(creator().create_texture(record, {1, 0, 2, 2, 1, 1}, nullptr, 0));
    EXPECT_EQ(record.byte_size, 0u);
    creator().release_texture(record);
}

TEST_F(TextureTest, BrokenDescriptionsMakeNothing)
{
    struct Case {
        const char *name;
        TextureDesc desc;
        u32 pointers;
    };
    const Case cases[] = {
        {"unknown format", {15, 0, 4, 4, 1, 1}, 0},
        {"zero width", {0, 0, 0, 4, 1, 1}, 0},
        {"cube of 5 faces", {0, 2, 4, 4, 5, 1}, 0},
        {"too many mips", {0, 0, 4, 4, 1, 40}, 0},
        {"wrong pointer count", {0, 0, 4, 4, 1, 2}, 1},
    };
    const u8 texels[64] = {};
    const void *pointers[2] = {texels, texels};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TextureRecord record;
        EXPECT_FALSE(creator().create_texture(record, c.desc, c.pointers ? pointers : nullptr, c.pointers));
        EXPECT_EQ(record.object, nullptr);
    }
    EXPECT_EQ(creates(hl::ObjectKind::texture2d), 0u);
}

TEST_F(TextureTest, TargetViewsFitTheTextureTheDeviceMakes)
{
    // Each view must fit the texture as made: a target flagged multisampled with one sample is
    // a single-sampled texture, and the device makes no multisampled cube.
    struct Case {
        const char *name;
        RenderTargetDesc desc;
        bool made;
        u32 samples;
        D3D11_SRV_DIMENSION view;
        u32 slice_view; // the render-target or depth view dimension of slice 0
    };
    const Case cases[] = {
        {"flagged multisampled with one sample", {0, 0, 8, 8, 1, 1, 0, true}, true, 1, D3D11_SRV_DIMENSION_TEXTURE2D,
         D3D11_RTV_DIMENSION_TEXTURE2D},
        {"array flagged multisampled with one sample", {0, 0, 8, 8, 3, 1, 0, true}, true, 1,
         D3D11_SRV_DIMENSION_TEXTURE2DARRAY, D3D11_RTV_DIMENSION_TEXTURE2DARRAY},
        {"multisampled cube", {0, 2, 8, 8, 6, 4, 0, true}, false, 0, D3D11_SRV_DIMENSION_UNKNOWN, 0},
        {"multisampled depth array", {3, 0, 8, 8, 3, 2, 0, true}, true, 2, D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY,
         D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY},
        {"two cubes", {0, 2, 8, 8, 12, 1, 0, false}, true, 1, D3D11_SRV_DIMENSION_TEXTURECUBEARRAY,
         D3D11_RTV_DIMENSION_TEXTURE2DARRAY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        hl::headless_reset();
        RenderTargetRecord record(default_allocator());
        EXPECT_EQ(creator().create_render_target(record, c.desc), c.made);
        EXPECT_EQ(creates(hl::ObjectKind::texture2d), c.made ? 1u : 0u);
        if (c.made && record.object && record.linear_view) {
            D3D11_TEXTURE2D_DESC texture{};
            static_cast<ID3D11Texture2D *>(record.object->resource())->GetDesc(&texture);
            EXPECT_EQ(texture.SampleDesc.Count, c.samples);
            D3D11_SHADER_RESOURCE_VIEW_DESC view{};
            record.linear_view->GetDesc(&view);
            EXPECT_EQ(view.ViewDimension, c.view);
            if (record.is_depth) {
                ASSERT_FALSE(record.depth_targets.empty());
                D3D11_DEPTH_STENCIL_VIEW_DESC depth{};
                record.depth_targets[0]->GetDesc(&depth);
                EXPECT_EQ(u32(depth.ViewDimension), c.slice_view);
            } else {
                ASSERT_FALSE(record.linear_targets.empty());
                D3D11_RENDER_TARGET_VIEW_DESC target{};
                record.linear_targets[0]->GetDesc(&target);
                EXPECT_EQ(u32(target.ViewDimension), c.slice_view);
            }
        } else {
            EXPECT_FALSE(c.made) << "a target was made without its texture or view";
        }
        for (const hl::Diagnostic &d : hl::headless_diagnostics())
            ADD_FAILURE() << "diagnostic of the layer: " << hl::to_string(d.rule) << ": " << d.message;
        creator().release_render_target(record);
    }
}

TEST_F(TextureTest, BlockCompressedUpdatesUseBlockRows)
{
    std::vector<u8> mip0(2 * 2 * 8, 0x11), mip1(8, 0x22); // 8x8 BC1: 2x2 blocks, then 1 block
    const void *initial[2] = {mip0.data(), mip1.data()};
    TextureRecord record;
    ASSERT_TRUE(creator().create_texture(record, {4, 0, 8, 8, 1, 2}, initial, 2));
    std::vector<u8> fresh0(32, 0x33), fresh1(8, 0x44);
    const void *update[2] = {fresh0.data(), fresh1.data()};
    creator().update_texture(immediate, record, update, 2);
    EXPECT_EQ(hl::headless_resource_bytes(record.object->resource(), 0), fresh0);
    EXPECT_EQ(hl::headless_resource_bytes(record.object->resource(), 1), fresh1);
    creator().release_texture(record);
}

} // namespace
} // namespace tallow::render::d3d11::test

// The headless Direct3D layer's contexts: bytes moved by Map, Update, Copy and clears, the
// journal and draw records, deferred command lists, and the rule diagnostics.
#include "tests/platform/d3d11_test_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <thread>

using namespace tallow;
using namespace tallow::d3d11;

namespace {

std::vector<u8> iota_bytes(size_t n, u8 first = 1)
{
    std::vector<u8> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

/// Asks for a view the layer must refuse: E_INVALIDARG and no view.
template <class View, class Desc>
void expect_refused(ID3D11Device *device, HRESULT (ID3D11Device::*create)(ID3D11Resource *, const Desc *, View **),
                    ID3D11Resource *resource, const Desc &desc)
{
    View *view = nullptr;
    EXPECT_EQ((device->*create)(resource, &desc, &view), E_INVALIDARG);
    EXPECT_EQ(view, nullptr);
    if (view) view->Release();
}

D3D11_SHADER_RESOURCE_VIEW_DESC srv_desc(D3D11_SRV_DIMENSION dimension, UINT first_mip, UINT mips,
                                         UINT first_slice = 0, UINT slices = 1)
{
    D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
    desc.ViewDimension = dimension;
    if (dimension == D3D11_SRV_DIMENSION_TEXTURECUBEARRAY)
        desc.TextureCubeArray = {first_mip, mips, first_slice, slices};
    else
        desc.Texture2DArray = {first_mip, mips, first_slice, slices}; // the 2D and cube forms share its head
    return desc;
}

TEST_F(HeadlessDeviceTest, MapWritesTheBufferBytes)
{
    ID3D11Buffer *ring = make_buffer(16, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER);
    D3D11_MAPPED_SUBRESOURCE mapped;
    ASSERT_EQ(context->Map(ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
    std::memset(mapped.pData, 0x11, 8);
    context->Unmap(ring, 0);
    ASSERT_EQ(context->Map(ring, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &mapped), S_OK);
    std::memset(static_cast<u8 *>(mapped.pData) + 8, 0x22, 8);
    context->Unmap(ring, 0);
    std::vector<u8> expected(8, 0x11);
    expected.resize(16, 0x22);
    EXPECT_EQ(headless_resource_bytes(ring), expected);
    ring->Release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, UpdateAndCopyMoveExactBytes)
{
    // 4×4 RGBA8 textures: rows of 16 bytes.
    std::vector<u8> initial = iota_bytes(64);
    D3D11_TEXTURE2D_DESC desc{4, 4, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                              D3D11_BIND_SHADER_RESOURCE, 0, 0};
    D3D11_SUBRESOURCE_DATA init{initial.data(), 16, 0};
    ID3D11Texture2D *source = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&desc, &init, &source), S_OK);
    EXPECT_EQ(headless_resource_bytes(source), initial);

    // A 2×2 update at (1, 2) with a source pitch of 12 bytes (4 bytes of padding per row).
    ID3D11Texture2D *target = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
    std::vector<u8> patch = iota_bytes(24, 200);
    D3D11_BOX box{1, 2, 0, 3, 4, 1};
    context->UpdateSubresource(target, 0, &box, patch.data(), 12, 0);
    std::vector<u8> bytes = headless_resource_bytes(target);
    EXPECT_EQ(std::vector<u8>(bytes.begin() + 2 * 16 + 4, bytes.begin() + 2 * 16 + 12),
              std::vector<u8>(patch.begin(), patch.begin() + 8));
    EXPECT_EQ(std::vector<u8>(bytes.begin() + 3 * 16 + 4, bytes.begin() + 3 * 16 + 12),
              std::vector<u8>(patch.begin() + 12, patch.begin() + 20));
    EXPECT_EQ(bytes[0], 0);

    // Copy the source's texels (2, 0)-(4, 1) to (0, 3) of the target.
    D3D11_BOX region{2, 0, 0, 4, 1, 1};
    context->CopySubresourceRegion(target, 0, 0, 3, 0, source, 0, &region);
    bytes = headless_resource_bytes(target);
    EXPECT_EQ(std::vector<u8>(bytes.begin() + 48, bytes.begin() + 56),
              std::vector<u8>(initial.begin() + 8, initial.begin() + 16));

    context->CopyResource(target, source);
    EXPECT_EQ(headless_resource_bytes(target), initial);

    // Buffers: byte boxes.
    std::vector<u8> data = iota_bytes(32);
    ID3D11Buffer *a = make_buffer(32, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, data.data());
    ID3D11Buffer *b = make_buffer(32, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER);
    D3D11_BOX bytes_box{4, 0, 0, 12, 1, 1};
    context->CopySubresourceRegion(b, 0, 20, 0, 0, a, 0, &bytes_box);
    std::vector<u8> expected(32, 0);
    std::copy(data.begin() + 4, data.begin() + 12, expected.begin() + 20);
    EXPECT_EQ(headless_resource_bytes(b), expected);

    // Block-compressed: a 8×8 BC1 texture has 2×2 blocks of 8 bytes.
    ID3D11Texture2D *bc = make_texture(8, 8, DXGI_FORMAT_BC1_UNORM, D3D11_BIND_SHADER_RESOURCE);
    std::vector<u8> block = iota_bytes(8, 50);
    D3D11_BOX block_box{4, 4, 0, 8, 8, 1};
    context->UpdateSubresource(bc, 0, &block_box, block.data(), 8, 0);
    std::vector<u8> bc_bytes = headless_resource_bytes(bc);
    ASSERT_EQ(bc_bytes.size(), 32u);
    EXPECT_EQ(std::vector<u8>(bc_bytes.begin() + 24, bc_bytes.end()), block);

    for (IUnknown *object : std::initializer_list<IUnknown *>{source, target, a, b, bc}) object->Release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, ClearsFillSimpleFormats)
{
    ID3D11Texture2D *colour = make_texture(2, 2, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET);
    ID3D11Texture2D *depth = make_texture(2, 2, DXGI_FORMAT_D32_FLOAT, D3D11_BIND_DEPTH_STENCIL);
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11DepthStencilView *dsv = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(colour, nullptr, &rtv), S_OK);
    ASSERT_EQ(device->CreateDepthStencilView(depth, nullptr, &dsv), S_OK);
    const FLOAT red[4] = {1, 0, 0, 1};
    context->ClearRenderTargetView(rtv, red);
    context->ClearDepthStencilView(dsv, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1.0f, 0);
    std::vector<u8> texels = headless_resource_bytes(colour);
    for (size_t i = 0; i < texels.size(); i += 4)
        EXPECT_EQ(std::vector<u8>(texels.begin() + i, texels.begin() + i + 4), (std::vector<u8>{255, 0, 0, 255}));
    std::vector<u8> depths = headless_resource_bytes(depth);
    f32 first;
    std::memcpy(&first, depths.data(), 4);
    EXPECT_EQ(first, 1.0f);
    std::vector<JournalEntry> journal = headless_journal(context);
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], (JournalEntry{ContextOp::clear_render_target_view, {headless_object_id(rtv)}, {1, 0, 0, 1}}));
    EXPECT_EQ(journal[1], (JournalEntry{ContextOp::clear_depth_stencil_view, {headless_object_id(dsv)}, {3, 1, 0}}));
    rtv->Release();
    dsv->Release();
    colour->Release();
    depth->Release();
}

/// A small scene recorded through any context: targets, states, shaders, constants with
/// mapped bytes, geometry, a draw, an updated constant buffer and an indexed draw.
struct Scene {
    ID3D11Texture2D *target = nullptr;
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11Buffer *constants = nullptr; // dynamic
    ID3D11Buffer *settings = nullptr;  // default usage, updated
    ID3D11Buffer *vertices = nullptr;
    ID3D11Buffer *indices = nullptr;
    ID3D11VertexShader *vs = nullptr;
    ID3D11PixelShader *ps = nullptr;
    ID3D11BlendState *blend = nullptr;

    void create(ID3D11Device *device)
    {
        D3D11_TEXTURE2D_DESC tex{8, 8, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                 D3D11_BIND_RENDER_TARGET, 0, 0};
        ASSERT_EQ(device->CreateTexture2D(&tex, nullptr, &target), S_OK);
        ASSERT_EQ(device->CreateRenderTargetView(target, nullptr, &rtv), S_OK);
        D3D11_BUFFER_DESC cb{16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
        ASSERT_EQ(device->CreateBuffer(&cb, nullptr, &constants), S_OK);
        D3D11_BUFFER_DESC sb{16, D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0};
        ASSERT_EQ(device->CreateBuffer(&sb, nullptr, &settings), S_OK);
        D3D11_BUFFER_DESC vb{64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        ASSERT_EQ(device->CreateBuffer(&vb, nullptr, &vertices), S_OK);
        D3D11_BUFFER_DESC ib{12, D3D11_USAGE_DEFAULT, D3D11_BIND_INDEX_BUFFER, 0, 0, 0};
        ASSERT_EQ(device->CreateBuffer(&ib, nullptr, &indices), S_OK);
        const u8 code[] = {1, 2, 3};
        ASSERT_EQ(device->CreateVertexShader(code, 3, nullptr, &vs), S_OK);
        ASSERT_EQ(device->CreatePixelShader(code, 3, nullptr, &ps), S_OK);
        D3D11_BLEND_DESC bd{};
        bd.RenderTarget[0] = {FALSE, D3D11_BLEND_ONE, D3D11_BLEND_ZERO, D3D11_BLEND_OP_ADD, D3D11_BLEND_ONE,
                              D3D11_BLEND_ZERO, D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
        ASSERT_EQ(device->CreateBlendState(&bd, &blend), S_OK);
    }

    void record(ID3D11DeviceContext *c, u8 fill)
    {
        c->OMSetRenderTargets(1, &rtv, nullptr);
        D3D11_VIEWPORT viewport{0, 0, 8, 8, 0, 1};
        c->RSSetViewports(1, &viewport);
        c->OMSetBlendState(blend, nullptr, 0xFFFFFFFF);
        c->VSSetShader(vs, nullptr, 0);
        c->PSSetShader(ps, nullptr, 0);
        D3D11_MAPPED_SUBRESOURCE mapped;
        ASSERT_EQ(c->Map(constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
        std::memset(mapped.pData, fill, 16);
        c->Unmap(constants, 0);
        c->VSSetConstantBuffers(0, 1, &constants);
        ID3D11Buffer *both[2] = {constants, settings};
        c->PSSetConstantBuffers(0, 2, both);
        UINT stride = 16, offset = 0;
        c->IASetVertexBuffers(0, 1, &vertices, &stride, &offset);
        c->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        c->Draw(3, 0);
        std::vector<u8> update(16, u8(fill + 1));
        c->UpdateSubresource(settings, 0, nullptr, update.data(), 0, 0);
        c->IASetIndexBuffer(indices, DXGI_FORMAT_R16_UINT, 2);
        c->DrawIndexedInstanced(6, 2, 0, 0, 0);
    }

    void release()
    {
        for (IUnknown *o : std::initializer_list<IUnknown *>{rtv, target, constants, settings, vertices, indices, vs, ps,
                                                            blend})
            o->Release();
    }
};

TEST_F(HeadlessDeviceTest, DrawRecordsSnapshotTheBoundState)
{
    Scene scene;
    scene.create(device);
    scene.record(context, 7);
    std::vector<DrawRecord> draws = headless_draws(context);
    ASSERT_EQ(draws.size(), 2u);
    const DrawRecord &first = draws[0];
    EXPECT_EQ(first.vertex_count, 3u);
    EXPECT_EQ(first.render_targets[0], headless_object_id(scene.rtv));
    EXPECT_EQ(first.viewports.size(), 1u);
    EXPECT_EQ(first.blend_state, headless_object_id(scene.blend));
    EXPECT_EQ(first.topology, (u32)D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    EXPECT_EQ(first.vertex_buffers[0], (VertexBufferSlot{headless_object_id(scene.vertices), 16, 0}));
    const StageSnapshot &vs = first.stages[(u32)Stage::vertex];
    EXPECT_EQ(vs.shader, headless_object_id(scene.vs));
    EXPECT_EQ(vs.constant_bytes[0], std::vector<u8>(16, 7));
    EXPECT_EQ(first.stages[(u32)Stage::pixel].constant_bytes[1], std::vector<u8>(16, 0));
    const DrawRecord &second = draws[1];
    EXPECT_EQ(second.op, ContextOp::draw_indexed_instanced);
    EXPECT_EQ(second.instance_count, 2u);
    EXPECT_EQ(second.index_format, DXGI_FORMAT_R16_UINT);
    EXPECT_EQ(second.index_offset, 2u);
    EXPECT_EQ(second.stages[(u32)Stage::pixel].constant_bytes[1], std::vector<u8>(16, 8)) << "bytes at draw time";
    scene.release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, CommandListReplaysLikeTheImmediateContext)
{
    Scene scene;
    scene.create(device);
    scene.record(context, 5);
    std::vector<JournalEntry> direct = headless_journal(context);
    std::vector<DrawRecord> direct_draws = headless_draws(context);
    std::vector<u8> direct_settings = headless_resource_bytes(scene.settings);
    context->ClearState();
    headless_clear_journal(context);
    // Forget the bytes the direct run left, so the playback must bring them.
    std::vector<u8> zeros(16, 0);
    context->UpdateSubresource(scene.settings, 0, nullptr, zeros.data(), 0, 0);
    headless_clear_journal(context);

    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    EXPECT_EQ(deferred->GetType(), D3D11_DEVICE_CONTEXT_DEFERRED);
    scene.record(deferred, 5);
    EXPECT_EQ(headless_resource_bytes(scene.settings), zeros) << "nothing moves before playback";
    ID3D11CommandList *list = nullptr;
    ASSERT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
    context->ExecuteCommandList(list, FALSE);

    std::vector<JournalEntry> played = headless_journal(context);
    ASSERT_EQ(played.size(), direct.size() + 1);
    EXPECT_EQ(played[0].op, ContextOp::execute_command_list);
    EXPECT_EQ(std::vector<JournalEntry>(played.begin() + 1, played.end()), direct);
    EXPECT_EQ(headless_draws(context), direct_draws);
    EXPECT_EQ(headless_resource_bytes(scene.settings), direct_settings);
    EXPECT_EQ(headless_resource_bytes(scene.constants), std::vector<u8>(16, 5));

    // The deferred context journals what it recorded and ends with the list.
    std::vector<JournalEntry> recorded = headless_journal(deferred);
    ASSERT_EQ(recorded.size(), direct.size() + 1);
    EXPECT_EQ(std::vector<JournalEntry>(recorded.begin(), recorded.end() - 1), direct);
    EXPECT_EQ(recorded.back().op, ContextOp::finish_command_list);

    // Both contexts are back in their default state: a bare draw binds nothing.
    context->Draw(1, 0);
    deferred->Draw(1, 0);
    DrawRecord bare;
    bare.vertex_count = 1;
    EXPECT_EQ(headless_draws(context).back(), bare);
    EXPECT_EQ(headless_draws(deferred).back(), bare);

    list->Release();
    ID3D11CommandList *unused = nullptr;
    ASSERT_EQ(deferred->FinishCommandList(FALSE, &unused), S_OK);
    unused->Release();
    deferred->Release();
    scene.release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, DeferredRingWritesKeepEarlierLists)
{
    // Two lists append to one ring: the second list's NO_OVERWRITE write must not wipe what
    // the first list wrote, although neither was played when the second was recorded.
    ID3D11Buffer *ring = make_buffer(8, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER);
    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    ID3D11CommandList *lists[2] = {};
    for (u32 i = 0; i < 2; ++i) {
        D3D11_MAPPED_SUBRESOURCE mapped;
        ASSERT_EQ(deferred->Map(ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
        deferred->Unmap(ring, 0);
        ASSERT_EQ(deferred->Map(ring, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &mapped), S_OK);
        std::memset(static_cast<u8 *>(mapped.pData) + 4 * i, int(0xA0 + i), 4);
        deferred->Unmap(ring, 0);
        ASSERT_EQ(deferred->FinishCommandList(FALSE, &lists[i]), S_OK);
    }
    for (ID3D11CommandList *list : lists) {
        context->ExecuteCommandList(list, FALSE);
        list->Release();
    }
    EXPECT_EQ(headless_resource_bytes(ring), (std::vector<u8>{0xA0, 0xA0, 0xA0, 0xA0, 0xA1, 0xA1, 0xA1, 0xA1}));
    deferred->Release();
    ring->Release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, EachBrokenRuleIsReported)
{
    ID3D11Buffer *dynamic = make_buffer(16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER);
    ID3D11Buffer *fixed = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER);
    ID3D11Texture2D *target = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM,
                                           D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
    ID3D11Texture2D *small = make_texture(2, 2, DXGI_FORMAT_D32_FLOAT, D3D11_BIND_DEPTH_STENCIL);
    ID3D11Texture2D *plain = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11ShaderResourceView *srv = nullptr;
    ID3D11DepthStencilView *dsv = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(target, nullptr, &rtv), S_OK);
    ASSERT_EQ(device->CreateShaderResourceView(target, nullptr, &srv), S_OK);
    ASSERT_EQ(device->CreateDepthStencilView(small, nullptr, &dsv), S_OK);
    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    // 3 mips, 2 slices; a 6-slice cube; a 4-sample target; 4 float elements.
    ID3D11Texture2D *mipped =
        make_texture(8, 8, DXGI_FORMAT_R8G8B8A8_UNORM,
                     D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET | D3D11_BIND_UNORDERED_ACCESS, 3, 2);
    D3D11_TEXTURE2D_DESC cube_desc{4, 4, 1, 6, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                   D3D11_BIND_SHADER_RESOURCE, 0, D3D11_RESOURCE_MISC_TEXTURECUBE};
    D3D11_TEXTURE2D_DESC ms_desc{4, 4, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {4, 0}, D3D11_USAGE_DEFAULT,
                                 D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET, 0, 0};
    ID3D11Texture2D *cube = nullptr;
    ID3D11Texture2D *multisampled = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&cube_desc, nullptr, &cube), S_OK);
    ASSERT_EQ(device->CreateTexture2D(&ms_desc, nullptr, &multisampled), S_OK);
    ID3D11Buffer *elements = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE);
    const auto make_srv = &ID3D11Device::CreateShaderResourceView;
    const auto make_rtv = &ID3D11Device::CreateRenderTargetView;

    struct Case {
        const char *name;
        Rule rule;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"NO_OVERWRITE first in a command list", Rule::no_overwrite_before_discard,
         [&] {
             D3D11_MAPPED_SUBRESOURCE m;
             ASSERT_EQ(deferred->Map(dynamic, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &m), S_OK);
             deferred->Unmap(dynamic, 0);
         }},
        {"Map of a default-usage buffer", Rule::map_not_dynamic,
         [&] {
             D3D11_MAPPED_SUBRESOURCE m;
             EXPECT_EQ(context->Map(fixed, 0, D3D11_MAP_WRITE_DISCARD, 0, &m), E_INVALIDARG);
             EXPECT_EQ(m.pData, nullptr);
         }},
        {"UpdateSubresource of a dynamic buffer", Rule::update_dynamic,
         [&] {
             u8 bytes[16] = {};
             context->UpdateSubresource(dynamic, 0, nullptr, bytes, 0, 0);
         }},
        {"copy box past the source", Rule::copy_out_of_range,
         [&] {
             D3D11_BOX box{0, 0, 0, 5, 1, 1};
             context->CopySubresourceRegion(target, 0, 0, 0, 0, plain, 0, &box);
         }},
        {"copy box past the destination", Rule::copy_out_of_range,
         [&] {
             D3D11_BOX box{0, 0, 0, 2, 2, 1};
             context->CopySubresourceRegion(target, 0, 3, 3, 0, plain, 0, &box);
         }},
        {"copy to a position whose end wraps around", Rule::copy_out_of_range,
         [&] {
             D3D11_BOX box{0, 0, 0, 2, 2, 1};
             context->CopySubresourceRegion(target, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, plain, 0, &box);
         }},
        {"render-target view without the bind flag", Rule::view_without_bind_flag,
         [&] {
             ID3D11RenderTargetView *view = nullptr;
             EXPECT_EQ(device->CreateRenderTargetView(plain, nullptr, &view), E_INVALIDARG);
             EXPECT_EQ(view, nullptr);
         }},
        {"shader-resource mips past the texture", Rule::view_out_of_range,
         [&] { expect_refused(device, make_srv, mipped, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2D, 1, 3)); }},
        {"every mip from past the last one", Rule::view_out_of_range,
         [&] { expect_refused(device, make_srv, mipped, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2D, 3, UINT(-1))); }},
        {"no mips", Rule::view_out_of_range,
         [&] { expect_refused(device, make_srv, mipped, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2D, 0, 0)); }},
        {"array slices past the texture", Rule::view_out_of_range,
         [&] { expect_refused(device, make_srv, mipped, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2DARRAY, 0, 3, 1, 2)); }},
        {"array view of two slices on a single texture", Rule::view_out_of_range,
         [&] {
             D3D11_RENDER_TARGET_VIEW_DESC d{};
             d.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DARRAY;
             d.Texture2DArray = {0, 0, 2};
             expect_refused(device, make_rtv, target, d);
         }},
        {"render-target mip past the texture", Rule::view_out_of_range,
         [&] {
             D3D11_RENDER_TARGET_VIEW_DESC d{};
             d.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
             d.Texture2D.MipSlice = 3;
             expect_refused(device, make_rtv, mipped, d);
         }},
        {"depth slices whose end wraps around", Rule::view_out_of_range,
         [&] {
             D3D11_DEPTH_STENCIL_VIEW_DESC d{};
             d.ViewDimension = D3D11_DSV_DIMENSION_TEXTURE2DARRAY;
             d.Texture2DArray = {0, 0xFFFFFFFFu, 2};
             expect_refused(device, &ID3D11Device::CreateDepthStencilView, small, d);
         }},
        {"unordered access to no slices", Rule::view_out_of_range,
         [&] {
             D3D11_UNORDERED_ACCESS_VIEW_DESC d{};
             d.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2DARRAY;
             d.Texture2DArray = {0, 0, 0};
             expect_refused(device, &ID3D11Device::CreateUnorderedAccessView, mipped, d);
         }},
        {"cube count whose six faces wrap in 32 bits", Rule::view_out_of_range,
         [&] {
             // 0x2AAAAAAB cubes are 0x100000002 faces: 2 once cut to 32 bits.
             expect_refused(device, make_srv, cube, srv_desc(D3D11_SRV_DIMENSION_TEXTURECUBEARRAY, 0, 1, 0, 0x2AAAAAABu));
         }},
        {"buffer elements past the end", Rule::view_out_of_range,
         [&] {
             D3D11_SHADER_RESOURCE_VIEW_DESC d{};
             d.Format = DXGI_FORMAT_R32_FLOAT;
             d.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
             d.Buffer.FirstElement = 2;
             d.Buffer.NumElements = 3;
             expect_refused(device, make_srv, elements, d);
         }},
        {"cube view of a texture made without the cube flag", Rule::view_dimension_mismatch,
         [&] { expect_refused(device, make_srv, mipped, srv_desc(D3D11_SRV_DIMENSION_TEXTURECUBE, 0, 1)); }},
        {"multisampled view of a single-sampled texture", Rule::view_dimension_mismatch,
         [&] {
             D3D11_RENDER_TARGET_VIEW_DESC d{};
             d.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DMS;
             expect_refused(device, make_rtv, target, d);
         }},
        {"single-sample view of a multisampled texture", Rule::view_dimension_mismatch,
         [&] { expect_refused(device, make_srv, multisampled, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2D, 0, 1)); }},
        {"texture view of a buffer", Rule::view_dimension_mismatch,
         [&] { expect_refused(device, make_srv, elements, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2D, 0, 1)); }},
        {"targets of different sizes", Rule::target_size_mismatch,
         [&] { context->OMSetRenderTargets(1, &rtv, dsv); }},
        {"input bound while it is an output", Rule::input_bound_as_output,
         [&] {
             context->OMSetRenderTargets(1, &rtv, nullptr);
             context->PSSetShaderResources(0, 1, &srv);
             context->Draw(3, 0);
             EXPECT_EQ(headless_draws(context).back().stages[(u32)Stage::pixel].resources[0], 0u)
                 << "the view is forced to null";
             context->ClearState();
         }},
        {"Map after the last release", Rule::invalid_call,
         [&] {
             ID3D11Buffer *buffer = make_buffer(4, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER);
             buffer->Release();
             D3D11_MAPPED_SUBRESOURCE m;
             EXPECT_EQ(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &m), E_INVALIDARG);
         }},
        {"release past zero", Rule::over_release,
         [&] {
             ID3D11Buffer *buffer = make_buffer(4, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER);
             buffer->Release();
             buffer->Release();
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        headless_clear_diagnostics();
        c.run();
        std::vector<Diagnostic> diagnostics = headless_diagnostics();
        ASSERT_EQ(diagnostics.size(), 1u);
        EXPECT_EQ(diagnostics[0].rule, c.rule);
        EXPECT_FALSE(diagnostics[0].message.empty());
    }

    headless_clear_diagnostics();
    ID3D11CommandList *list = nullptr;
    ASSERT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
    list->Release();
    deferred->Release();
    for (IUnknown *o : std::initializer_list<IUnknown *>{rtv, srv, dsv, dynamic, fixed, target, small, plain, mipped,
                                                        cube, multisampled, elements})
        o->Release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, ViewsWithinTheirResourceCoverWhatTheyName)
{
    // 2 mips and 12 slices (two cubes); a clear through a one-slice view of mip 1 must touch
    // that subresource only.
    D3D11_TEXTURE2D_DESC cubes_desc{4, 4, 2, 12, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                    D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET, 0,
                                    D3D11_RESOURCE_MISC_TEXTURECUBE};
    ID3D11Texture2D *cubes = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&cubes_desc, nullptr, &cubes), S_OK);
    D3D11_TEXTURE2D_DESC ms_desc{4, 4, 1, 3, DXGI_FORMAT_R8G8B8A8_UNORM, {4, 0}, D3D11_USAGE_DEFAULT,
                                 D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_DEPTH_STENCIL, 0, 0};
    ms_desc.Format = DXGI_FORMAT_R32_TYPELESS;
    ID3D11Texture2D *multisampled = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&ms_desc, nullptr, &multisampled), S_OK);
    D3D11_BUFFER_DESC structured_desc{48, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0,
                                      D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 12};
    ID3D11Buffer *structured = nullptr;
    ASSERT_EQ(device->CreateBuffer(&structured_desc, nullptr, &structured), S_OK);

    std::vector<IUnknown *> views;
    auto made = [&](HRESULT result, IUnknown *view) {
        EXPECT_EQ(result, S_OK);
        EXPECT_NE(view, nullptr);
        if (view) views.push_back(view);
    };
    auto shader_view = [&](ID3D11Resource *resource, const D3D11_SHADER_RESOURCE_VIEW_DESC &desc) {
        ID3D11ShaderResourceView *view = nullptr;
        const HRESULT result = device->CreateShaderResourceView(resource, &desc, &view);
        made(result, view);
    };
    shader_view(cubes, srv_desc(D3D11_SRV_DIMENSION_TEXTURE2DARRAY, 1, UINT(-1), 11, 1));
    shader_view(cubes, srv_desc(D3D11_SRV_DIMENSION_TEXTURECUBE, 0, 2));
    shader_view(cubes, srv_desc(D3D11_SRV_DIMENSION_TEXTURECUBEARRAY, 0, 2, 6, 1));
    D3D11_SHADER_RESOURCE_VIEW_DESC ms_view{};
    ms_view.Format = DXGI_FORMAT_R32_FLOAT;
    ms_view.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY;
    ms_view.Texture2DMSArray = {1, 2};
    shader_view(multisampled, ms_view);
    D3D11_SHADER_RESOURCE_VIEW_DESC elements{};
    elements.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
    elements.Buffer.FirstElement = 1;
    elements.Buffer.NumElements = 3; // 12-byte elements: the last one ends at byte 48
    shader_view(structured, elements);
    D3D11_DEPTH_STENCIL_VIEW_DESC depth{};
    depth.Format = DXGI_FORMAT_D32_FLOAT;
    depth.ViewDimension = D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY;
    depth.Texture2DMSArray = {2, 1};
    ID3D11DepthStencilView *dsv = nullptr;
    const HRESULT depth_result = device->CreateDepthStencilView(multisampled, &depth, &dsv);
    made(depth_result, dsv);

    D3D11_RENDER_TARGET_VIEW_DESC target{};
    target.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DARRAY;
    target.Texture2DArray = {1, 7, 1};
    ID3D11RenderTargetView *rtv = nullptr;
    const HRESULT target_result = device->CreateRenderTargetView(cubes, &target, &rtv);
    made(target_result, rtv);
    const FLOAT red[4] = {1, 0, 0, 1};
    if (rtv) context->ClearRenderTargetView(rtv, red);
    for (u32 slice = 0; slice < 12; ++slice) {
        for (u32 mip = 0; mip < 2; ++mip) {
            SCOPED_TRACE(testing::Message() << "slice " << slice << " mip " << mip);
            std::vector<u8> bytes = headless_resource_bytes(cubes, D3D11CalcSubresource(mip, slice, 2));
            ASSERT_FALSE(bytes.empty());
            EXPECT_EQ(bytes[0], slice == 7 && mip == 1 ? 0xFF : 0x00);
        }
    }
    EXPECT_TRUE(headless_diagnostics().empty());
    for (IUnknown *view : views) view->Release();
    cubes->Release();
    multisampled->Release();
    structured->Release();
}

TEST_F(HeadlessDeviceTest, TwoThreadsInOneContextAreReported)
{
    // Two threads draw on one context until the layer sees them overlap (it serialises the
    // calls, so the run itself stays sound).
    std::atomic<bool> stop{false};
    auto hammer = [&] {
        while (!stop.load()) context->Draw(3, 0);
    };
    std::thread a(hammer), b(hammer);
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_of(Rule::concurrent_context_use) == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
    stop = true;
    a.join();
    b.join();
    EXPECT_GE(count_of(Rule::concurrent_context_use), 1u);
}

TEST(HeadlessNullMode, NoJournalWhenTurnedOff)
{
    headless_reset();
    HeadlessConfig config = default_headless_config();
    config.journal = false;
    headless_configure(config);
    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                nullptr, &context),
              S_OK);
    context->Draw(3, 0);
    EXPECT_TRUE(headless_journal(context).empty());
    EXPECT_TRUE(headless_draws(context).empty());
    context->Release();
    device->Release();
}

} // namespace

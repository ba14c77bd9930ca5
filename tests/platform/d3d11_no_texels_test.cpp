// The headless device keeping no texels: every call is checked, refused, journalled and
// played back as on a device that keeps bytes, while resources hold no storage and maps
// write into reused scratch memory.
#include "platform/d3d11/d3d11_headless.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <unistd.h>

using namespace tallow;
using namespace tallow::d3d11;

namespace {

/// The same objects made on a device of either mode, in the same order.
struct Kit {
    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    ID3D11DeviceContext *deferred = nullptr;
    ID3D11Buffer *ring = nullptr;      // dynamic vertex buffer, 64 bytes
    ID3D11Buffer *constants = nullptr; // dynamic constant buffer, 16 bytes
    ID3D11Buffer *fixed = nullptr;     // default-usage vertex buffer, 64 bytes
    ID3D11Texture2D *target = nullptr; // 16×16 RGBA8 render target and shader input
    ID3D11Texture2D *depth = nullptr;  // 16×16 D24S8
    ID3D11Texture2D *plain = nullptr;  // 16×16 RGBA8, 3 mips
    ID3D11Texture2D *plain2 = nullptr; // the same again
    ID3D11Texture2D *mapped_texture = nullptr; // dynamic 8×8 RGBA8
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11DepthStencilView *dsv = nullptr;
    ID3D11ShaderResourceView *srv = nullptr;
    u64 first_id = 0;

    void create(bool keep_texels)
    {
        headless_reset();
        HeadlessConfig config = default_headless_config();
        config.keep_texels = keep_texels;
        headless_configure(config);
        ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &device, nullptr, &context),
                  S_OK);
        first_id = headless_object_id(device);
        ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
        const u8 initial[64] = {1, 2, 3};
        D3D11_SUBRESOURCE_DATA init{initial, 0, 0};
        D3D11_BUFFER_DESC ring_desc{64, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
        D3D11_BUFFER_DESC cb_desc{16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
        D3D11_BUFFER_DESC fixed_desc{64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        ASSERT_EQ(device->CreateBuffer(&ring_desc, nullptr, &ring), S_OK);
        ASSERT_EQ(device->CreateBuffer(&cb_desc, nullptr, &constants), S_OK);
        ASSERT_EQ(device->CreateBuffer(&fixed_desc, &init, &fixed), S_OK);
        D3D11_TEXTURE2D_DESC tex{16, 16, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                 D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0, 0};
        ASSERT_EQ(device->CreateTexture2D(&tex, nullptr, &target), S_OK);
        D3D11_TEXTURE2D_DESC depth_desc = tex;
        depth_desc.Format = DXGI_FORMAT_D24_UNORM_S8_UINT;
        depth_desc.BindFlags = D3D11_BIND_DEPTH_STENCIL;
        ASSERT_EQ(device->CreateTexture2D(&depth_desc, nullptr, &depth), S_OK);
        D3D11_TEXTURE2D_DESC plain_desc = tex;
        plain_desc.MipLevels = 3;
        plain_desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        ASSERT_EQ(device->CreateTexture2D(&plain_desc, nullptr, &plain), S_OK);
        ASSERT_EQ(device->CreateTexture2D(&plain_desc, nullptr, &plain2), S_OK);
        D3D11_TEXTURE2D_DESC dynamic_desc{8, 8, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DYNAMIC,
                                          D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE, 0};
        ASSERT_EQ(device->CreateTexture2D(&dynamic_desc, nullptr, &mapped_texture), S_OK);
        ASSERT_EQ(device->CreateRenderTargetView(target, nullptr, &rtv), S_OK);
        ASSERT_EQ(device->CreateDepthStencilView(depth, nullptr, &dsv), S_OK);
        ASSERT_EQ(device->CreateShaderResourceView(target, nullptr, &srv), S_OK);
        headless_clear_journal(context);
        headless_clear_journal(deferred);
        headless_clear_diagnostics();
    }

    void release()
    {
        for (IUnknown *o : std::initializer_list<IUnknown *>{srv, dsv, rtv, mapped_texture, plain2, plain, depth,
                                                            target, fixed, constants, ring, deferred, context, device})
            if (o) o->Release();
    }

    /// Ids counted from the device's, so two runs name the same objects alike.
    std::vector<JournalEntry> journal(ID3D11DeviceContext *of) const
    {
        std::vector<JournalEntry> entries = headless_journal(of);
        for (JournalEntry &entry : entries)
            for (u64 &id : entry.objects)
                if (id) id -= first_id - 1;
        return entries;
    }
};

/// What a run of calls gave: results, pitches, diagnostics (ids taken out of the text),
/// both contexts' journals and the number of draws recorded.
struct Outcome {
    std::vector<i64> results;
    std::vector<Rule> rules;
    std::vector<std::string> messages;
    std::vector<JournalEntry> immediate, deferred;
    size_t draws = 0;
};

void map_and_fill(ID3D11DeviceContext *c, ID3D11Resource *resource, D3D11_MAP type, u32 rows, Outcome &o)
{
    D3D11_MAPPED_SUBRESOURCE mapped{};
    const HRESULT result = c->Map(resource, 0, type, 0, &mapped);
    o.results.push_back(result);
    o.results.push_back(mapped.RowPitch);
    o.results.push_back(mapped.DepthPitch);
    o.results.push_back(mapped.pData != nullptr);
    if (SUCCEEDED(result)) {
        // Every byte the map covers is writable (the scratch is as large as the subresource).
        std::memset(mapped.pData, 0x5A, size_t(mapped.RowPitch) * rows);
        c->Unmap(resource, 0);
    }
}

struct Case {
    const char *name;
    size_t diagnostics; // how many rules the calls break
    std::function<void(Kit &, Outcome &)> run;
};

Outcome run_case(const Case &c, bool keep_texels)
{
    Kit kit;
    kit.create(keep_texels);
    Outcome o;
    c.run(kit, o);
    const std::regex id("#[0-9]+");
    for (const Diagnostic &d : headless_diagnostics()) {
        o.rules.push_back(d.rule);
        o.messages.push_back(std::regex_replace(d.message, id, "#"));
    }
    o.immediate = kit.journal(kit.context);
    o.deferred = kit.journal(kit.deferred);
    o.draws = headless_draws(kit.context).size();
    if (!keep_texels) {
        EXPECT_TRUE(headless_resource_bytes(kit.fixed).empty());
        EXPECT_TRUE(headless_resource_bytes(kit.target).empty());
    }
    kit.release();
    return o;
}

TEST(HeadlessNoTexels, CallsGiveTheSameResultsRefusalsAndJournals)
{
    const Case cases[] = {
        {"write maps of a buffer and a texture", 0,
         [](Kit &k, Outcome &o) {
             map_and_fill(k.context, k.ring, D3D11_MAP_WRITE_DISCARD, 1, o);
             map_and_fill(k.context, k.ring, D3D11_MAP_WRITE_NO_OVERWRITE, 1, o);
             map_and_fill(k.context, k.constants, D3D11_MAP_WRITE_DISCARD, 1, o);
             map_and_fill(k.context, k.mapped_texture, D3D11_MAP_WRITE_DISCARD, 8, o);
         }},
        {"maps refused", 5,
         [](Kit &k, Outcome &o) {
             D3D11_MAPPED_SUBRESOURCE m{};
             o.results.push_back(k.context->Map(k.fixed, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
             o.results.push_back(k.context->Map(k.ring, 0, D3D11_MAP_READ, 0, &m));
             o.results.push_back(k.context->Map(k.ring, 1, D3D11_MAP_WRITE_DISCARD, 0, &m));
             o.results.push_back(k.context->Map(k.ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
             o.results.push_back(k.context->Map(k.ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &m)); // mapped already
             k.context->Unmap(k.ring, 0);
             k.context->Unmap(k.ring, 0); // not mapped any more
         }},
        {"updates", 3,
         [](Kit &k, Outcome &) {
             const u8 bytes[16 * 16 * 4] = {7};
             k.context->UpdateSubresource(k.fixed, 0, nullptr, bytes, 0, 0);
             const D3D11_BOX half{0, 0, 0, 32, 1, 1};
             k.context->UpdateSubresource(k.fixed, 0, &half, bytes, 0, 0);
             const D3D11_BOX corner{4, 4, 0, 8, 8, 1};
             k.context->UpdateSubresource(k.plain, 1, &corner, bytes, 16, 0);
             k.context->UpdateSubresource(k.ring, 0, nullptr, bytes, 0, 0); // dynamic
             const D3D11_BOX past{0, 0, 0, 65, 1, 1};
             k.context->UpdateSubresource(k.fixed, 0, &past, bytes, 0, 0);
             k.context->UpdateSubresource(k.plain, 3, nullptr, bytes, 0, 0); // no such mip
         }},
        {"copies", 3,
         [](Kit &k, Outcome &) {
             k.context->CopyResource(k.plain2, k.plain);
             k.context->CopyResource(k.target, k.plain); // unequal
             const D3D11_BOX box{0, 0, 0, 4, 4, 1};
             k.context->CopySubresourceRegion(k.plain2, 1, 2, 2, 0, k.plain, 0, &box);
             k.context->CopySubresourceRegion(k.plain2, 2, 2, 2, 0, k.plain, 0, &box); // past the destination
             const D3D11_BOX wide{0, 0, 0, 17, 4, 1};
             k.context->CopySubresourceRegion(k.plain2, 0, 0, 0, 0, k.plain, 0, &wide); // past the source
             k.context->CopySubresourceRegion(k.target, 0, 0, 0, 0, k.plain, 0, nullptr);
         }},
        {"clears", 1,
         [](Kit &k, Outcome &) {
             const f32 colour[4] = {0.25f, 0.5f, 0.75f, 1};
             k.context->ClearRenderTargetView(k.rtv, colour);
             k.context->ClearRenderTargetView(k.rtv, nullptr);
             k.context->ClearDepthStencilView(k.dsv, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1, 0);
         }},
        {"draws with an input bound as output", 1,
         [](Kit &k, Outcome &o) {
             k.context->OMSetRenderTargets(1, &k.rtv, k.dsv);
             k.context->PSSetShaderResources(0, 1, &k.srv);
             map_and_fill(k.context, k.constants, D3D11_MAP_WRITE_DISCARD, 1, o);
             k.context->PSSetConstantBuffers(0, 1, &k.constants);
             const UINT stride = 16, offset = 0;
             k.context->IASetVertexBuffers(0, 1, &k.fixed, &stride, &offset);
             k.context->Draw(3, 0);
             k.context->DrawInstanced(4, 10, 0, 0);
         }},
        {"deferred lists", 3,
         [](Kit &k, Outcome &o) {
             map_and_fill(k.deferred, k.ring, D3D11_MAP_WRITE_NO_OVERWRITE, 1, o); // before any DISCARD
             map_and_fill(k.deferred, k.ring, D3D11_MAP_WRITE_DISCARD, 1, o);
             map_and_fill(k.deferred, k.mapped_texture, D3D11_MAP_WRITE_DISCARD, 8, o);
             const u8 bytes[64] = {9};
             k.deferred->UpdateSubresource(k.fixed, 0, nullptr, bytes, 0, 0);
             k.deferred->CopyResource(k.plain2, k.plain);
             const f32 colour[4] = {1, 0, 0, 1};
             k.deferred->ClearRenderTargetView(k.rtv, colour);
             k.deferred->OMSetRenderTargets(1, &k.rtv, nullptr);
             k.deferred->Draw(6, 0);
             ID3D11CommandList *first = nullptr;
             o.results.push_back(k.deferred->FinishCommandList(FALSE, &first));
             D3D11_MAPPED_SUBRESOURCE m{};
             o.results.push_back(k.deferred->Map(k.ring, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
             ID3D11CommandList *second = nullptr;
             o.results.push_back(k.deferred->FinishCommandList(TRUE, &second)); // a map still open
             ID3D11CommandList *refused = nullptr;
             o.results.push_back(k.context->FinishCommandList(FALSE, &refused)); // not deferred
             o.results.push_back(refused != nullptr);
             k.context->ExecuteCommandList(first, FALSE);
             k.context->ExecuteCommandList(first, TRUE);
             if (first) first->Release();
             if (second) second->Release();
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome kept = run_case(c, true);
        const Outcome none = run_case(c, false);
        EXPECT_EQ(kept.rules.size(), c.diagnostics);
        EXPECT_EQ(none.results, kept.results);
        EXPECT_EQ(none.rules, kept.rules);
        EXPECT_EQ(none.messages, kept.messages);
        EXPECT_EQ(none.immediate, kept.immediate);
        EXPECT_EQ(none.deferred, kept.deferred);
        EXPECT_EQ(none.draws, kept.draws);
    }
}

/// Resident memory of the process in bytes.
u64 resident_bytes()
{
    std::ifstream statm("/proc/self/statm");
    u64 size = 0, resident = 0;
    statm >> size >> resident;
    return resident * u64(sysconf(_SC_PAGESIZE));
}

TEST(HeadlessNoTexels, LargeTexturesAndMapsHoldLittleMemory)
{
    // With texels, storage is counted subresource by subresource and given back at release.
    headless_reset();
    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    const u64 at_start = headless_storage_bytes();
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                nullptr, &context),
              S_OK);
    D3D11_TEXTURE2D_DESC small{64, 32, 0, 2, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                               D3D11_BIND_SHADER_RESOURCE, 0, 0};
    ID3D11Texture2D *texture = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&small, nullptr, &texture), S_OK);
    // Mips 64×32, 32×16, 16×8, 8×4, 4×2, 2×1, 1×1 of 4 bytes, twice.
    const u64 texels = 2 * 4 * (64 * 32 + 32 * 16 + 16 * 8 + 8 * 4 + 4 * 2 + 2 * 1 + 1);
    EXPECT_EQ(headless_storage_bytes() - at_start, texels);
    texture->Release();
    context->Release();
    device->Release();
    EXPECT_EQ(headless_storage_bytes(), at_start);

    // Without texels: 8192×8192 textures with every mip (340 MiB each if they were kept).
    HeadlessConfig config = default_headless_config();
    config.keep_texels = false;
    headless_configure(config);
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                nullptr, &context),
              S_OK);
    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    const u64 resident_before = resident_bytes();
    D3D11_TEXTURE2D_DESC large{8192, 8192, 0, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                               D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0, 0};
    ID3D11Texture2D *a = nullptr, *b = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&large, nullptr, &a), S_OK);
    ASSERT_EQ(device->CreateTexture2D(&large, nullptr, &b), S_OK);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(a, nullptr, &rtv), S_OK);
    const f32 colour[4] = {1, 1, 1, 1};
    const u8 patch[16 * 16 * 4] = {};
    const D3D11_BOX box{100, 100, 0, 116, 116, 1};
    for (ID3D11DeviceContext *c : {context, deferred}) {
        c->ClearRenderTargetView(rtv, colour);
        c->CopyResource(b, a);
        c->CopySubresourceRegion(b, 0, 0, 0, 0, a, 0, nullptr);
        c->UpdateSubresource(a, 0, &box, patch, 64, 0);
    }
    EXPECT_EQ(headless_storage_bytes(), at_start);

    // Maps of a 1024×1024 dynamic texture reuse one scratch block per context.
    D3D11_TEXTURE2D_DESC dynamic{1024, 1024, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DYNAMIC,
                                 D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE, 0};
    ID3D11Texture2D *streamed = nullptr;
    ASSERT_EQ(device->CreateTexture2D(&dynamic, nullptr, &streamed), S_OK);
    const u64 block = 1024 * 1024 * 4;
    void *first = nullptr;
    for (u32 i = 0; i < 50; ++i) {
        for (ID3D11DeviceContext *c : {context, deferred}) {
            D3D11_MAPPED_SUBRESOURCE mapped{};
            ASSERT_EQ(c->Map(streamed, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
            ASSERT_EQ(mapped.RowPitch, 4096u);
            std::memset(mapped.pData, int(i), block);
            if (c == context) {
                if (!first) first = mapped.pData;
                EXPECT_EQ(mapped.pData, first) << "map " << i;
            }
            c->Unmap(streamed, 0);
        }
    }
    ID3D11CommandList *list = nullptr;
    ASSERT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
    context->ExecuteCommandList(list, FALSE); // replays 50 maps on the immediate context
    list->Release();
    EXPECT_EQ(headless_storage_bytes() - at_start, 2 * block);
    EXPECT_LT(resident_bytes() - resident_before, u64(64) << 20);
    EXPECT_TRUE(headless_diagnostics().empty());

    for (IUnknown *o : std::initializer_list<IUnknown *>{streamed, rtv, a, b, deferred, context, device})
        o->Release();
    EXPECT_EQ(headless_storage_bytes(), at_start) << "the contexts' blocks go with them";
    EXPECT_TRUE(headless_leaks().empty());
}

} // namespace

// The headless device as a program runs it (keep_released_objects off): a released object's
// record goes once nothing names it, so churning objects keeps the registry the same size,
// while what a view, a context binding or a command list still names stays usable.
#include "tests/platform/d3d11_test_fixture.h"

#include "platform/d3d11/headless_internal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

using namespace tallow;
using namespace tallow::d3d11;

namespace {

// More than the registry deletes at once, so every loop below frees records.
constexpr u32 churn = 1500;
// Records the registry may hold for churned objects whatever their number: a batch waiting
// to be deleted, and the resources its views still hold.
constexpr u32 waiting = 2 * 256 + 16;

class ReleasedRecords : public HeadlessDeviceTest {
protected:
    void SetUp() override
    {
        headless_reset();
        HeadlessConfig config = default_headless_config();
        config.keep_released_objects = false;
        headless_configure(config); // journal on, so draw records show what is bound
        ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &device, &level, &context),
                  S_OK);
    }

    ID3D11ShaderResourceView *make_srv(ID3D11Resource *resource)
    {
        ID3D11ShaderResourceView *view = nullptr;
        EXPECT_EQ(device->CreateShaderResourceView(resource, nullptr, &view), S_OK);
        return view;
    }

    /// Makes and releases buffers, textures and views, bound and drawn with on the way.
    void churn_objects(u32 rounds)
    {
        for (u32 i = 0; i < rounds; ++i) {
            ID3D11Buffer *buffer = make_buffer(64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER);
            ID3D11Texture2D *texture = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
            ID3D11ShaderResourceView *view = make_srv(texture);
            context->VSSetConstantBuffers(5, 1, &buffer);
            context->VSSetShaderResources(5, 1, &view);
            context->Draw(3, 0);
            view->Release();
            texture->Release();
            buffer->Release();
        }
        ID3D11Buffer *no_buffer = nullptr;
        ID3D11ShaderResourceView *no_view = nullptr;
        context->VSSetConstantBuffers(5, 1, &no_buffer);
        context->VSSetShaderResources(5, 1, &no_view);
        headless_clear_journal(context);
    }
};

TEST_F(ReleasedRecords, ChurnKeepsTheRegistryBounded)
{
    const u32 settled = headless_record_count();
    churn_objects(churn);
    EXPECT_LE(headless_record_count(), settled + waiting);
    churn_objects(2 * churn);
    EXPECT_LE(headless_record_count(), settled + waiting);
    EXPECT_EQ(headless_live_count(ObjectKind::buffer), 0u);
    EXPECT_EQ(headless_live_count(ObjectKind::texture2d), 0u);
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST(ReleasedRecordsUnderTests, TheDefaultKeepsEveryRecord)
{
    headless_reset();
    ID3D11Device *device = nullptr;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                nullptr, nullptr),
              S_OK);
    const u32 before = headless_record_count();
    D3D11_BUFFER_DESC desc{16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    ID3D11Buffer *buffer = nullptr;
    for (u32 i = 0; i < 300; ++i) {
        ASSERT_EQ(device->CreateBuffer(&desc, nullptr, &buffer), S_OK);
        buffer->Release();
    }
    EXPECT_EQ(headless_record_count(), before + 300);
    EXPECT_EQ(buffer->Release(), 0u); // reported, not a touch of freed memory
    EXPECT_EQ(headless_diagnostics().size(), 1u);
    device->Release();
    headless_reset();
}

TEST_F(ReleasedRecords, ViewsContextsAndListsKeepWhatTheyName)
{
    // A view over a texture the engine has let go of.
    ID3D11Texture2D *target = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(target, nullptr, &rtv), S_OK);
    const u64 target_id = headless_object_id(target);
    EXPECT_EQ(target->Release(), 1u); // the view's reference

    // A constant buffer bound to the context, released while bound.
    const u8 constants[16] = {7, 8, 9};
    ID3D11Buffer *bound = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER, constants);
    const u64 bound_id = headless_object_id(bound);
    context->PSSetConstantBuffers(0, 1, &bound);
    EXPECT_EQ(bound->Release(), 0u);

    // A command list updating a buffer the engine releases before playing it.
    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    ID3D11Buffer *updated = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER);
    const u8 written[16] = {42};
    deferred->UpdateSubresource(updated, 0, nullptr, written, 0, 0);
    ID3D11CommandList *list = nullptr;
    ASSERT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
    const u64 updated_id = headless_object_id(updated);
    EXPECT_EQ(updated->Release(), 0u);

    const u32 named = headless_record_count();
    churn_objects(churn); // frees records, so freed addresses come back

    ID3D11Resource *resource = nullptr;
    rtv->GetResource(&resource);
    ASSERT_EQ(resource, static_cast<ID3D11Resource *>(target));
    EXPECT_EQ(headless_object_id(resource), target_id);
    resource->Release();
    const FLOAT red[4] = {1, 0, 0, 1};
    context->ClearRenderTargetView(rtv, red);
    EXPECT_EQ(headless_resource_bytes(target)[0], 255);

    context->Draw(3, 0);
    std::vector<DrawRecord> draws = headless_draws(context);
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(draws[0].stages[static_cast<u32>(Stage::pixel)].constant_buffers[0], bound_id);

    context->ExecuteCommandList(list, FALSE);
    bool replayed = false;
    for (const JournalEntry &entry : headless_journal(context))
        replayed |= entry.op == ContextOp::update_subresource && entry.objects == std::vector<u64>{updated_id};
    EXPECT_TRUE(replayed);
    EXPECT_TRUE(headless_diagnostics().empty());

    // Letting go of the namers lets go of the records (a batch may still wait).
    rtv->Release();
    context->ClearState();
    list->Release();
    deferred->Release();
    churn_objects(churn);
    EXPECT_LE(headless_record_count(), named + waiting);
}

// Freed addresses come back as objects of other kinds, whose object base lies at another
// offset from the interface: every call must still find the object it names.
TEST_F(ReleasedRecords, ReusedAddressesFindTheirNewObject)
{
    std::map<void *, ObjectKind> first_kind;
    u32 reused_across_kinds = 0;
    auto note = [&](void *address, ObjectKind kind) {
        auto [at, fresh] = first_kind.emplace(address, kind);
        if (!fresh && at->second != kind) ++reused_across_kinds;
    };
    const D3D11_SAMPLER_DESC sampler_desc{D3D11_FILTER_MIN_MAG_MIP_LINEAR, D3D11_TEXTURE_ADDRESS_WRAP,
                                          D3D11_TEXTURE_ADDRESS_WRAP, D3D11_TEXTURE_ADDRESS_WRAP, 0, 1,
                                          D3D11_COMPARISON_NEVER, {0, 0, 0, 0}, 0, D3D11_FLOAT32_MAX};
    D3D11_BLEND_DESC blend_desc{};
    blend_desc.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    blend_desc.RenderTarget[0].SrcBlend = blend_desc.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    blend_desc.RenderTarget[0].DestBlend = blend_desc.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_ZERO;
    blend_desc.RenderTarget[0].BlendOp = blend_desc.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    const u32 pixel = static_cast<u32>(Stage::pixel);
    for (u32 i = 0; i < churn; ++i) {
        // Kinds made in a rotating order, so each address is offered to the others.
        const u32 turn = i % 4;
        ID3D11Buffer *buffer = nullptr;
        ID3D11SamplerState *sampler = nullptr;
        ID3D11BlendState *blend = nullptr;
        ID3D11Texture2D *texture = nullptr;
        ID3D11ShaderResourceView *view = nullptr;
        for (u32 k = 0; k < 4; ++k) {
            switch ((turn + k) % 4) {
            case 0:
                buffer = make_buffer(16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER);
                note(buffer, ObjectKind::buffer);
                break;
            case 1:
                ASSERT_EQ(device->CreateSamplerState(&sampler_desc, &sampler), S_OK);
                note(sampler, ObjectKind::sampler_state);
                break;
            case 2:
                blend_desc.RenderTarget[0].BlendEnable = i % 2; // distinct states, not one shared
                ASSERT_EQ(device->CreateBlendState(&blend_desc, &blend), S_OK);
                note(blend, ObjectKind::blend_state);
                break;
            case 3:
                texture = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
                view = make_srv(texture);
                note(texture, ObjectKind::texture2d);
                note(view, ObjectKind::shader_resource_view);
                break;
            }
        }
        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
        std::memcpy(mapped.pData, &i, sizeof i);
        context->Unmap(buffer, 0);
        context->PSSetConstantBuffers(0, 1, &buffer);
        context->PSSetSamplers(0, 1, &sampler);
        context->PSSetShaderResources(0, 1, &view);
        context->OMSetBlendState(blend, nullptr, 0xFFFFFFFF);
        context->Draw(3, 0);
        std::vector<DrawRecord> draws = headless_draws(context);
        ASSERT_EQ(draws.size(), 1u) << "round " << i;
        const StageSnapshot &stage = draws[0].stages[pixel];
        ASSERT_EQ(stage.constant_buffers[0], headless_object_id(buffer)) << "round " << i;
        ASSERT_EQ(stage.samplers[0], headless_object_id(sampler)) << "round " << i;
        ASSERT_EQ(stage.resources[0], headless_object_id(view)) << "round " << i;
        ASSERT_EQ(draws[0].blend_state, headless_object_id(blend)) << "round " << i;
        u32 seen = 0;
        std::memcpy(&seen, stage.constant_bytes[0].data(), sizeof seen);
        ASSERT_EQ(seen, i);
        context->ClearState();
        headless_clear_journal(context);
        for (IUnknown *object : std::initializer_list<IUnknown *>{view, texture, blend, sampler, buffer})
            object->Release();
    }
    EXPECT_TRUE(headless_diagnostics().empty());
#if !defined(__SANITIZE_ADDRESS__)
    // The allocator hands freed blocks out again (AddressSanitizer holds them back).
    EXPECT_GT(reused_across_kinds, 0u);
#endif
}

/// A buffer of another backend, as large as ours so the allocator hands it a freed buffer's
/// block. Its bytes read as an object base would name a buffer.
class ForeignBuffer final : public ID3D11Buffer {
public:
    ForeignBuffer() { std::fill(std::begin(filler), std::end(filler), static_cast<u32>(ObjectKind::buffer)); }
    HRESULT QueryInterface(REFIID, void **out_object) override
    {
        if (out_object) *out_object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    void GetDevice(ID3D11Device **out_device) override { *out_device = nullptr; }
    void GetType(D3D11_RESOURCE_DIMENSION *out_dimension) override { *out_dimension = D3D11_RESOURCE_DIMENSION_BUFFER; }
    void GetDesc(D3D11_BUFFER_DESC *out_desc) override
    {
        *out_desc = {64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    }
    u32 filler[(sizeof(HeadlessBuffer) - sizeof(void *)) / sizeof(u32)];
};

TEST_F(ReleasedRecords, AFreedAddressTakenByAForeignObjectIsNotOurs)
{
    std::set<void *> ours;
    // Until a batch of records has just been deleted, so their blocks are the allocator's
    // next ones of that size.
    bool deleted = false;
    for (u32 i = 0; i < churn || !deleted; ++i) {
        ID3D11Buffer *buffer = make_buffer(64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER);
        ours.insert(buffer);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        ASSERT_EQ(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
        context->Unmap(buffer, 0);
        const u32 before = headless_record_count();
        buffer->Release();
        deleted = headless_record_count() < before;
    }
    headless_clear_diagnostics();
    std::vector<std::unique_ptr<ForeignBuffer>> foreign;
    u32 on_freed_blocks = 0;
    for (u32 i = 0; i < 64; ++i) {
        foreign.push_back(std::make_unique<ForeignBuffer>());
        on_freed_blocks += ours.count(foreign.back().get()) != 0;
        D3D11_MAPPED_SUBRESOURCE mapped{};
        EXPECT_EQ(context->Map(foreign.back().get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), E_INVALIDARG);
    }
    EXPECT_EQ(headless_diagnostics().size(), 64u);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_GT(on_freed_blocks, 0u); // AddressSanitizer holds freed blocks back
#endif
}

} // namespace

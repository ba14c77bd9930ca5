// The headless Direct3D layer: objects, reference counts, DXGI enumeration, swap chains and
// device creation.
#include "tests/platform/d3d11_test_fixture.h"

#include "foundation/strings/utf.h"

#include <cstring>
#include <thread>

using namespace tallow;
using namespace tallow::d3d11;

namespace {

TEST_F(HeadlessDeviceTest, ReleaseAccountingAndLeakReport)
{
    ID3D11Buffer *buffer = make_buffer(64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER);
    ID3D11Texture2D *texture = make_texture(4, 4, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
    ID3D11ShaderResourceView *view = nullptr;
    ASSERT_EQ(device->CreateShaderResourceView(texture, nullptr, &view), S_OK);

    EXPECT_EQ(headless_live_count(ObjectKind::buffer), 1u);
    EXPECT_EQ(headless_create_count(ObjectKind::shader_resource_view), 1u);
    EXPECT_EQ(headless_ref_count(texture), 2u) << "a view holds its resource";
    EXPECT_EQ(texture->Release(), 1u);
    EXPECT_EQ(view->Release(), 0u);
    EXPECT_EQ(headless_live_count(ObjectKind::texture2d), 0u);

    ObjectInfo info;
    ASSERT_TRUE(headless_object_info(buffer, info));
    EXPECT_EQ(info.kind, ObjectKind::buffer);
    D3D11_BUFFER_DESC copy;
    ASSERT_EQ(info.description.size(), sizeof copy);
    std::memcpy(&copy, info.description.data(), sizeof copy);
    EXPECT_EQ(copy.ByteWidth, 64u);
    EXPECT_EQ(info.device, headless_object_id(device));

    // Releasing the device with the buffer alive reports it.
    context->Release();
    context = nullptr;
    EXPECT_EQ(device->Release(), 0u);
    device = nullptr;
    std::vector<std::string> leaks = headless_last_device_leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("buffer #"), std::string::npos);
    EXPECT_EQ(buffer->Release(), 0u);

    EXPECT_TRUE(headless_diagnostics().empty());
    EXPECT_EQ(buffer->Release(), 0u); // one too many
    EXPECT_EQ(count_of(Rule::over_release), 1u);
}

TEST_F(HeadlessDeviceTest, QueryInterfaceAndDebugLayer)
{
    ID3D11Texture2D *texture = make_texture(2, 2, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
    ID3D11Resource *resource = nullptr;
    ASSERT_EQ(texture->QueryInterface(IID_ID3D11Resource, (void **)&resource), S_OK);
    EXPECT_EQ(headless_ref_count(texture), 2u);
    void *wrong = nullptr;
    EXPECT_EQ(texture->QueryInterface(IID_ID3D11Buffer, &wrong), E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    resource->Release();
    texture->Release();

    ID3D11Debug *debug = nullptr;
    EXPECT_EQ(device->QueryInterface(IID_ID3D11Debug, (void **)&debug), E_NOINTERFACE) << "not a debug device";

    ID3D11Device *debug_device = nullptr;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_DEBUG, nullptr, 0,
                                D3D11_SDK_VERSION, &debug_device, nullptr, nullptr),
              S_OK);
    ASSERT_EQ(debug_device->QueryInterface(IID_ID3D11Debug, (void **)&debug), S_OK);
    debug->Release();
    EXPECT_EQ(debug_device->Release(), 0u);
    EXPECT_TRUE(headless_last_device_leaks().empty());
}

TEST(HeadlessDeviceCreation, LevelsArgumentsAndFaults)
{
    struct Case {
        const char *name;
        D3D_FEATURE_LEVEL max_level;
        u32 fail_next;
        UINT sdk;
        HRESULT result;
        D3D_FEATURE_LEVEL granted;
    };
    const Case cases[] = {
        {"11_0 adapter grants the first", D3D_FEATURE_LEVEL_11_0, 0, 7, S_OK, D3D_FEATURE_LEVEL_11_0},
        {"10_0 adapter skips 11_0 and 10_1", D3D_FEATURE_LEVEL_10_0, 0, 7, S_OK, D3D_FEATURE_LEVEL_10_0},
        {"9_3 adapter", D3D_FEATURE_LEVEL_9_3, 0, 7, S_OK, D3D_FEATURE_LEVEL_9_3},
        {"9_1 adapter below every level asked", D3D_FEATURE_LEVEL_9_1, 0, 7, E_INVALIDARG, D3D_FEATURE_LEVEL_9_1},
        {"injected failure", D3D_FEATURE_LEVEL_11_0, 1, 7, E_FAIL, D3D_FEATURE_LEVEL_9_1},
        {"wrong SDK version", D3D_FEATURE_LEVEL_11_0, 0, 6, E_INVALIDARG, D3D_FEATURE_LEVEL_9_1},
    };
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                        D3D_FEATURE_LEVEL_9_3};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        headless_reset();
        HeadlessConfig config = default_headless_config();
        config.max_feature_level = c.max_level;
        headless_configure(config);
        headless_fail_next(ObjectKind::device, c.fail_next);
        IDXGIFactory *factory = nullptr;
        ASSERT_EQ(CreateDXGIFactory(IID_IDXGIFactory, (void **)&factory), S_OK);
        IDXGIAdapter *adapter = nullptr;
        ASSERT_EQ(factory->EnumAdapters(0, &adapter), S_OK);
        ID3D11Device *device = nullptr;
        ID3D11DeviceContext *context = nullptr;
        D3D_FEATURE_LEVEL granted = D3D_FEATURE_LEVEL_9_1;
        HRESULT hr = D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_DEBUG, levels, 4,
                                       c.sdk, &device, &granted, &context);
        EXPECT_EQ(hr, c.result);
        DeviceCreationRecord record = headless_last_device_creation();
        EXPECT_EQ(record.adapter, headless_object_id(adapter));
        EXPECT_EQ(record.flags, (u32)D3D11_CREATE_DEVICE_DEBUG);
        EXPECT_EQ(record.sdk_version, c.sdk);
        EXPECT_EQ(record.levels, std::vector<D3D_FEATURE_LEVEL>(levels, levels + 4));
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(granted, c.granted);
            EXPECT_EQ(device->GetFeatureLevel(), c.granted);
            ASSERT_NE(context, nullptr);
            EXPECT_EQ(context->GetType(), D3D11_DEVICE_CONTEXT_IMMEDIATE);
            context->Release();
            device->Release();
        } else {
            EXPECT_EQ(device, nullptr);
            EXPECT_EQ(context, nullptr);
        }
        adapter->Release();
        factory->Release();
        EXPECT_TRUE(headless_leaks().empty());
    }
}

TEST(HeadlessDxgi, AdaptersOutputsAndDisplayModes)
{
    headless_reset();
    HeadlessConfig config;
    HeadlessAdapter broken;
    broken.name = "Broken";
    broken.fail_get_desc = true;
    HeadlessAdapter good;
    good.name = "Good adapter";
    HeadlessOutput output;
    output.name = "\\\\.\\DISPLAY2";
    for (u32 hz : {50u, 60u, 75u}) output.modes.push_back({1920, 1080, {hz, 1}, DXGI_FORMAT_UNKNOWN, {}, {}});
    good.outputs.push_back(output);
    config.adapters = {broken, good};
    headless_configure(config);

    IDXGIFactory *factory = nullptr;
    ASSERT_EQ(CreateDXGIFactory(IID_IDXGIFactory, (void **)&factory), S_OK);
    IDXGIAdapter *adapter = nullptr;
    DXGI_ADAPTER_DESC desc;
    ASSERT_EQ(factory->EnumAdapters(0, &adapter), S_OK);
    EXPECT_EQ(adapter->GetDesc(&desc), E_FAIL);
    adapter->Release();
    EXPECT_EQ(factory->EnumAdapters(2, &adapter), DXGI_ERROR_NOT_FOUND);
    EXPECT_EQ(adapter, nullptr);
    ASSERT_EQ(factory->EnumAdapters(1, &adapter), S_OK);
    ASSERT_EQ(adapter->GetDesc(&desc), S_OK);
    char name[64];
    EXPECT_STREQ(utf16_to_utf8(desc.Description, name, sizeof name), "Good adapter");

    IDXGIOutput *out = nullptr;
    ASSERT_EQ(adapter->EnumOutputs(0, &out), S_OK);
    DXGI_OUTPUT_DESC output_desc;
    ASSERT_EQ(out->GetDesc(&output_desc), S_OK);
    EXPECT_STREQ(utf16_to_utf8(output_desc.DeviceName, name, sizeof name), "\\\\.\\DISPLAY2");

    UINT count = 0;
    ASSERT_EQ(out->GetDisplayModeList(DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_ENUM_MODES_INTERLACED, &count, nullptr), S_OK);
    ASSERT_EQ(count, 3u);
    std::vector<DXGI_MODE_DESC> modes(count);
    ASSERT_EQ(out->GetDisplayModeList(DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_ENUM_MODES_INTERLACED, &count, modes.data()), S_OK);
    EXPECT_EQ(modes[2].RefreshRate.Numerator, 75u);
    EXPECT_EQ(modes[0].Format, DXGI_FORMAT_R8G8B8A8_UNORM);
    UINT short_count = 2;
    EXPECT_EQ(out->GetDisplayModeList(DXGI_FORMAT_R8G8B8A8_UNORM, 0, &short_count, modes.data()), DXGI_ERROR_MORE_DATA);
    EXPECT_EQ(short_count, 2u);

    IDXGIOutput *none = nullptr;
    EXPECT_EQ(adapter->EnumOutputs(1, &none), DXGI_ERROR_NOT_FOUND);
    out->Release();
    adapter->Release();
    factory->Release();
    EXPECT_TRUE(headless_leaks().empty());
}

class HeadlessSwapChainTest : public HeadlessDeviceTest {
protected:
    void SetUp() override
    {
        HeadlessDeviceTest::SetUp();
        ASSERT_EQ(CreateDXGIFactory(IID_IDXGIFactory, (void **)&factory), S_OK);
        DXGI_SWAP_CHAIN_DESC desc{};
        desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        desc.SampleDesc = {1, 0};
        desc.BufferUsage = DXGI_USAGE_SHADER_INPUT | DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.OutputWindow = &window;
        desc.Windowed = TRUE;
        desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
        desc.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
        ASSERT_EQ(factory->CreateSwapChain(device, &desc, &swap_chain), S_OK);
    }
    void TearDown() override
    {
        if (swap_chain) swap_chain->Release();
        factory->Release();
        HeadlessDeviceTest::TearDown();
        EXPECT_TRUE(headless_leaks().empty());
    }
    NativeWindowRecord window{640, 480, nullptr};
    IDXGIFactory *factory = nullptr;
    IDXGISwapChain *swap_chain = nullptr;
};

TEST_F(HeadlessSwapChainTest, ZeroSizeTakesTheWindowAndPresentsAreRecorded)
{
    DXGI_SWAP_CHAIN_DESC desc;
    ASSERT_EQ(swap_chain->GetDesc(&desc), S_OK);
    EXPECT_EQ(desc.BufferDesc.Width, 640u);
    EXPECT_EQ(desc.BufferDesc.Height, 480u);
    swap_chain->Present(1, 0);
    swap_chain->Present(0, 0);
    SwapChainRecord record;
    ASSERT_TRUE(headless_swap_chain(swap_chain, record));
    EXPECT_EQ(record.present_count, 2u);
    EXPECT_EQ(record.sync_intervals, (std::vector<u32>{1, 0}));
    EXPECT_FALSE(record.fullscreen);
}

TEST_F(HeadlessSwapChainTest, ResizeFailsWhileBackBufferReferencesAreHeld)
{
    ID3D11Texture2D *back = nullptr;
    ASSERT_EQ(swap_chain->GetBuffer(0, IID_ID3D11Texture2D, (void **)&back), S_OK);
    EXPECT_EQ(headless_ref_count(back), 1u) << "GetBuffer adds a reference";
    D3D11_TEXTURE2D_DESC desc;
    back->GetDesc(&desc);
    EXPECT_EQ(desc.BindFlags, (u32)(D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET));
    ID3D11RenderTargetView *view = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(back, nullptr, &view), S_OK);
    back->Release(); // the view still holds the back buffer

    window = {800, 600, nullptr};
    EXPECT_EQ(swap_chain->ResizeBuffers(2, 0, 0, DXGI_FORMAT_UNKNOWN, 2), DXGI_ERROR_INVALID_CALL);
    EXPECT_EQ(count_of(Rule::resize_with_references), 1u);
    view->Release();
    headless_clear_diagnostics();

    SwapChainRecord before;
    ASSERT_TRUE(headless_swap_chain(swap_chain, before));
    ASSERT_EQ(swap_chain->ResizeBuffers(2, 0, 0, DXGI_FORMAT_UNKNOWN, 2), S_OK);
    SwapChainRecord after;
    ASSERT_TRUE(headless_swap_chain(swap_chain, after));
    EXPECT_EQ(after.resize_buffers_calls, 1u);
    EXPECT_NE(after.back_buffer, before.back_buffer);
    ASSERT_EQ(swap_chain->GetBuffer(0, IID_ID3D11Texture2D, (void **)&back), S_OK);
    back->GetDesc(&desc);
    EXPECT_EQ(desc.Width, 800u);
    EXPECT_EQ(desc.Height, 600u);
    back->Release();
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessSwapChainTest, FullscreenStateHoldsTheOutput)
{
    IDXGIAdapter *adapter = nullptr;
    ASSERT_EQ(factory->EnumAdapters(0, &adapter), S_OK);
    IDXGIOutput *output = nullptr;
    ASSERT_EQ(adapter->EnumOutputs(0, &output), S_OK);
    ASSERT_EQ(swap_chain->SetFullscreenState(TRUE, output), S_OK);
    BOOL fullscreen = FALSE;
    IDXGIOutput *target = nullptr;
    ASSERT_EQ(swap_chain->GetFullscreenState(&fullscreen, &target), S_OK);
    EXPECT_EQ(fullscreen, TRUE);
    EXPECT_EQ(target, output);
    EXPECT_EQ(headless_ref_count(output), 3u) << "caller, swap chain and GetFullscreenState";
    target->Release();
    DXGI_MODE_DESC mode{1024, 768, {60, 1}, DXGI_FORMAT_R8G8B8A8_UNORM, {}, {}};
    EXPECT_EQ(swap_chain->ResizeTarget(&mode), S_OK);
    ASSERT_EQ(swap_chain->SetFullscreenState(FALSE, nullptr), S_OK);
    SwapChainRecord record;
    ASSERT_TRUE(headless_swap_chain(swap_chain, record));
    EXPECT_FALSE(record.fullscreen);
    EXPECT_EQ(record.resize_target_calls, 1u);
    EXPECT_EQ(output->Release(), 0u);
    adapter->Release();
}

TEST_F(HeadlessSwapChainTest, BackBufferMayOutliveItsSwapChain)
{
    EXPECT_EQ(factory->MakeWindowAssociation(&window, DXGI_MWA_NO_ALT_ENTER), S_OK);
    SwapChainRecord record;
    ASSERT_TRUE(headless_swap_chain(swap_chain, record));
    EXPECT_EQ(record.associated_window_flags, (u64)DXGI_MWA_NO_ALT_ENTER);

    ID3D11Texture2D *back = nullptr;
    ASSERT_EQ(swap_chain->GetBuffer(0, IID_ID3D11Texture2D, (void **)&back), S_OK);
    EXPECT_EQ(swap_chain->Release(), 0u);
    swap_chain = nullptr;
    EXPECT_EQ(headless_live_count(ObjectKind::texture2d), 1u);
    EXPECT_EQ(back->Release(), 0u);
    EXPECT_EQ(headless_live_count(ObjectKind::texture2d), 0u);
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST(HeadlessDeviceThreads, CreationFromManyThreads)
{
    headless_reset();
    ID3D11Device *device = nullptr;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                nullptr, nullptr),
              S_OK);
    constexpr u32 threads = 4, per_thread = 50;
    std::vector<std::thread> workers;
    for (u32 t = 0; t < threads; ++t) {
        workers.emplace_back([device] {
            const u8 code[4] = {1, 2, 3, 4};
            D3D11_INPUT_ELEMENT_DESC element{"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0,
                                             D3D11_INPUT_PER_VERTEX_DATA, 0};
            for (u32 i = 0; i < per_thread; ++i) {
                D3D11_BUFFER_DESC desc{256, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
                ID3D11Buffer *buffer = nullptr;
                ID3D11InputLayout *layout = nullptr;
                ID3D11Texture2D *texture = nullptr;
                D3D11_TEXTURE2D_DESC tex{8, 8, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                         D3D11_BIND_SHADER_RESOURCE, 0, 0};
                EXPECT_EQ(device->CreateBuffer(&desc, nullptr, &buffer), S_OK);
                EXPECT_EQ(device->CreateInputLayout(&element, 1, code, sizeof code, &layout), S_OK);
                EXPECT_EQ(device->CreateTexture2D(&tex, nullptr, &texture), S_OK);
                buffer->Release();
                layout->Release();
                texture->Release();
            }
        });
    }
    for (std::thread &worker : workers) worker.join();
    EXPECT_EQ(headless_create_count(ObjectKind::buffer), threads * per_thread);
    EXPECT_EQ(headless_create_count(ObjectKind::input_layout), threads * per_thread);
    EXPECT_EQ(headless_live_count(ObjectKind::buffer), 0u);
    EXPECT_EQ(device->Release(), 0u);
    EXPECT_TRUE(headless_last_device_leaks().empty());
    EXPECT_TRUE(headless_diagnostics().empty());
}

TEST_F(HeadlessDeviceTest, FailNextAndFeatureLevelGates)
{
    headless_fail_next(ObjectKind::buffer, 1);
    D3D11_BUFFER_DESC desc{16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    ID3D11Buffer *buffer = nullptr;
    EXPECT_TRUE(FAILED(device->CreateBuffer(&desc, nullptr, &buffer)));
    EXPECT_EQ(buffer, nullptr);
    ASSERT_EQ(device->CreateBuffer(&desc, nullptr, &buffer), S_OK);
    buffer->Release();
    EXPECT_EQ(headless_create_count(ObjectKind::buffer), 2u);

    ID3D11Device *old = nullptr;
    HeadlessConfig config = default_headless_config();
    config.max_feature_level = D3D_FEATURE_LEVEL_10_0;
    headless_configure(config);
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &old,
                                nullptr, nullptr),
              S_OK);
    const u8 code[] = {0xAB, 0xCD};
    ID3D11HullShader *hull = nullptr;
    EXPECT_TRUE(FAILED(old->CreateHullShader(code, sizeof code, nullptr, &hull)));
    EXPECT_EQ(count_of(Rule::feature_level), 1u);
    ID3D11GeometryShader *geometry = nullptr;
    ASSERT_EQ(old->CreateGeometryShader(code, sizeof code, nullptr, &geometry), S_OK);
    ObjectInfo info;
    ASSERT_TRUE(headless_object_info(geometry, info));
    EXPECT_EQ(info.bytecode, (std::vector<u8>{0xAB, 0xCD}));
    geometry->Release();
    old->Release();
}

} // namespace

#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"

namespace tallow::render::d3d11::test {

namespace hl = tallow::d3d11;

void ManagedRenderDevice::execute_resource_updates(u32 count, RenderResourceContext *const *contexts)
{
    for (u32 i = 0; i < count; ++i)
        if (manager)
            last = manager->process(contexts[i]->stream());
}

u32 creates(hl::ObjectKind kind) { return hl::headless_create_count(kind); }

void D3DFixture::start(D3D_FEATURE_LEVEL feature_level)
{
    hl::headless_reset();
    hl::HeadlessConfig config = hl::default_headless_config();
    config.max_feature_level = feature_level;
    hl::headless_configure(config);
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    ASSERT_TRUE(SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2,
                                            D3D11_SDK_VERSION, &device, &level, &immediate)));
    ASSERT_EQ(level, feature_level);
    front = make_new<ManagedRenderDevice>(default_allocator(), default_allocator());
    D3DResourceManagerParams params;
    params.device = device;
    params.immediate = immediate;
    params.feature_level = level;
    params.front_end = front;
    params.swap_chain = [](void *user, u32 index) -> IDXGISwapChain * {
        auto *self = static_cast<D3DFixture *>(user);
        return index < self->swap_chains.size() ? self->swap_chains[index] : nullptr;
    };
    params.swap_chain_user = this;
    manager = make_new<D3DResourceManager>(default_allocator(), default_allocator(), params);
    front->manager = manager;
}

u32 D3DFixture::add_swap_chain(u32 width, u32 height, u32 samples)
{
    if (!factory) {
        EXPECT_TRUE(SUCCEEDED(CreateDXGIFactory(IID_IDXGIFactory, reinterpret_cast<void **>(&factory))));
    }
    auto *window = new NativeWindowRecord{width, height, nullptr};
    windows.push_back(window);
    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Width = width;
    desc.BufferDesc.Height = height;
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = samples;
    desc.SampleDesc.Quality = 0;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT | DXGI_USAGE_SHADER_INPUT;
    desc.BufferCount = 2;
    desc.OutputWindow = window;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    IDXGISwapChain *chain = nullptr;
    EXPECT_TRUE(factory && SUCCEEDED(factory->CreateSwapChain(device, &desc, &chain)));
    swap_chains.push_back(chain);
    return u32(swap_chains.size() - 1);
}

ProcessResult D3DFixture::submit(const std::function<void(RenderResourceContext &)> &fill)
{
    RenderResourceContext *context = front->alloc_resource_context();
    EXPECT_NE(context, nullptr);
    if (!context)
        return {};
    fill(*context);
    context->set_event(true);
    front->update_resources(1, &context);
    context->set_event(false);
    front->release_resource_context(context);
    return front->last;
}

u32 D3DFixture::live_children()
{
    u32 live = 0;
    for (u32 k = 0; k < u32(hl::ObjectKind::count); ++k) {
        auto kind = hl::ObjectKind(k);
        if (kind == hl::ObjectKind::device || kind == hl::ObjectKind::immediate_context ||
            kind == hl::ObjectKind::factory || kind == hl::ObjectKind::adapter || kind == hl::ObjectKind::output ||
            kind == hl::ObjectKind::swap_chain)
            continue;
        live += hl::headless_live_count(kind);
    }
    return live;
}

void D3DFixture::stop()
{
    if (manager) {
        delete_with_allocator(default_allocator(), manager);
        manager = nullptr;
    }
    if (front) {
        delete_with_allocator(default_allocator(), front);
        front = nullptr;
    }
    EXPECT_EQ(live_children(), 0u) << "objects of the layer outlive the manager";
    for (IDXGISwapChain *chain : swap_chains)
        if (chain)
            chain->Release();
    swap_chains.clear();
    for (NativeWindowRecord *window : windows)
        delete window;
    windows.clear();
    if (factory) {
        factory->Release();
        factory = nullptr;
    }
    if (immediate) {
        immediate->Release();
        immediate = nullptr;
    }
    if (device) {
        device->Release();
        device = nullptr;
    }
    EXPECT_TRUE(hl::headless_leaks().empty());
    for (const hl::Diagnostic &d : hl::headless_diagnostics())
        ADD_FAILURE() << "diagnostic of the layer: " << hl::to_string(d.rule) << ": " << d.message;
}

void D3DFixture::TearDown() { stop(); }

} // namespace tallow::render::d3d11::test

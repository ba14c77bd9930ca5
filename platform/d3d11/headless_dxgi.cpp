// Headless DXGI: a factory over the configured adapters and outputs, and swap chains whose
// back buffer is a texture of the device that made them.
#include "platform/d3d11/headless_internal.h"

#include "foundation/strings/utf.h"

#include <cstring>

namespace tallow::d3d11 {
namespace {

/// EnumAdapters and EnumOutputs: a new object over the configured entry at `index`, or
/// DXGI_ERROR_NOT_FOUND past the last.
template <class ObjectType, class Config, class Interface>
HRESULT enumerate(const std::vector<Config> &configs, UINT index, Interface **out_object)
{
    if (!out_object) return E_INVALIDARG;
    *out_object = nullptr;
    if (index >= configs.size()) return DXGI_ERROR_NOT_FOUND;
    auto *object = new ObjectType(configs[index]);
    register_object(object);
    *out_object = object;
    return S_OK;
}

class HeadlessOutputObject final : public Object<IDXGIOutput> {
public:
    explicit HeadlessOutputObject(const HeadlessOutput &config) : Object(ObjectKind::output, nullptr), config(config) {}

    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGIOutput ? self() : ObjectBase::find_interface(riid);
    }

    HRESULT GetDesc(DXGI_OUTPUT_DESC *out_desc) override
    {
        if (!out_desc) return E_INVALIDARG;
        std::memset(out_desc, 0, sizeof *out_desc);
        utf8_to_utf16(config.name.c_str(), out_desc->DeviceName, 32);
        out_desc->DesktopCoordinates = config.desktop;
        out_desc->AttachedToDesktop = TRUE;
        out_desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
        return S_OK;
    }

    HRESULT GetDisplayModeList(DXGI_FORMAT format, UINT, UINT *io_count, DXGI_MODE_DESC *out_modes) override
    {
        if (!io_count) return E_INVALIDARG;
        u32 total = static_cast<u32>(config.modes.size());
        if (!out_modes) {
            *io_count = total;
            return S_OK;
        }
        u32 filled = *io_count < total ? *io_count : total;
        for (u32 i = 0; i < filled; ++i) {
            out_modes[i] = config.modes[i];
            out_modes[i].Format = format;
        }
        *io_count = filled;
        return filled < total ? DXGI_ERROR_MORE_DATA : S_OK;
    }

    HeadlessOutput config;
};

class HeadlessAdapterObject final : public Object<IDXGIAdapter> {
public:
    explicit HeadlessAdapterObject(const HeadlessAdapter &config) : Object(ObjectKind::adapter, nullptr), config(config) {}

    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGIAdapter ? self() : ObjectBase::find_interface(riid);
    }

    HRESULT EnumOutputs(UINT output, IDXGIOutput **out_output) override
    {
        return enumerate<HeadlessOutputObject>(config.outputs, output, out_output);
    }

    HRESULT GetDesc(DXGI_ADAPTER_DESC *out_desc) override
    {
        if (!out_desc) return E_INVALIDARG;
        if (config.fail_get_desc) return E_FAIL;
        std::memset(out_desc, 0, sizeof *out_desc);
        utf8_to_utf16(config.name.c_str(), out_desc->Description, 128);
        out_desc->AdapterLuid.LowPart = static_cast<u32>(id);
        return S_OK;
    }

    HeadlessAdapter config;
};

struct SwapChainState {
    std::mutex mutex;
    SwapChainRecord record;
    HeadlessTexture2D *back_buffer = nullptr;
    IDXGIOutput *fullscreen_output = nullptr; // one reference held while full screen
};

class HeadlessSwapChain : public Object<IDXGISwapChain> {
public:
    HeadlessSwapChain(HeadlessDevice *device, const DXGI_SWAP_CHAIN_DESC &desc) : Object(ObjectKind::swap_chain, device)
    {
        state.record.desc = desc;
        state.record.fullscreen = !desc.Windowed;
        make_back_buffer();
    }

    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGISwapChain ? self() : ObjectBase::find_interface(riid);
    }

    void make_back_buffer()
    {
        const DXGI_SWAP_CHAIN_DESC &desc = state.record.desc;
        D3D11_TEXTURE2D_DESC texture{};
        texture.Width = desc.BufferDesc.Width;
        texture.Height = desc.BufferDesc.Height;
        texture.MipLevels = 1;
        texture.ArraySize = 1;
        texture.Format = desc.BufferDesc.Format;
        texture.SampleDesc = desc.SampleDesc;
        texture.Usage = D3D11_USAGE_DEFAULT;
        if (desc.BufferUsage & DXGI_USAGE_SHADER_INPUT) texture.BindFlags |= D3D11_BIND_SHADER_RESOURCE;
        if (desc.BufferUsage & DXGI_USAGE_RENDER_TARGET_OUTPUT) texture.BindFlags |= D3D11_BIND_RENDER_TARGET;
        state.back_buffer = create_back_buffer(device, texture);
        state.record.back_buffer = state.back_buffer->id;
    }

    HRESULT Present(UINT sync_interval, UINT) override
    {
        std::lock_guard lock(state.mutex);
        ++state.record.present_count;
        state.record.sync_intervals.push_back(sync_interval);
        return S_OK;
    }

    HRESULT GetBuffer(UINT buffer, REFIID riid, void **out_surface) override
    {
        if (!out_surface) return E_INVALIDARG;
        *out_surface = nullptr;
        if (buffer != 0) return DXGI_ERROR_INVALID_CALL;
        std::lock_guard lock(state.mutex);
        return state.back_buffer->QueryInterface(riid, out_surface);
    }

    HRESULT SetFullscreenState(BOOL fullscreen, IDXGIOutput *target) override
    {
        std::lock_guard lock(state.mutex);
        if (state.fullscreen_output) state.fullscreen_output->Release();
        state.fullscreen_output = fullscreen ? target : nullptr;
        if (state.fullscreen_output) state.fullscreen_output->AddRef();
        state.record.fullscreen = fullscreen != FALSE;
        state.record.fullscreen_output = object_id(target);
        state.record.desc.Windowed = fullscreen ? FALSE : TRUE;
        return S_OK;
    }

    HRESULT GetFullscreenState(BOOL *out_fullscreen, IDXGIOutput **out_target) override
    {
        std::lock_guard lock(state.mutex);
        if (out_fullscreen) *out_fullscreen = state.record.fullscreen ? TRUE : FALSE;
        if (out_target) {
            *out_target = state.record.fullscreen ? state.fullscreen_output : nullptr;
            if (*out_target) (*out_target)->AddRef();
        }
        return S_OK;
    }

    HRESULT GetDesc(DXGI_SWAP_CHAIN_DESC *out_desc) override
    {
        if (!out_desc) return E_INVALIDARG;
        std::lock_guard lock(state.mutex);
        *out_desc = state.record.desc;
        return S_OK;
    }

    /// The swap chain's own hold on its back buffer is not counted in refs.
    long back_buffer_references()
    {
        std::lock_guard lock(state.mutex);
        return state.back_buffer->refs.load();
    }

    HRESULT ResizeBuffers(UINT buffer_count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) override
    {
        std::lock_guard lock(state.mutex);
        DXGI_SWAP_CHAIN_DESC &desc = state.record.desc;
        if (buffer_count != 0) desc.BufferCount = buffer_count;
        HWND window = desc.OutputWindow;
        desc.BufferDesc.Width = width != 0 ? width : (window ? window->client_width : 0);
        desc.BufferDesc.Height = height != 0 ? height : (window ? window->client_height : 0);
        if (format != DXGI_FORMAT_UNKNOWN) desc.BufferDesc.Format = format;
        desc.Flags = flags;
        // The old back buffer has no references left; its bytes go now.
        state.back_buffer->on_final_release();
        make_back_buffer();
        ++state.record.resize_buffers_calls;
        return S_OK;
    }

    HRESULT ResizeTarget(const DXGI_MODE_DESC *target) override
    {
        if (!target) return E_INVALIDARG;
        std::lock_guard lock(state.mutex);
        ++state.record.resize_target_calls;
        return S_OK;
    }

    void on_final_release() override
    {
        std::lock_guard lock(state.mutex);
        if (state.fullscreen_output) state.fullscreen_output->Release();
        state.fullscreen_output = nullptr;
        // A back buffer still referenced outlives its swap chain and frees its bytes at its
        // own last release.
        state.back_buffer->owned_by_swap_chain = false;
        if (state.back_buffer->refs.load() <= 0) state.back_buffer->on_final_release();
    }

    SwapChainState state;
    const std::atomic<UINT> *factory_flags = nullptr; // MakeWindowAssociation flags of the creating factory
};

class HeadlessFactory : public Object<IDXGIFactory> {
public:
    explicit HeadlessFactory(const HeadlessConfig &config) : Object(ObjectKind::factory, nullptr), config(config) {}

    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGIFactory ? self() : ObjectBase::find_interface(riid);
    }

    HRESULT EnumAdapters(UINT adapter, IDXGIAdapter **out_adapter) override
    {
        return enumerate<HeadlessAdapterObject>(config.adapters, adapter, out_adapter);
    }

    HRESULT MakeWindowAssociation(HWND, UINT flags) override
    {
        associated_flags = flags;
        return S_OK;
    }

    bool owns_device(IUnknown *device)
    {
        ObjectBase *object = find_object(device);
        return object && object->kind == ObjectKind::device;
    }

    HRESULT CreateSwapChain(IUnknown *device, DXGI_SWAP_CHAIN_DESC *desc, IDXGISwapChain **out_swap_chain) override
    {
        ObjectBase *device_object = find_object(device); // the front has checked it is a device of ours
        if (!begin_create(ObjectKind::swap_chain)) return E_FAIL;
        DXGI_SWAP_CHAIN_DESC copy = *desc;
        if (copy.OutputWindow) {
            if (copy.BufferDesc.Width == 0) copy.BufferDesc.Width = copy.OutputWindow->client_width;
            if (copy.BufferDesc.Height == 0) copy.BufferDesc.Height = copy.OutputWindow->client_height;
        }
        auto *object = new SwapChainFront<HeadlessSwapChain>(device_object->device, copy);
        object->description = bytes_of(*desc);
        object->factory_flags = &associated_flags;
        register_object(object);
        *out_swap_chain = object;
        return S_OK;
    }

    HeadlessConfig config;
    std::atomic<UINT> associated_flags{0};
};

} // namespace

HRESULT headless_create_factory(REFIID riid, void **out_factory)
{
    if (!out_factory) return E_INVALIDARG;
    *out_factory = nullptr;
    if (!(riid == IID_IDXGIFactory)) return E_NOINTERFACE;
    if (!begin_create(ObjectKind::factory)) return E_FAIL;
    auto *factory = new FactoryFront<HeadlessFactory>(current_config());
    register_object(factory);
    *out_factory = static_cast<IDXGIFactory *>(factory);
    return S_OK;
}

bool headless_swap_chain(IDXGISwapChain *swap_chain, SwapChainRecord &out_record)
{
    ObjectBase *object = find_object(swap_chain);
    if (!object || object->kind != ObjectKind::swap_chain) return false;
    auto *chain = static_cast<HeadlessSwapChain *>(object);
    std::lock_guard lock(chain->state.mutex);
    out_record = chain->state.record;
    out_record.associated_window_flags = chain->factory_flags ? chain->factory_flags->load() : 0;
    return true;
}

} // namespace tallow::d3d11

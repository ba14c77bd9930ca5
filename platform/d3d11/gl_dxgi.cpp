// OpenGL backend: DXGI factory, one adapter (the GL renderer), one output, and swap chains
// whose back buffer is a GL texture. Present shows the back buffer in the swap chain's SDL2
// window when the gl_window backend runs; offscreen it only counts, and callers read the back
// buffer through a staging copy.
#include "platform/d3d11/gl_internal.h"

#include "foundation/strings/utf.h"

#include <SDL.h>

#include <cstring>

namespace tallow::d3d11::gl {
namespace {

class GlOutput final : public GlObject<IDXGIOutput> {
public:
    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGIOutput || riid == IID_IUnknown ? static_cast<IDXGIOutput *>(this) : nullptr;
    }
    HRESULT GetDesc(DXGI_OUTPUT_DESC *out_desc) override
    {
        if (!out_desc) return E_INVALIDARG;
        std::memset(out_desc, 0, sizeof *out_desc);
        utf8_to_utf16("\\\\.\\DISPLAY1", out_desc->DeviceName, 32);
        out_desc->DesktopCoordinates = {0, 0, 1920, 1080};
        out_desc->AttachedToDesktop = TRUE;
        out_desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
        return S_OK;
    }
    HRESULT GetDisplayModeList(DXGI_FORMAT format, UINT, UINT *io_count, DXGI_MODE_DESC *out_modes) override
    {
        if (!io_count) return E_INVALIDARG;
        const DXGI_MODE_DESC modes[] = {
            {1280, 720, {60, 1}, format, DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE, DXGI_MODE_SCALING_UNSPECIFIED},
            {1920, 1080, {60, 1}, format, DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE, DXGI_MODE_SCALING_UNSPECIFIED}};
        if (!out_modes) {
            *io_count = 2;
            return S_OK;
        }
        UINT n = *io_count < 2 ? *io_count : 2;
        for (UINT i = 0; i < n; ++i) out_modes[i] = modes[i];
        *io_count = n;
        return n < 2 ? DXGI_ERROR_MORE_DATA : S_OK;
    }
};

class GlAdapter final : public GlObject<IDXGIAdapter> {
public:
    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGIAdapter || riid == IID_IUnknown ? static_cast<IDXGIAdapter *>(this) : nullptr;
    }
    HRESULT EnumOutputs(UINT index, IDXGIOutput **out_output) override
    {
        if (!out_output) return E_INVALIDARG;
        *out_output = nullptr;
        if (index > 0) return DXGI_ERROR_NOT_FOUND;
        *out_output = new GlOutput();
        return S_OK;
    }
    HRESULT GetDesc(DXGI_ADAPTER_DESC *out_desc) override
    {
        if (!out_desc) return E_INVALIDARG;
        std::memset(out_desc, 0, sizeof *out_desc);
        std::string name = "OpenGL";
        {
            GlScope scope;
            if (const GLubyte *renderer = glGetString(GL_RENDERER)) name = reinterpret_cast<const char *>(renderer);
        }
        utf8_to_utf16(name.c_str(), out_desc->Description, 128);
        out_desc->SharedSystemMemory = 1ull << 30;
        return S_OK;
    }
};

class GlSwapChain : public GlObject<IDXGISwapChain> {
public:
    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGISwapChain || riid == IID_IUnknown ? static_cast<IDXGISwapChain *>(this) : nullptr;
    }
    void destroy() override
    {
        if (back) back->Release();
        if (gl_device) gl_device->Release();
    }
    HRESULT Present(UINT, UINT) override
    {
        if (window_backend && desc.OutputWindow && desc.OutputWindow->native_handle) present_to_window(desc.OutputWindow, back);
        else {
            GlScope scope;
            glFlush();
        }
        return S_OK;
    }
    HRESULT GetBuffer(UINT index, REFIID riid, void **out_surface) override
    {
        if (!out_surface) return E_INVALIDARG;
        *out_surface = nullptr;
        if (index != 0) return DXGI_ERROR_INVALID_CALL;
        return back->QueryInterface(riid, out_surface);
    }
    HRESULT SetFullscreenState(BOOL fullscreen, IDXGIOutput *) override
    {
        // A chain presenting into a window takes the window full screen on the desktop's
        // mode (or back), as the display settings ask; an offscreen chain only records it.
        if (window_backend && desc.OutputWindow && desc.OutputWindow->native_handle) {
            auto *sdl_window = static_cast<SDL_Window *>(desc.OutputWindow->native_handle);
            if (SDL_SetWindowFullscreen(sdl_window, fullscreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0) != 0)
                return DXGI_ERROR_NOT_CURRENTLY_AVAILABLE;
        }
        this->fullscreen = fullscreen;
        return S_OK;
    }
    HRESULT GetFullscreenState(BOOL *out_fullscreen, IDXGIOutput **out_target) override
    {
        if (out_fullscreen) *out_fullscreen = fullscreen;
        if (out_target) *out_target = fullscreen ? new GlOutput() : nullptr;
        return S_OK;
    }
    HRESULT GetDesc(DXGI_SWAP_CHAIN_DESC *out_desc) override
    {
        if (!out_desc) return E_INVALIDARG;
        *out_desc = desc;
        return S_OK;
    }
    /// Callers' references: the swap chain holds one of its own.
    long back_buffer_references() { return long(back->refs.load()) - 1; }
    HRESULT ResizeBuffers(UINT count, UINT width, UINT height, DXGI_FORMAT format, UINT) override
    {
        if (count) desc.BufferCount = count;
        if (format != DXGI_FORMAT_UNKNOWN) desc.BufferDesc.Format = format;
        if (!width && desc.OutputWindow) width = desc.OutputWindow->client_width;
        if (!height && desc.OutputWindow) height = desc.OutputWindow->client_height;
        desc.BufferDesc.Width = width ? width : 1;
        desc.BufferDesc.Height = height ? height : 1;
        back->Release();
        back = create_back_buffer(gl_device, desc.BufferDesc.Width, desc.BufferDesc.Height, desc.BufferDesc.Format);
        return S_OK;
    }
    HRESULT ResizeTarget(const DXGI_MODE_DESC *target) override { return target ? S_OK : E_INVALIDARG; }

    DXGI_SWAP_CHAIN_DESC desc{};
    GlDevice *gl_device = nullptr;
    GlTexture *back = nullptr;
    BOOL fullscreen = FALSE;
    bool window_backend = false;
};

class GlFactory : public GlObject<IDXGIFactory> {
public:
    void *find_interface(REFIID riid) override
    {
        return riid == IID_IDXGIFactory || riid == IID_IUnknown ? static_cast<IDXGIFactory *>(this) : nullptr;
    }
    HRESULT EnumAdapters(UINT index, IDXGIAdapter **out_adapter) override
    {
        if (!out_adapter) return E_INVALIDARG;
        *out_adapter = nullptr;
        if (index > 0) return DXGI_ERROR_NOT_FOUND;
        *out_adapter = new GlAdapter();
        return S_OK;
    }
    HRESULT MakeWindowAssociation(HWND, UINT) override { return S_OK; }
    bool owns_device(IUnknown *device) { return dynamic_cast<GlDevice *>(device) != nullptr; }
    HRESULT CreateSwapChain(IUnknown *device_unknown, DXGI_SWAP_CHAIN_DESC *desc, IDXGISwapChain **out_swap_chain) override
    {
        auto *device = dynamic_cast<GlDevice *>(device_unknown); // the front has checked it is one
        auto *chain = new SwapChainFront<GlSwapChain>();
        chain->desc = *desc;
        if (!chain->desc.BufferDesc.Width && desc->OutputWindow) chain->desc.BufferDesc.Width = desc->OutputWindow->client_width;
        if (!chain->desc.BufferDesc.Height && desc->OutputWindow) chain->desc.BufferDesc.Height = desc->OutputWindow->client_height;
        if (!chain->desc.BufferDesc.Width) chain->desc.BufferDesc.Width = 1;
        if (!chain->desc.BufferDesc.Height) chain->desc.BufferDesc.Height = 1;
        chain->gl_device = device;
        device->AddRef();
        chain->window_backend = active_backend() == Backend::gl_window;
        chain->back = create_back_buffer(device, chain->desc.BufferDesc.Width, chain->desc.BufferDesc.Height,
                                         chain->desc.BufferDesc.Format);
        *out_swap_chain = chain;
        return S_OK;
    }
};

} // namespace

void present_to_window(HWND window, GlTexture *back)
{
    auto *sdl_window = static_cast<SDL_Window *>(window->native_handle);
    const u32 w = back->desc.Width, h = back->desc.Height;
    std::vector<u8> pixels(static_cast<size_t>(w) * h * 4);
    {
        GlScope scope;
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTextureImage(back->name, 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(pixels.size()), pixels.data());
    }
    // The window's surface in plain memory: SDL's accelerated window surface would make its
    // own GL context current on this thread.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    SDL_Surface *target = SDL_GetWindowSurface(sdl_window);
    if (!target) return;
    SDL_Surface *source = SDL_CreateRGBSurfaceWithFormatFrom(pixels.data(), static_cast<int>(w), static_cast<int>(h), 32,
                                                             static_cast<int>(w * 4), SDL_PIXELFORMAT_RGBA32);
    if (!source) return;
    SDL_BlitScaled(source, nullptr, target, nullptr);
    SDL_FreeSurface(source);
    SDL_UpdateWindowSurface(sdl_window);
}

HRESULT create_factory(REFIID riid, void **out_factory)
{
    if (!out_factory) return E_INVALIDARG;
    *out_factory = nullptr;
    if (!(riid == IID_IDXGIFactory)) return E_NOINTERFACE;
    *out_factory = static_cast<IDXGIFactory *>(new FactoryFront<GlFactory>());
    return S_OK;
}

} // namespace tallow::d3d11::gl

#include "tests/support/image/frame_capture.h"

#include "application/application.h"
#include "application/application_options.h"
#include "application/engine_setup.h"
#include "foundation/memory/memory_globals.h"
#include "platform/d3d11/d3d11_backend.h"
#include "platform/window/window.h"
#include "platform/window/window_headless.h"
#include "render/d3d11/d3d_render_device.h"
#include "render/interface/render_interface.h"
#include "render/interface/render_service.h"

namespace tallow::test {
namespace {

// Releases a layer object at the end of a scope.
template <class T> struct Held {
    T *object = nullptr;
    ~Held()
    {
        if (object)
            object->Release();
    }
};

bool read_texture(ID3D11Device *device, ID3D11DeviceContext *context, ID3D11Texture2D *texture, RgbaImage &out_image,
                  std::string &out_error)
{
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    const bool bgra = desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM || desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM_SRGB;
    const bool rgba = desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM || desc.Format == DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
    if (!bgra && !rgba) {
        out_error = "the back buffer's format " + std::to_string(u32(desc.Format)) + " is not 8-bit RGBA or BGRA";
        return false;
    }
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    Held<ID3D11Texture2D> staging;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging.object)) || !staging.object) {
        out_error = "no staging texture for the read-back";
        return false;
    }
    context->CopyResource(staging.object, texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(staging.object, 0, D3D11_MAP_READ, 0, &mapped)) || !mapped.pData) {
        out_error = "the staging texture cannot be mapped for reading";
        return false;
    }
    out_image.width = desc.Width;
    out_image.height = desc.Height;
    out_image.pixels.resize(size_t(desc.Width) * desc.Height * 4);
    for (u32 y = 0; y < desc.Height; ++y) {
        const u8 *row = static_cast<const u8 *>(mapped.pData) + size_t(y) * mapped.RowPitch;
        u8 *out = out_image.pixels.data() + size_t(y) * desc.Width * 4;
        for (u32 x = 0; x < desc.Width; ++x) {
            out[x * 4 + 0] = row[x * 4 + (bgra ? 2 : 0)];
            out[x * 4 + 1] = row[x * 4 + 1];
            out[x * 4 + 2] = row[x * 4 + (bgra ? 0 : 2)];
            out[x * 4 + 3] = 255;
        }
    }
    context->Unmap(staging.object, 0);
    return true;
}

} // namespace

bool capture_back_buffer(Application &app, RgbaImage &out_image, std::string &out_error)
{
    RenderInterface *render = app.render_interface();
    Window *window = app.window();
    if (!render || !window) {
        out_error = "the Application has no render interface or no window";
        return false;
    }
    render->wait_until_idle();
    // The engine program's services render through the Direct3D device.
    auto &device = static_cast<render::d3d11::D3DRenderDevice &>(render->device());
    IDXGISwapChain *chain = device.swap_chain(window->system().native_window(window->handle()));
    if (!chain || !device.device() || !device.immediate_context()) {
        out_error = "the main window has no swap chain";
        return false;
    }
    Held<ID3D11Texture2D> back;
    if (FAILED(chain->GetBuffer(0, IID_ID3D11Texture2D, reinterpret_cast<void **>(&back.object))) || !back.object) {
        out_error = "the swap chain gives no back buffer";
        return false;
    }
    return read_texture(device.device(), device.immediate_context(), back.object, out_image, out_error);
}

bool capture_run(const RunCapture &run, RgbaImage &out_image, std::string &out_error)
{
    std::string reason;
    if (!d3d11::gl_available(&reason)) {
        out_error = "no OpenGL 4.5 context here: " + reason;
        return false;
    }
    const d3d11::Backend previous = d3d11::requested_backend();
    d3d11::set_backend(d3d11::Backend::gl);

    std::vector<const char *> arguments{"tallow", "-data-dir", run.data_dir.c_str()};
    for (const std::string &argument : run.arguments)
        arguments.push_back(argument.c_str());
    ApplicationOptions options(default_allocator(), int(arguments.size()), arguments.data());
    platform::HeadlessWindowSystem window_system{default_allocator()};
    ApplicationParams params = engine_params(options, window_system);

    bool captured = false;
    {
        Application app(params);
        if (!app.init()) {
            out_error = "the Application did not start (see the log)";
        } else if (d3d11::active_backend() != d3d11::Backend::gl) {
            out_error = "no OpenGL 4.5 context here: the layer fell back to its headless backend";
        } else {
            app.set_fixed_frame_step(run.step_seconds);
            unsigned frame = 0;
            while (frame < run.frames && app.update()) {
                ++frame;
                if (frame == run.reload_after)
                    app.apply_user_settings();
            }
            if (frame < run.frames)
                out_error = "the game quit after " + std::to_string(frame + 1) + " of " + std::to_string(run.frames) +
                            " frames";
            else
                captured = capture_back_buffer(app, out_image, out_error);
        }
    }
    d3d11::set_backend(previous);
    return captured;
}

} // namespace tallow::test

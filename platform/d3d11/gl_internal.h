#pragma once
// Internals of the OpenGL backend: the EGL context set, the object base, resources, views,
// states, shaders and input layouts the device makes and the contexts bind.
//
// One root EGL context is made without a display server (Mesa's surfaceless platform); every
// thread that calls the device gets its own context sharing objects with the root, made the
// first time it needs one. All GL work runs under one process-wide lock (GlScope), so the
// device may be called from any thread. Objects that belong to one GL context (vertex arrays,
// framebuffers, program pipelines) live only in the immediate context and are remade if the
// renderer thread changes.

#include "platform/d3d11/d3d11_backend.h"
#include "platform/d3d11/d3d11_shim.h"
#include "platform/d3d11/d3d11_validation.h"

#include <epoxy/gl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tallow::d3d11::gl {

/// Makes the root context on first use; false (with the reason) when none can be made.
bool initialise(std::string *out_reason);

/// Holds the GL lock and makes this thread's context current for the scope. A publishing
/// scope (object creation and uploads by the device) waits at its end for its work when it
/// runs on another GL context than the one the immediate context draws with, so the objects
/// are complete before that context uses them.
class GlScope {
public:
    explicit GlScope(bool publish = false);
    ~GlScope();
    /// The immediate context draws with the current context from now on.
    void mark_drawing_context();
    GlScope(const GlScope &) = delete;
    GlScope &operator=(const GlScope &) = delete;
    /// Identifies the GL context current in this scope (per thread).
    const void *context_key() const { return key; }

private:
    std::unique_lock<std::recursive_mutex> lock;
    const void *key = nullptr;
    bool publish = false;
};

/// Logs one line under "d3d11".
void log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

class GlDevice;

/// Reference counts and QueryInterface for every object of this backend.
class GlBase {
public:
    virtual ~GlBase() = default;
    std::atomic<i32> refs{1};
    GlDevice *device = nullptr;
};

template <class Interface> class GlObject : public Interface, public GlBase {
public:
    HRESULT QueryInterface(REFIID riid, void **out_object) override
    {
        if (!out_object) return E_INVALIDARG;
        *out_object = find_interface(riid);
        if (!*out_object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return static_cast<ULONG>(refs.fetch_add(1) + 1); }
    ULONG Release() override
    {
        i32 left = refs.fetch_sub(1) - 1;
        if (left == 0) {
            destroy();
            delete this;
        }
        if (left < 0) {
            refs.store(0);
            report(Rule::over_release, "an object released past zero");
            return 0;
        }
        return static_cast<ULONG>(left);
    }
    virtual void *find_interface(REFIID riid) { return riid == IID_IUnknown ? static_cast<Interface *>(this) : nullptr; }
    /// Frees GL names; runs under the GL lock.
    virtual void destroy() {}
};

template <class Interface> class GlChild : public GlObject<Interface> {
public:
    void GetDevice(ID3D11Device **out_device) override;
};

/// A holder that adds a reference while it points at an object.
template <class T> class Ref {
public:
    Ref() = default;
    Ref(T *p) : ptr(p) { if (ptr) ptr->AddRef(); }
    Ref(const Ref &other) : Ref(other.ptr) {}
    Ref(Ref &&other) noexcept : ptr(other.ptr) { other.ptr = nullptr; }
    ~Ref() { if (ptr) ptr->Release(); }
    Ref &operator=(const Ref &other) { reset(other.ptr); return *this; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) { if (ptr) ptr->Release(); ptr = other.ptr; other.ptr = nullptr; }
        return *this;
    }
    void reset(T *p = nullptr)
    {
        if (p == ptr) return;
        if (p) p->AddRef();
        if (ptr) ptr->Release();
        ptr = p;
    }
    T *get() const { return ptr; }
    T *operator->() const { return ptr; }
    explicit operator bool() const { return ptr != nullptr; }
    bool operator==(const Ref &other) const { return ptr == other.ptr; }

private:
    T *ptr = nullptr;
};

/// How a DXGI format is stored and moved in GL.
struct GlFormat {
    GLenum internal = 0;  // 0: not supported
    GLenum format = 0;    // upload/read format
    GLenum type = 0;      // upload/read type (0 for compressed)
    u32 block_bytes = 0;  // bytes per texel, or per 4×4 block when compressed
    bool compressed = false;
    bool depth = false;
    bool stencil = false;
};
GlFormat gl_format(DXGI_FORMAT format, u32 bind_flags = 0);

/// Bytes of one row and of the whole image of a `width`×`height` level.
u32 row_bytes(const GlFormat &format, u32 width);
u32 image_bytes(const GlFormat &format, u32 width, u32 height);

class GlBuffer final : public GlChild<ID3D11Buffer> {
public:
    void GetType(D3D11_RESOURCE_DIMENSION *out_dimension) override { *out_dimension = D3D11_RESOURCE_DIMENSION_BUFFER; }
    void GetDesc(D3D11_BUFFER_DESC *out_desc) override { if (out_desc) *out_desc = desc; }
    void *find_interface(REFIID riid) override;
    void destroy() override;
    D3D11_BUFFER_DESC desc{};
    GLuint name = 0;         // 0 for staging buffers (CPU memory)
    std::vector<u8> staging; // staging buffers; the write area of DISCARD maps of dynamic ones
};

class GlTexture final : public GlChild<ID3D11Texture2D> {
public:
    void GetType(D3D11_RESOURCE_DIMENSION *out_dimension) override { *out_dimension = D3D11_RESOURCE_DIMENSION_TEXTURE2D; }
    void GetDesc(D3D11_TEXTURE2D_DESC *out_desc) override { if (out_desc) *out_desc = desc; }
    void *find_interface(REFIID riid) override;
    void destroy() override;

    u32 subresource_count() const { return desc.MipLevels * desc.ArraySize; }
    u32 mip_width(u32 mip) const { return desc.Width >> mip ? desc.Width >> mip : 1; }
    u32 mip_height(u32 mip) const { return desc.Height >> mip ? desc.Height >> mip : 1; }
    /// Byte offset of a subresource in `cpu` (staging and dynamic textures).
    u32 cpu_offset(u32 subresource) const;

    D3D11_TEXTURE2D_DESC desc{}; // MipLevels resolved
    GlFormat format;
    GLenum target = 0;
    GLuint name = 0;         // 0 for staging textures
    std::vector<u8> cpu;     // staging textures, and the write area of dynamic ones
    u32 held_by_swap_chain = 0; // references GetBuffer handed out (ResizeBuffers checks)
};

/// A resource interface of this backend as buffer or texture (one is null).
void resource_parts(ID3D11Resource *resource, GlBuffer *&out_buffer, GlTexture *&out_texture);

/// What any view covers.
struct GlViewRange {
    GlBuffer *buffer = nullptr;
    GlTexture *texture = nullptr;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
    u32 mip = 0;
    u32 mip_count = 1;
    u32 first_slice = 0;
    u32 slice_count = 1;
    bool layered = false;   // an array view: attach every slice
    GLuint name = 0;        // texture (or texture view) to sample or write
    GLenum target = 0;
    u32 first_element = 0;  // buffer views
    u32 element_count = 0;
};

template <class Interface, class Desc> class GlView final : public GlChild<Interface> {
public:
    void GetDesc(Desc *out_desc) override { if (out_desc) *out_desc = desc; }
    void GetResource(ID3D11Resource **out_resource) override;
    void destroy() override;
    Desc desc{};
    GlViewRange range;
    bool owns_name = false; // a texture view made for this view
    ID3D11Resource *resource = nullptr; // one reference
};
using GlSrv = GlView<ID3D11ShaderResourceView, D3D11_SHADER_RESOURCE_VIEW_DESC>;
using GlRtv = GlView<ID3D11RenderTargetView, D3D11_RENDER_TARGET_VIEW_DESC>;
using GlDsv = GlView<ID3D11DepthStencilView, D3D11_DEPTH_STENCIL_VIEW_DESC>;
using GlUav = GlView<ID3D11UnorderedAccessView, D3D11_UNORDERED_ACCESS_VIEW_DESC>;

template <class Interface, class Desc> class GlState final : public GlChild<Interface> {
public:
    void GetDesc(Desc *out_desc) override { if (out_desc) *out_desc = desc; }
    void destroy() override
    {
        if (sampler) glDeleteSamplers(1, &sampler);
    }
    Desc desc{};
    GLuint sampler = 0; // sampler states
};
using GlRasterizerState = GlState<ID3D11RasterizerState, D3D11_RASTERIZER_DESC>;
using GlDepthStencilState = GlState<ID3D11DepthStencilState, D3D11_DEPTH_STENCIL_DESC>;
using GlBlendState = GlState<ID3D11BlendState, D3D11_BLEND_DESC>;
using GlSamplerState = GlState<ID3D11SamplerState, D3D11_SAMPLER_DESC>;

/// Stages in the order vertex, hull, domain, geometry, pixel, compute.
enum StageIndex : u32 { stage_vertex, stage_hull, stage_domain, stage_geometry, stage_pixel, stage_compute, stage_count };

/// Texture units per stage: sampler uniform i of stage s reads unit s * units_per_stage + i.
constexpr u32 units_per_stage = 16;

/// A separable program for one stage. Its uniform blocks take constant-buffer slots and its
/// sampler uniforms take shader-resource and sampler slots as described in gl_device.cpp.
class GlShaderBase {
public:
    GLuint program = 0;
    StageIndex stage = stage_vertex;
    std::vector<u32> block_slots;      // uniform block index -> constant-buffer slot
    std::vector<u32> sampler_slots;    // sampler uniforms in slot order: slot per entry
    std::vector<GLenum> sampler_targets;
};

/// Compiles and links one stage and fills its slot tables; false (logged) when the source
/// does not compile. Runs under the GL lock.
bool build_shader(GlShaderBase &shader, StageIndex stage, const void *bytecode, SIZE_T length);

template <class Interface> class GlShader final : public GlChild<Interface>, public GlShaderBase {
public:
    void destroy() override
    {
        if (program) glDeleteProgram(program);
    }
};

struct GlAttribute {
    u32 location = 0;
    u32 slot = 0;
    u32 offset = 0;
    GLint components = 0;
    GLenum type = 0;
    bool normalized = false;
    bool integer = false;
    u32 divisor = 0;
};

class GlInputLayout final : public GlChild<ID3D11InputLayout> {
public:
    std::vector<GlAttribute> attributes;
};

/// Process-wide: the GL lock's context set and the device-level limits.
struct GlLimits {
    GLint uniform_buffer_offset_alignment = 256;
};
const GlLimits &limits();


/// Executes device calls the validation front (d3d11_validation.h) has accepted.
class GlDevice : public GlObject<ID3D11Device> {
public:
    GlDevice();
    bool owns_resource(ID3D11Resource *resource);
    void *find_interface(REFIID riid) override;
    void destroy() override;

    HRESULT CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                         ID3D11Buffer **out_buffer) override;
    HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                            ID3D11Texture2D **out_texture) override;
    HRESULT CreateShaderResourceView(ID3D11Resource *resource, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                     ID3D11ShaderResourceView **out_view) override;
    HRESULT CreateUnorderedAccessView(ID3D11Resource *resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc,
                                      ID3D11UnorderedAccessView **out_view) override;
    HRESULT CreateRenderTargetView(ID3D11Resource *resource, const D3D11_RENDER_TARGET_VIEW_DESC *desc,
                                   ID3D11RenderTargetView **out_view) override;
    HRESULT CreateDepthStencilView(ID3D11Resource *resource, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc,
                                   ID3D11DepthStencilView **out_view) override;
    HRESULT CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count, const void *bytecode,
                              SIZE_T length, ID3D11InputLayout **out_layout) override;
    HRESULT CreateVertexShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                               ID3D11VertexShader **out_shader) override;
    HRESULT CreateGeometryShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                                 ID3D11GeometryShader **out_shader) override;
    HRESULT CreatePixelShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                              ID3D11PixelShader **out_shader) override;
    HRESULT CreateHullShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                             ID3D11HullShader **out_shader) override;
    HRESULT CreateDomainShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                               ID3D11DomainShader **out_shader) override;
    HRESULT CreateComputeShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                                ID3D11ComputeShader **out_shader) override;
    HRESULT CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out_state) override;
    HRESULT CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc, ID3D11DepthStencilState **out_state) override;
    HRESULT CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out_state) override;
    HRESULT CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out_state) override;
    HRESULT CreateDeferredContext(UINT flags, ID3D11DeviceContext **out_context) override;
    D3D_FEATURE_LEVEL GetFeatureLevel() override { return level; }
    void GetImmediateContext(ID3D11DeviceContext **out_context) override;

    D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    ID3D11DeviceContext *immediate = nullptr; // one reference; holds none to the device
};

template <class Interface> void GlChild<Interface>::GetDevice(ID3D11Device **out_device)
{
    if (!out_device) return;
    *out_device = this->device;
    if (this->device) this->device->AddRef();
}

/// Makes a texture (with its GL storage) for a swap chain's back buffer.
GlTexture *create_back_buffer(GlDevice *device, u32 width, u32 height, DXGI_FORMAT format);

ID3D11DeviceContext *create_context(GlDevice *device, bool deferred);
GLenum compare_function(D3D11_COMPARISON_FUNC func);
/// Runs the immediate context's pending work and waits for the GPU (Present, read-backs).
void finish_gl();

HRESULT create_factory(REFIID riid, void **out_factory);
HRESULT create_device(IDXGIAdapter *adapter, D3D_DRIVER_TYPE driver_type, UINT flags, const D3D_FEATURE_LEVEL *levels,
                      UINT level_count, ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level,
                      ID3D11DeviceContext **out_context);

/// Copies the back buffer into the SDL2 window of `window` (gl_window backend).
void present_to_window(HWND window, GlTexture *back_buffer);

} // namespace tallow::d3d11::gl

// OpenGL backend: the EGL context set, formats, and the device with everything it creates.
//
// Shader bytes are GLSL source. Each stage compiles to its own separable program, so stages
// combine at draw time as they do in Direct3D. Binding rules, the same for every stage:
//   - input layouts: element i of the layout feeds vertex attribute location i;
//   - uniform blocks: a block declared with layout(binding = N) reads constant-buffer slot
//     N; the others take slots 0, 1, ... in the order the source declares them;
//   - sampler uniforms: likewise (explicit binding, else declaration order); sampler i
//     reads shader-resource slot i with sampler-state slot i;
//   - compute storage blocks and images read unordered-access slot = their binding.
#include "platform/d3d11/gl_internal.h"

#include "foundation/log.h"

#include <epoxy/egl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tallow::d3d11::gl {
namespace {

struct EglState {
    std::recursive_mutex mutex;
    bool tried = false;
    bool ok = false;
    std::string reason;
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext root = EGL_NO_CONTEXT;
    GlLimits limits;
};

EglState &egl()
{
    static EglState *state = new EglState; // lives to the end of the process
    return *state;
}

thread_local EGLContext thread_context = EGL_NO_CONTEXT;

EGLContext make_context(EGLDisplay display, EGLContext share)
{
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    return eglCreateContext(display, EGL_NO_CONFIG_KHR, share, attributes);
}

bool initialise_locked(EglState &s)
{
    if (s.tried) return s.ok;
    s.tried = true;
    if (!epoxy_has_egl()) {
        s.reason = "no EGL library";
        return false;
    }
    if (!epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_MESA_platform_surfaceless")) {
        s.reason = "EGL has no surfaceless platform";
        return false;
    }
    s.display = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLint major = 0, minor = 0;
    if (s.display == EGL_NO_DISPLAY || !eglInitialize(s.display, &major, &minor)) {
        s.reason = "the surfaceless EGL display does not initialise";
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        s.reason = "EGL cannot bind the OpenGL API";
        return false;
    }
    s.root = make_context(s.display, EGL_NO_CONTEXT);
    if (s.root == EGL_NO_CONTEXT) {
        char text[96];
        std::snprintf(text, sizeof text, "no OpenGL 4.5 core context (EGL error 0x%x)", eglGetError());
        s.reason = text;
        return false;
    }
    if (!eglMakeCurrent(s.display, EGL_NO_SURFACE, EGL_NO_SURFACE, s.root) || epoxy_gl_version() < 45) {
        s.reason = "the OpenGL context is older than 4.5";
        return false;
    }
    thread_context = s.root;
    glGetIntegerv(GL_UNIFORM_BUFFER_OFFSET_ALIGNMENT, &s.limits.uniform_buffer_offset_alignment);
    log_message("d3d11", "OpenGL backend: %s, %s", reinterpret_cast<const char *>(glGetString(GL_RENDERER)),
                reinterpret_cast<const char *>(glGetString(GL_VERSION)));
    s.ok = true;
    return true;
}

} // namespace

bool initialise(std::string *out_reason)
{
    EglState &s = egl();
    std::lock_guard lock(s.mutex);
    bool ok = initialise_locked(s);
    if (!ok && out_reason) *out_reason = s.reason;
    return ok;
}

const GlLimits &limits() { return egl().limits; }

namespace {
const void *drawing_context = nullptr; // guarded by the GL lock
} // namespace

GlScope::GlScope(bool publish) : lock(egl().mutex), publish(publish)
{
    EglState &s = egl();
    if (thread_context == EGL_NO_CONTEXT) {
        eglBindAPI(EGL_OPENGL_API); // the bound API is per thread
        thread_context = make_context(s.display, s.root);
        if (thread_context == EGL_NO_CONTEXT || !eglMakeCurrent(s.display, EGL_NO_SURFACE, EGL_NO_SURFACE, thread_context))
            log_error("no OpenGL context for this thread (EGL error 0x%x)", eglGetError());
    }
    key = thread_context;
}

GlScope::~GlScope()
{
    if (!drawing_context) drawing_context = egl().root;
    if (publish && key != drawing_context) glFinish();
}

void GlScope::mark_drawing_context() { drawing_context = key; }

void log_error(const char *format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_message("d3d11", "%s", message);
}

// ---- Formats ---------------------------------------------------------------------

GlFormat gl_format(DXGI_FORMAT format, u32 bind_flags)
{
    const bool depth_bind = (bind_flags & D3D11_BIND_DEPTH_STENCIL) != 0;
    switch (format) {
    case DXGI_FORMAT_R32G32B32A32_TYPELESS:
    case DXGI_FORMAT_R32G32B32A32_FLOAT: return {GL_RGBA32F, GL_RGBA, GL_FLOAT, 16};
    case DXGI_FORMAT_R32G32B32A32_UINT: return {GL_RGBA32UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, 16};
    case DXGI_FORMAT_R32G32B32A32_SINT: return {GL_RGBA32I, GL_RGBA_INTEGER, GL_INT, 16};
    case DXGI_FORMAT_R32G32B32_TYPELESS:
    case DXGI_FORMAT_R32G32B32_FLOAT: return {GL_RGB32F, GL_RGB, GL_FLOAT, 12};
    case DXGI_FORMAT_R32G32B32_UINT: return {GL_RGB32UI, GL_RGB_INTEGER, GL_UNSIGNED_INT, 12};
    case DXGI_FORMAT_R32G32B32_SINT: return {GL_RGB32I, GL_RGB_INTEGER, GL_INT, 12};
    case DXGI_FORMAT_R16G16B16A16_TYPELESS:
    case DXGI_FORMAT_R16G16B16A16_FLOAT: return {GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 8};
    case DXGI_FORMAT_R16G16B16A16_UNORM: return {GL_RGBA16, GL_RGBA, GL_UNSIGNED_SHORT, 8};
    case DXGI_FORMAT_R16G16B16A16_UINT: return {GL_RGBA16UI, GL_RGBA_INTEGER, GL_UNSIGNED_SHORT, 8};
    case DXGI_FORMAT_R16G16B16A16_SNORM: return {GL_RGBA16_SNORM, GL_RGBA, GL_SHORT, 8};
    case DXGI_FORMAT_R16G16B16A16_SINT: return {GL_RGBA16I, GL_RGBA_INTEGER, GL_SHORT, 8};
    case DXGI_FORMAT_R32G32_TYPELESS:
    case DXGI_FORMAT_R32G32_FLOAT: return {GL_RG32F, GL_RG, GL_FLOAT, 8};
    case DXGI_FORMAT_R32G32_UINT: return {GL_RG32UI, GL_RG_INTEGER, GL_UNSIGNED_INT, 8};
    case DXGI_FORMAT_R32G32_SINT: return {GL_RG32I, GL_RG_INTEGER, GL_INT, 8};
    case DXGI_FORMAT_R10G10B10A2_TYPELESS:
    case DXGI_FORMAT_R10G10B10A2_UNORM: return {GL_RGB10_A2, GL_RGBA, GL_UNSIGNED_INT_2_10_10_10_REV, 4};
    case DXGI_FORMAT_R11G11B10_FLOAT: return {GL_R11F_G11F_B10F, GL_RGB, GL_UNSIGNED_INT_10F_11F_11F_REV, 4};
    case DXGI_FORMAT_R8G8B8A8_TYPELESS:
    case DXGI_FORMAT_R8G8B8A8_UNORM: return {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4};
    case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB: return {GL_SRGB8_ALPHA8, GL_RGBA, GL_UNSIGNED_BYTE, 4};
    case DXGI_FORMAT_R8G8B8A8_UINT: return {GL_RGBA8UI, GL_RGBA_INTEGER, GL_UNSIGNED_BYTE, 4};
    case DXGI_FORMAT_R8G8B8A8_SNORM: return {GL_RGBA8_SNORM, GL_RGBA, GL_BYTE, 4};
    case DXGI_FORMAT_R8G8B8A8_SINT: return {GL_RGBA8I, GL_RGBA_INTEGER, GL_BYTE, 4};
    case DXGI_FORMAT_B8G8R8A8_TYPELESS:
    case DXGI_FORMAT_B8G8R8A8_UNORM: return {GL_RGBA8, GL_BGRA, GL_UNSIGNED_BYTE, 4};
    case DXGI_FORMAT_B8G8R8A8_UNORM_SRGB: return {GL_SRGB8_ALPHA8, GL_BGRA, GL_UNSIGNED_BYTE, 4};
    case DXGI_FORMAT_R16G16_TYPELESS:
    case DXGI_FORMAT_R16G16_FLOAT: return {GL_RG16F, GL_RG, GL_HALF_FLOAT, 4};
    case DXGI_FORMAT_R16G16_UNORM: return {GL_RG16, GL_RG, GL_UNSIGNED_SHORT, 4};
    case DXGI_FORMAT_R16G16_UINT: return {GL_RG16UI, GL_RG_INTEGER, GL_UNSIGNED_SHORT, 4};
    case DXGI_FORMAT_R16G16_SNORM: return {GL_RG16_SNORM, GL_RG, GL_SHORT, 4};
    case DXGI_FORMAT_R16G16_SINT: return {GL_RG16I, GL_RG_INTEGER, GL_SHORT, 4};
    case DXGI_FORMAT_R32_TYPELESS:
        if (depth_bind) return {GL_DEPTH_COMPONENT32F, GL_DEPTH_COMPONENT, GL_FLOAT, 4, false, true};
        return {GL_R32F, GL_RED, GL_FLOAT, 4};
    case DXGI_FORMAT_D32_FLOAT: return {GL_DEPTH_COMPONENT32F, GL_DEPTH_COMPONENT, GL_FLOAT, 4, false, true};
    case DXGI_FORMAT_R32_FLOAT: return {GL_R32F, GL_RED, GL_FLOAT, 4};
    case DXGI_FORMAT_R32_UINT: return {GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 4};
    case DXGI_FORMAT_R32_SINT: return {GL_R32I, GL_RED_INTEGER, GL_INT, 4};
    case DXGI_FORMAT_R24G8_TYPELESS:
    case DXGI_FORMAT_D24_UNORM_S8_UINT:
    case DXGI_FORMAT_R24_UNORM_X8_TYPELESS:
        return {GL_DEPTH24_STENCIL8, GL_DEPTH_STENCIL, GL_UNSIGNED_INT_24_8, 4, false, true, true};
    case DXGI_FORMAT_R8G8_TYPELESS:
    case DXGI_FORMAT_R8G8_UNORM: return {GL_RG8, GL_RG, GL_UNSIGNED_BYTE, 2};
    case DXGI_FORMAT_R8G8_UINT: return {GL_RG8UI, GL_RG_INTEGER, GL_UNSIGNED_BYTE, 2};
    case DXGI_FORMAT_R8G8_SNORM: return {GL_RG8_SNORM, GL_RG, GL_BYTE, 2};
    case DXGI_FORMAT_R8G8_SINT: return {GL_RG8I, GL_RG_INTEGER, GL_BYTE, 2};
    case DXGI_FORMAT_R16_TYPELESS:
        if (depth_bind) return {GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT, 2, false, true};
        return {GL_R16, GL_RED, GL_UNSIGNED_SHORT, 2};
    case DXGI_FORMAT_D16_UNORM: return {GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT, GL_UNSIGNED_SHORT, 2, false, true};
    case DXGI_FORMAT_R16_FLOAT: return {GL_R16F, GL_RED, GL_HALF_FLOAT, 2};
    case DXGI_FORMAT_R16_UNORM: return {GL_R16, GL_RED, GL_UNSIGNED_SHORT, 2};
    case DXGI_FORMAT_R16_UINT: return {GL_R16UI, GL_RED_INTEGER, GL_UNSIGNED_SHORT, 2};
    case DXGI_FORMAT_R16_SNORM: return {GL_R16_SNORM, GL_RED, GL_SHORT, 2};
    case DXGI_FORMAT_R16_SINT: return {GL_R16I, GL_RED_INTEGER, GL_SHORT, 2};
    case DXGI_FORMAT_R8_TYPELESS:
    case DXGI_FORMAT_R8_UNORM: return {GL_R8, GL_RED, GL_UNSIGNED_BYTE, 1};
    case DXGI_FORMAT_R8_UINT: return {GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE, 1};
    case DXGI_FORMAT_R8_SNORM: return {GL_R8_SNORM, GL_RED, GL_BYTE, 1};
    case DXGI_FORMAT_R8_SINT: return {GL_R8I, GL_RED_INTEGER, GL_BYTE, 1};
    case DXGI_FORMAT_A8_UNORM: return {GL_R8, GL_RED, GL_UNSIGNED_BYTE, 1};
    case DXGI_FORMAT_BC1_TYPELESS:
    case DXGI_FORMAT_BC1_UNORM: return {GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 0, 0, 8, true};
    case DXGI_FORMAT_BC1_UNORM_SRGB: return {GL_COMPRESSED_SRGB_ALPHA_S3TC_DXT1_EXT, 0, 0, 8, true};
    case DXGI_FORMAT_BC2_TYPELESS:
    case DXGI_FORMAT_BC2_UNORM: return {GL_COMPRESSED_RGBA_S3TC_DXT3_EXT, 0, 0, 16, true};
    case DXGI_FORMAT_BC2_UNORM_SRGB: return {GL_COMPRESSED_SRGB_ALPHA_S3TC_DXT3_EXT, 0, 0, 16, true};
    case DXGI_FORMAT_BC3_TYPELESS:
    case DXGI_FORMAT_BC3_UNORM: return {GL_COMPRESSED_RGBA_S3TC_DXT5_EXT, 0, 0, 16, true};
    case DXGI_FORMAT_BC3_UNORM_SRGB: return {GL_COMPRESSED_SRGB_ALPHA_S3TC_DXT5_EXT, 0, 0, 16, true};
    case DXGI_FORMAT_BC4_TYPELESS:
    case DXGI_FORMAT_BC4_UNORM: return {GL_COMPRESSED_RED_RGTC1, 0, 0, 8, true};
    case DXGI_FORMAT_BC4_SNORM: return {GL_COMPRESSED_SIGNED_RED_RGTC1, 0, 0, 8, true};
    case DXGI_FORMAT_BC5_TYPELESS:
    case DXGI_FORMAT_BC5_UNORM: return {GL_COMPRESSED_RG_RGTC2, 0, 0, 16, true};
    case DXGI_FORMAT_BC5_SNORM: return {GL_COMPRESSED_SIGNED_RG_RGTC2, 0, 0, 16, true};
    default: return {};
    }
}

u32 row_bytes(const GlFormat &format, u32 width)
{
    return format.compressed ? (width + 3) / 4 * format.block_bytes : width * format.block_bytes;
}

u32 image_bytes(const GlFormat &format, u32 width, u32 height)
{
    return row_bytes(format, width) * (format.compressed ? (height + 3) / 4 : height);
}

// ---- Resources and views ---------------------------------------------------------

void *GlBuffer::find_interface(REFIID riid)
{
    if (riid == IID_ID3D11Buffer || riid == IID_ID3D11Resource || riid == IID_IUnknown) return static_cast<ID3D11Buffer *>(this);
    return nullptr;
}

void GlBuffer::destroy()
{
    if (!name) return;
    GlScope scope;
    glDeleteBuffers(1, &name);
}

void *GlTexture::find_interface(REFIID riid)
{
    if (riid == IID_ID3D11Texture2D || riid == IID_ID3D11Resource || riid == IID_IUnknown)
        return static_cast<ID3D11Texture2D *>(this);
    return nullptr;
}

void GlTexture::destroy()
{
    if (!name) return;
    GlScope scope;
    glDeleteTextures(1, &name);
}

u32 GlTexture::cpu_offset(u32 subresource) const
{
    u32 offset = 0;
    for (u32 i = 0; i < subresource; ++i) {
        u32 mip = i % desc.MipLevels;
        offset += image_bytes(format, mip_width(mip), mip_height(mip));
    }
    return offset;
}

void resource_parts(ID3D11Resource *resource, GlBuffer *&out_buffer, GlTexture *&out_texture)
{
    out_buffer = nullptr;
    out_texture = nullptr;
    if (!resource) return;
    D3D11_RESOURCE_DIMENSION dimension = D3D11_RESOURCE_DIMENSION_UNKNOWN;
    resource->GetType(&dimension);
    if (dimension == D3D11_RESOURCE_DIMENSION_BUFFER)
        out_buffer = dynamic_cast<GlBuffer *>(static_cast<ID3D11Buffer *>(resource));
    else if (dimension == D3D11_RESOURCE_DIMENSION_TEXTURE2D)
        out_texture = dynamic_cast<GlTexture *>(static_cast<ID3D11Texture2D *>(resource));
}

template <class Interface, class Desc> void GlView<Interface, Desc>::GetResource(ID3D11Resource **out_resource)
{
    if (!out_resource) return;
    *out_resource = resource;
    if (resource) resource->AddRef();
}

template <class Interface, class Desc> void GlView<Interface, Desc>::destroy()
{
    if (owns_name && range.name) {
        GlScope scope;
        glDeleteTextures(1, &range.name);
    }
    if (resource) resource->Release();
}

namespace {

template <class Interface, class Object> HRESULT hand_out(Object *object, Interface **out)
{
    if (out) *out = object;
    else object->Release();
    return S_OK;
}

GLenum texture_target(const D3D11_TEXTURE2D_DESC &desc)
{
    const bool cube = (desc.MiscFlags & D3D11_RESOURCE_MISC_TEXTURECUBE) != 0;
    if (desc.SampleDesc.Count > 1) return desc.ArraySize > 1 ? GL_TEXTURE_2D_MULTISAMPLE_ARRAY : GL_TEXTURE_2D_MULTISAMPLE;
    if (cube) return desc.ArraySize > 6 ? GL_TEXTURE_CUBE_MAP_ARRAY : GL_TEXTURE_CUBE_MAP;
    return desc.ArraySize > 1 ? GL_TEXTURE_2D_ARRAY : GL_TEXTURE_2D;
}

u32 full_mip_count(u32 width, u32 height)
{
    u32 levels = 1;
    while ((width | height) >> levels) ++levels;
    return levels;
}

/// Uploads tightly packed or pitched bytes of one subresource.
void upload_subresource(GlTexture &t, u32 subresource, u32 x, u32 y, u32 width, u32 height, const void *data, u32 pitch)
{
    const u32 mip = subresource % t.desc.MipLevels;
    const u32 slice = subresource / t.desc.MipLevels;
    const u32 row = row_bytes(t.format, width);
    const u32 rows = t.format.compressed ? (height + 3) / 4 : height;
    std::vector<u8> packed;
    const u8 *bytes = static_cast<const u8 *>(data);
    if (pitch && pitch != row) {
        packed.resize(static_cast<size_t>(row) * rows);
        for (u32 r = 0; r < rows; ++r) std::memcpy(&packed[static_cast<size_t>(r) * row], bytes + static_cast<size_t>(r) * pitch, row);
        bytes = packed.data();
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    const bool layered = t.target != GL_TEXTURE_2D;
    if (t.format.compressed) {
        if (layered)
            glCompressedTextureSubImage3D(t.name, mip, x, y, slice, width, height, 1, t.format.internal, row * rows, bytes);
        else
            glCompressedTextureSubImage2D(t.name, mip, x, y, width, height, t.format.internal, row * rows, bytes);
    } else if (layered) {
        glTextureSubImage3D(t.name, mip, x, y, slice, width, height, 1, t.format.format, t.format.type, bytes);
    } else {
        glTextureSubImage2D(t.name, mip, x, y, width, height, t.format.format, t.format.type, bytes);
    }
}

void drain_errors()
{
    while (glGetError() != GL_NO_ERROR) {
    }
}

bool make_texture_storage(GlTexture &t)
{
    drain_errors();
    const D3D11_TEXTURE2D_DESC &d = t.desc;
    t.target = texture_target(d);
    glCreateTextures(t.target, 1, &t.name);
    switch (t.target) {
    case GL_TEXTURE_2D:
    case GL_TEXTURE_CUBE_MAP: glTextureStorage2D(t.name, d.MipLevels, t.format.internal, d.Width, d.Height); break;
    case GL_TEXTURE_2D_ARRAY:
    case GL_TEXTURE_CUBE_MAP_ARRAY:
        glTextureStorage3D(t.name, d.MipLevels, t.format.internal, d.Width, d.Height, d.ArraySize);
        break;
    case GL_TEXTURE_2D_MULTISAMPLE:
        glTextureStorage2DMultisample(t.name, d.SampleDesc.Count, t.format.internal, d.Width, d.Height, GL_TRUE);
        break;
    default:
        glTextureStorage3DMultisample(t.name, d.SampleDesc.Count, t.format.internal, d.Width, d.Height, d.ArraySize, GL_TRUE);
        break;
    }
    if (t.target == GL_TEXTURE_2D_MULTISAMPLE || t.target == GL_TEXTURE_2D_MULTISAMPLE_ARRAY) return glGetError() == GL_NO_ERROR;
    glTextureParameteri(t.name, GL_TEXTURE_MAX_LEVEL, static_cast<GLint>(d.MipLevels - 1));
    return glGetError() == GL_NO_ERROR;
}

/// Fills a view range over a texture; false (logged) when it reaches past the texture.
bool texture_range(GlTexture *t, DXGI_FORMAT format, u32 mip, u32 mips, u32 first, u32 slices, GlViewRange &out)
{
    if (mips == UINT(-1)) mips = mip < t->desc.MipLevels ? t->desc.MipLevels - mip : 0;
    if (mips == 0 || slices == 0 || mip + mips > t->desc.MipLevels || first + slices > t->desc.ArraySize) {
        log_error("view_out_of_range: mips %u+%u, slices %u+%u of a texture with %u mips and %u slices", mip, mips, first,
                  slices, t->desc.MipLevels, t->desc.ArraySize);
        return false;
    }
    out.texture = t;
    out.format = format == DXGI_FORMAT_UNKNOWN ? t->desc.Format : format;
    out.mip = mip;
    out.mip_count = mips;
    out.first_slice = first;
    out.slice_count = slices;
    return true;
}

/// A sampled or written view needs its own GL texture when it covers part of the texture,
/// another target, or another format; otherwise it uses the texture itself.
bool name_for_view(GlViewRange &r, GLenum target, bool &out_owns)
{
    GlTexture *t = r.texture;
    GlFormat f = gl_format(r.format, 0);
    if (t->format.depth || !f.internal) f = t->format; // depth data is read through the depth format
    const bool whole = r.mip == 0 && r.mip_count == t->desc.MipLevels && r.first_slice == 0 &&
                       r.slice_count == t->desc.ArraySize;
    out_owns = false;
    r.target = target;
    if (whole && target == t->target && f.internal == t->format.internal) {
        r.name = t->name;
        return true;
    }
    drain_errors();
    glGenTextures(1, &r.name);
    glTextureView(r.name, target, t->name, f.internal, r.mip, r.mip_count, r.first_slice, r.slice_count);
    if (glGetError() != GL_NO_ERROR) {
        glDeleteTextures(1, &r.name);
        r.name = 0;
        log_error("view_dimension_mismatch: the texture cannot be viewed this way");
        return false;
    }
    out_owns = true;
    return true;
}

/// Sampler uniforms and uniform blocks in the order the source declares them.
struct Declarations {
    std::vector<std::string> samplers;
    std::vector<std::string> blocks;
};

bool ident_char(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

Declarations scan_declarations(const std::string &source)
{
    // Tokens outside comments; good enough for declarations at global scope.
    std::vector<std::string> tokens;
    for (size_t i = 0; i < source.size();) {
        char c = source[i];
        if (c == '/' && i + 1 < source.size() && source[i + 1] == '/') {
            while (i < source.size() && source[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < source.size() && source[i + 1] == '*') {
            size_t end = source.find("*/", i + 2);
            i = end == std::string::npos ? source.size() : end + 2;
        } else if (ident_char(c)) {
            size_t start = i;
            while (i < source.size() && ident_char(source[i])) ++i;
            tokens.push_back(source.substr(start, i - start));
        } else {
            if (c == '{' || c == ';') tokens.push_back(std::string(1, c));
            ++i;
        }
    }
    static const char *const precisions[] = {"lowp", "mediump", "highp"};
    Declarations out;
    for (size_t i = 0; i + 2 < tokens.size(); ++i) {
        if (tokens[i] != "uniform") continue;
        size_t j = i + 1;
        for (const char *p : precisions)
            if (j < tokens.size() && tokens[j] == p) ++j;
        if (j + 1 >= tokens.size()) break;
        const std::string &type = tokens[j];
        if (type.find("sampler") != std::string::npos) out.samplers.push_back(tokens[j + 1]);
        else if (tokens[j + 1] == "{") out.blocks.push_back(type);
    }
    return out;
}

GLenum sampler_target(GLenum type)
{
    switch (type) {
    case GL_SAMPLER_2D_ARRAY:
    case GL_SAMPLER_2D_ARRAY_SHADOW:
    case GL_INT_SAMPLER_2D_ARRAY:
    case GL_UNSIGNED_INT_SAMPLER_2D_ARRAY: return GL_TEXTURE_2D_ARRAY;
    case GL_SAMPLER_CUBE:
    case GL_SAMPLER_CUBE_SHADOW: return GL_TEXTURE_CUBE_MAP;
    case GL_SAMPLER_CUBE_MAP_ARRAY:
    case GL_SAMPLER_CUBE_MAP_ARRAY_SHADOW: return GL_TEXTURE_CUBE_MAP_ARRAY;
    case GL_SAMPLER_2D_MULTISAMPLE: return GL_TEXTURE_2D_MULTISAMPLE;
    case GL_SAMPLER_BUFFER: return GL_TEXTURE_BUFFER;
    default: return GL_TEXTURE_2D;
    }
}

const char *stage_name(StageIndex stage)
{
    static const char *const names[] = {"vertex", "hull", "domain", "geometry", "pixel", "compute"};
    return names[stage];
}

/// Compiles and links one stage; fills the slot tables. Failures are logged, never fatal.
bool build_shader(GlShaderBase &shader, StageIndex stage, const void *bytecode, SIZE_T length)
{
    static const GLenum kinds[] = {GL_VERTEX_SHADER, GL_TESS_CONTROL_SHADER, GL_TESS_EVALUATION_SHADER,
                                   GL_GEOMETRY_SHADER, GL_FRAGMENT_SHADER, GL_COMPUTE_SHADER};
    if (!bytecode || length == 0) {
        log_error("invalid_call: %s shader with no source", stage_name(stage));
        return false;
    }
    std::string source(static_cast<const char *>(bytecode), static_cast<size_t>(length));
    while (!source.empty() && source.back() == '\0') source.pop_back();
    const char *text = source.c_str();
    GLuint program = glCreateShaderProgramv(kinds[stage], 1, &text);
    GLint linked = 0;
    if (program) glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (!linked) {
        char info[2048] = "";
        if (program) glGetProgramInfoLog(program, sizeof info, nullptr, info);
        for (char *c = info; *c; ++c)
            if (*c == '\n') *c = ' ';
        log_error("%s shader failed to compile: %s", stage_name(stage), info);
        if (program) glDeleteProgram(program);
        return false;
    }
    shader.program = program;
    shader.stage = stage;
    const Declarations declared = scan_declarations(source);

    GLint block_count = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORM_BLOCKS, &block_count);
    shader.block_slots.assign(static_cast<size_t>(block_count), 0);
    for (GLint b = 0; b < block_count; ++b) {
        char name[256] = "";
        glGetActiveUniformBlockName(program, b, sizeof name, nullptr, name);
        GLint binding = 0;
        glGetActiveUniformBlockiv(program, b, GL_UNIFORM_BLOCK_BINDING, &binding);
        u32 slot = static_cast<u32>(binding);
        if (binding == 0)
            for (size_t k = 0; k < declared.blocks.size(); ++k)
                if (declared.blocks[k] == name) slot = static_cast<u32>(k);
        if (slot >= D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT) slot = 0;
        shader.block_slots[b] = slot;
        glUniformBlockBinding(program, b, stage * D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT + slot);
    }

    GLint uniform_count = 0;
    glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &uniform_count);
    for (GLint u = 0; u < uniform_count; ++u) {
        char name[256] = "";
        GLint size = 0;
        GLenum type = 0;
        glGetActiveUniform(program, u, sizeof name, nullptr, &size, &type, name);
        GLint location = glGetUniformLocation(program, name);
        if (location < 0) continue;
        GLenum target = sampler_target(type);
        bool is_sampler = false;
        switch (type) {
        case GL_SAMPLER_2D: case GL_SAMPLER_2D_SHADOW: case GL_SAMPLER_2D_ARRAY: case GL_SAMPLER_2D_ARRAY_SHADOW:
        case GL_SAMPLER_CUBE: case GL_SAMPLER_CUBE_SHADOW: case GL_SAMPLER_CUBE_MAP_ARRAY:
        case GL_SAMPLER_CUBE_MAP_ARRAY_SHADOW: case GL_SAMPLER_2D_MULTISAMPLE: case GL_SAMPLER_BUFFER:
        case GL_INT_SAMPLER_2D: case GL_UNSIGNED_INT_SAMPLER_2D: case GL_INT_SAMPLER_2D_ARRAY:
        case GL_UNSIGNED_INT_SAMPLER_2D_ARRAY: is_sampler = true; break;
        default: break;
        }
        if (!is_sampler) continue;
        GLint binding = 0;
        glGetUniformiv(program, location, &binding);
        u32 slot = static_cast<u32>(binding);
        if (binding == 0)
            for (size_t k = 0; k < declared.samplers.size(); ++k)
                if (declared.samplers[k] == name) slot = static_cast<u32>(k);
        if (slot >= units_per_stage) {
            log_error("invalid_call: %s shader sampler '%s' takes slot %u; at most %u are supported", stage_name(stage),
                      name, slot, units_per_stage);
            continue;
        }
        glProgramUniform1i(program, location, static_cast<GLint>(stage * units_per_stage + slot));
        shader.sampler_slots.push_back(slot);
        shader.sampler_targets.push_back(target);
    }
    return true;
}

template <class Interface>
HRESULT make_shader(GlDevice *device, StageIndex stage, const void *bytecode, SIZE_T length, Interface **out_shader)
{
    if (out_shader) *out_shader = nullptr;
    auto *shader = new GlShader<Interface>();
    shader->device = device;
    {
        GlScope scope(true);
        if (!build_shader(*shader, stage, bytecode, length)) {
            shader->Release();
            return E_INVALIDARG;
        }
    }
    return hand_out(shader, out_shader);
}

bool attribute_format(DXGI_FORMAT format, GlAttribute &a)
{
    switch (format) {
    case DXGI_FORMAT_R32_FLOAT: a.components = 1; a.type = GL_FLOAT; return true;
    case DXGI_FORMAT_R32G32_FLOAT: a.components = 2; a.type = GL_FLOAT; return true;
    case DXGI_FORMAT_R32G32B32_FLOAT: a.components = 3; a.type = GL_FLOAT; return true;
    case DXGI_FORMAT_R32G32B32A32_FLOAT: a.components = 4; a.type = GL_FLOAT; return true;
    case DXGI_FORMAT_R16G16_FLOAT: a.components = 2; a.type = GL_HALF_FLOAT; return true;
    case DXGI_FORMAT_R16G16B16A16_FLOAT: a.components = 4; a.type = GL_HALF_FLOAT; return true;
    case DXGI_FORMAT_R8G8B8A8_UNORM: a.components = 4; a.type = GL_UNSIGNED_BYTE; a.normalized = true; return true;
    case DXGI_FORMAT_B8G8R8A8_UNORM: a.components = GL_BGRA; a.type = GL_UNSIGNED_BYTE; a.normalized = true; return true;
    case DXGI_FORMAT_R8G8B8A8_SNORM: a.components = 4; a.type = GL_BYTE; a.normalized = true; return true;
    case DXGI_FORMAT_R8G8B8A8_UINT: a.components = 4; a.type = GL_UNSIGNED_BYTE; a.integer = true; return true;
    case DXGI_FORMAT_R16G16_SINT: a.components = 2; a.type = GL_SHORT; a.integer = true; return true;
    case DXGI_FORMAT_R16G16B16A16_SINT: a.components = 4; a.type = GL_SHORT; a.integer = true; return true;
    case DXGI_FORMAT_R16G16_SNORM: a.components = 2; a.type = GL_SHORT; a.normalized = true; return true;
    case DXGI_FORMAT_R16G16B16A16_SNORM: a.components = 4; a.type = GL_SHORT; a.normalized = true; return true;
    case DXGI_FORMAT_R32_SINT: a.components = 1; a.type = GL_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32G32_SINT: a.components = 2; a.type = GL_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32G32B32_SINT: a.components = 3; a.type = GL_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32G32B32A32_SINT: a.components = 4; a.type = GL_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32_UINT: a.components = 1; a.type = GL_UNSIGNED_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32G32_UINT: a.components = 2; a.type = GL_UNSIGNED_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32G32B32_UINT: a.components = 3; a.type = GL_UNSIGNED_INT; a.integer = true; return true;
    case DXGI_FORMAT_R32G32B32A32_UINT: a.components = 4; a.type = GL_UNSIGNED_INT; a.integer = true; return true;
    default: return false;
    }
}

u32 attribute_size(const GlAttribute &a)
{
    u32 component = a.type == GL_FLOAT || a.type == GL_INT || a.type == GL_UNSIGNED_INT ? 4
                    : a.type == GL_HALF_FLOAT || a.type == GL_SHORT                  ? 2
                                                                                     : 1;
    return component * (a.components == GL_BGRA ? 4 : static_cast<u32>(a.components));
}

GLenum wrap_mode(D3D11_TEXTURE_ADDRESS_MODE mode)
{
    switch (mode) {
    case D3D11_TEXTURE_ADDRESS_MIRROR: return GL_MIRRORED_REPEAT;
    case D3D11_TEXTURE_ADDRESS_CLAMP: return GL_CLAMP_TO_EDGE;
    case D3D11_TEXTURE_ADDRESS_BORDER: return GL_CLAMP_TO_BORDER;
    case D3D11_TEXTURE_ADDRESS_MIRROR_ONCE: return GL_MIRROR_CLAMP_TO_EDGE;
    default: return GL_REPEAT;
    }
}

} // namespace

GLenum compare_function(D3D11_COMPARISON_FUNC func)
{
    switch (func) {
    case D3D11_COMPARISON_NEVER: return GL_NEVER;
    case D3D11_COMPARISON_LESS: return GL_LESS;
    case D3D11_COMPARISON_EQUAL: return GL_EQUAL;
    case D3D11_COMPARISON_LESS_EQUAL: return GL_LEQUAL;
    case D3D11_COMPARISON_GREATER: return GL_GREATER;
    case D3D11_COMPARISON_NOT_EQUAL: return GL_NOTEQUAL;
    case D3D11_COMPARISON_GREATER_EQUAL: return GL_GEQUAL;
    default: return GL_ALWAYS;
    }
}

// ---- Device ------------------------------------------------------------------------

GlDevice::GlDevice() { device = this; }

void *GlDevice::find_interface(REFIID riid)
{
    return riid == IID_ID3D11Device || riid == IID_IUnknown ? static_cast<ID3D11Device *>(this) : nullptr;
}

void GlDevice::destroy()
{
    if (immediate) immediate->Release();
    immediate = nullptr;
}

void GlDevice::GetImmediateContext(ID3D11DeviceContext **out_context)
{
    if (!out_context) return;
    *out_context = immediate;
    if (*out_context) (*out_context)->AddRef();
}

HRESULT GlDevice::CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                               ID3D11Buffer **out_buffer)
{
    if (out_buffer) *out_buffer = nullptr;
    if (!desc || desc->ByteWidth == 0) {
        log_error("invalid_call: CreateBuffer with no description or zero size");
        return E_INVALIDARG;
    }
    if (desc->Usage == D3D11_USAGE_IMMUTABLE && !(initial_data && initial_data->pSysMem)) {
        log_error("invalid_call: an immutable buffer needs initial data");
        return E_INVALIDARG;
    }
    auto *buffer = new GlBuffer();
    buffer->device = this;
    buffer->desc = *desc;
    const void *data = initial_data ? initial_data->pSysMem : nullptr;
    if (desc->Usage == D3D11_USAGE_STAGING) {
        buffer->staging.assign(desc->ByteWidth, 0);
        if (data) std::memcpy(buffer->staging.data(), data, desc->ByteWidth);
        return hand_out(buffer, out_buffer);
    }
    if (desc->Usage == D3D11_USAGE_DYNAMIC) buffer->staging.assign(desc->ByteWidth, 0);
    GlScope scope(true);
    drain_errors();
    glCreateBuffers(1, &buffer->name);
    glNamedBufferData(buffer->name, desc->ByteWidth, data,
                      desc->Usage == D3D11_USAGE_DYNAMIC ? GL_STREAM_DRAW : GL_STATIC_DRAW);
    if (!data) {
        // Direct3D does not promise zeroes, but a defined start keeps runs repeatable.
        const u32 zero = 0;
        glClearNamedBufferData(buffer->name, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, &zero);
    }
    if (glGetError() != GL_NO_ERROR) {
        buffer->Release();
        return E_OUTOFMEMORY;
    }
    return hand_out(buffer, out_buffer);
}

HRESULT GlDevice::CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                                  ID3D11Texture2D **out_texture)
{
    if (out_texture) *out_texture = nullptr;
    if (!desc || desc->Width == 0 || desc->Height == 0 || desc->ArraySize == 0) {
        log_error("invalid_call: CreateTexture2D with no description or an empty size");
        return E_INVALIDARG;
    }
    GlFormat format = gl_format(desc->Format, desc->BindFlags);
    if (!format.internal) {
        log_error("invalid_call: texture format %u is not supported", desc->Format);
        return E_INVALIDARG;
    }
    if ((desc->MiscFlags & D3D11_RESOURCE_MISC_TEXTURECUBE) && desc->ArraySize % 6 != 0) {
        log_error("invalid_call: a cube texture needs slices in sixes");
        return E_INVALIDARG;
    }
    auto *t = new GlTexture();
    t->device = this;
    t->desc = *desc;
    if (t->desc.SampleDesc.Count == 0) t->desc.SampleDesc.Count = 1;
    const u32 full = full_mip_count(desc->Width, desc->Height);
    if (t->desc.MipLevels == 0 || t->desc.MipLevels > full) t->desc.MipLevels = full;
    if (t->desc.SampleDesc.Count > 1) t->desc.MipLevels = 1;
    t->format = format;
    const u32 subresources = t->subresource_count();
    if (desc->Usage == D3D11_USAGE_STAGING || desc->Usage == D3D11_USAGE_DYNAMIC) {
        t->cpu.assign(t->cpu_offset(subresources), 0);
    }
    if (desc->Usage == D3D11_USAGE_STAGING) {
        if (initial_data)
            for (u32 s = 0; s < subresources; ++s) {
                const u32 mip = s % t->desc.MipLevels;
                const u32 row = row_bytes(format, t->mip_width(mip));
                const u32 rows = image_bytes(format, t->mip_width(mip), t->mip_height(mip)) / row;
                const u32 pitch = initial_data[s].SysMemPitch ? initial_data[s].SysMemPitch : row;
                for (u32 r = 0; r < rows; ++r)
                    std::memcpy(&t->cpu[t->cpu_offset(s) + static_cast<size_t>(r) * row],
                                static_cast<const u8 *>(initial_data[s].pSysMem) + static_cast<size_t>(r) * pitch, row);
            }
        return hand_out(t, out_texture);
    }
    GlScope scope(true);
    if (!make_texture_storage(*t)) {
        log_error("invalid_call: OpenGL refused the storage of a %ux%u texture of format %u", desc->Width, desc->Height,
                  desc->Format);
        t->Release();
        return E_OUTOFMEMORY;
    }
    if (initial_data && t->desc.SampleDesc.Count == 1) {
        for (u32 s = 0; s < subresources; ++s) {
            if (!initial_data[s].pSysMem) continue;
            const u32 mip = s % t->desc.MipLevels;
            upload_subresource(*t, s, 0, 0, t->mip_width(mip), t->mip_height(mip), initial_data[s].pSysMem,
                               initial_data[s].SysMemPitch);
        }
    }
    return hand_out(t, out_texture);
}

HRESULT GlDevice::CreateShaderResourceView(ID3D11Resource *resource, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                           ID3D11ShaderResourceView **out_view)
{
    if (out_view) *out_view = nullptr;
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    if (!buffer && !texture) return E_INVALIDARG;
    const u32 bind = buffer ? buffer->desc.BindFlags : texture->desc.BindFlags;
    if (!(bind & D3D11_BIND_SHADER_RESOURCE)) {
        log_error("view_without_bind_flag: shader-resource view of a resource without the shader-resource bind flag");
        return E_INVALIDARG;
    }
    auto *view = new GlSrv();
    view->device = this;
    GlScope scope(true);
    if (buffer) {
        D3D11_SHADER_RESOURCE_VIEW_DESC d{};
        if (desc) d = *desc;
        else {
            d.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
            d.Format = DXGI_FORMAT_R32_UINT;
            d.Buffer.FirstElement = 0;
            d.Buffer.NumElements = buffer->desc.ByteWidth / 4;
        }
        GlFormat f = gl_format(d.Format);
        u32 element = buffer->desc.StructureByteStride ? buffer->desc.StructureByteStride : (f.block_bytes ? f.block_bytes : 4);
        if (d.ViewDimension != D3D11_SRV_DIMENSION_BUFFER || d.Buffer.NumElements == 0 ||
            (static_cast<u64>(d.Buffer.FirstElement) + d.Buffer.NumElements) * element > buffer->desc.ByteWidth) {
            log_error("view_out_of_range: buffer view past its buffer or of the wrong dimension");
            view->Release();
            return E_INVALIDARG;
        }
        view->desc = d;
        view->range.buffer = buffer;
        view->range.format = d.Format;
        view->range.first_element = d.Buffer.FirstElement;
        view->range.element_count = d.Buffer.NumElements;
        view->range.target = GL_TEXTURE_BUFFER;
        if (f.internal && !buffer->desc.StructureByteStride) {
            glCreateTextures(GL_TEXTURE_BUFFER, 1, &view->range.name);
            glTextureBufferRange(view->range.name, f.internal, buffer->name, d.Buffer.FirstElement * element,
                                 d.Buffer.NumElements * element);
            view->owns_name = true;
        }
    } else {
        D3D11_SHADER_RESOURCE_VIEW_DESC d{};
        const bool cube = (texture->desc.MiscFlags & D3D11_RESOURCE_MISC_TEXTURECUBE) != 0;
        const bool ms = texture->desc.SampleDesc.Count > 1;
        if (desc) d = *desc;
        else {
            d.Format = texture->desc.Format;
            if (ms) {
                d.ViewDimension = texture->desc.ArraySize > 1 ? D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY : D3D11_SRV_DIMENSION_TEXTURE2DMS;
                d.Texture2DMSArray = {0, texture->desc.ArraySize};
            } else if (cube) {
                d.ViewDimension = texture->desc.ArraySize > 6 ? D3D11_SRV_DIMENSION_TEXTURECUBEARRAY : D3D11_SRV_DIMENSION_TEXTURECUBE;
                d.TextureCubeArray = {0, texture->desc.MipLevels, 0, texture->desc.ArraySize / 6};
            } else if (texture->desc.ArraySize > 1) {
                d.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DARRAY;
                d.Texture2DArray = {0, texture->desc.MipLevels, 0, texture->desc.ArraySize};
            } else {
                d.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
                d.Texture2D = {0, texture->desc.MipLevels};
            }
        }
        bool ok = true;
        GLenum target = GL_TEXTURE_2D;
        GlViewRange &r = view->range;
        switch (d.ViewDimension) {
        case D3D11_SRV_DIMENSION_TEXTURE2D:
            ok = !ms && texture_range(texture, d.Format, d.Texture2D.MostDetailedMip, d.Texture2D.MipLevels, 0, 1, r);
            break;
        case D3D11_SRV_DIMENSION_TEXTURE2DARRAY:
            ok = !ms && texture_range(texture, d.Format, d.Texture2DArray.MostDetailedMip, d.Texture2DArray.MipLevels,
                                      d.Texture2DArray.FirstArraySlice, d.Texture2DArray.ArraySize, r);
            target = GL_TEXTURE_2D_ARRAY;
            break;
        case D3D11_SRV_DIMENSION_TEXTURE2DMS:
            ok = ms && texture_range(texture, d.Format, 0, 1, 0, 1, r);
            target = GL_TEXTURE_2D_MULTISAMPLE;
            break;
        case D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY:
            ok = ms && texture_range(texture, d.Format, 0, 1, d.Texture2DMSArray.FirstArraySlice,
                                     d.Texture2DMSArray.ArraySize, r);
            target = GL_TEXTURE_2D_MULTISAMPLE_ARRAY;
            break;
        case D3D11_SRV_DIMENSION_TEXTURECUBE:
            ok = cube && texture_range(texture, d.Format, d.TextureCube.MostDetailedMip, d.TextureCube.MipLevels, 0, 6, r);
            target = GL_TEXTURE_CUBE_MAP;
            break;
        case D3D11_SRV_DIMENSION_TEXTURECUBEARRAY:
            ok = cube && texture_range(texture, d.Format, d.TextureCubeArray.MostDetailedMip, d.TextureCubeArray.MipLevels,
                                       d.TextureCubeArray.First2DArrayFace, d.TextureCubeArray.NumCubes * 6, r);
            target = GL_TEXTURE_CUBE_MAP_ARRAY;
            break;
        default: ok = false; break;
        }
        if (!ok || !name_for_view(r, target, view->owns_name)) {
            log_error("view_dimension_mismatch: shader-resource view unfit for its texture");
            view->Release();
            return E_INVALIDARG;
        }
        view->desc = d;
    }
    view->resource = resource;
    resource->AddRef();
    return hand_out(view, out_view);
}

HRESULT GlDevice::CreateUnorderedAccessView(ID3D11Resource *resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc,
                                            ID3D11UnorderedAccessView **out_view)
{
    if (out_view) *out_view = nullptr;
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    if (!buffer && !texture) return E_INVALIDARG;
    const u32 bind = buffer ? buffer->desc.BindFlags : texture->desc.BindFlags;
    if (!(bind & D3D11_BIND_UNORDERED_ACCESS)) {
        log_error("view_without_bind_flag: unordered-access view of a resource without the unordered-access bind flag");
        return E_INVALIDARG;
    }
    auto *view = new GlUav();
    view->device = this;
    D3D11_UNORDERED_ACCESS_VIEW_DESC d{};
    GlScope scope(true);
    if (buffer) {
        if (desc) d = *desc;
        else {
            d.ViewDimension = D3D11_UAV_DIMENSION_BUFFER;
            d.Format = DXGI_FORMAT_R32_UINT;
            d.Buffer = {0, buffer->desc.ByteWidth / 4, 0};
        }
        GlFormat f = gl_format(d.Format);
        u32 element = buffer->desc.StructureByteStride ? buffer->desc.StructureByteStride : (f.block_bytes ? f.block_bytes : 4);
        if (d.ViewDimension != D3D11_UAV_DIMENSION_BUFFER || d.Buffer.NumElements == 0 ||
            (static_cast<u64>(d.Buffer.FirstElement) + d.Buffer.NumElements) * element > buffer->desc.ByteWidth) {
            log_error("view_out_of_range: unordered-access view past its buffer");
            view->Release();
            return E_INVALIDARG;
        }
        view->range.buffer = buffer;
        view->range.first_element = d.Buffer.FirstElement * element;
        view->range.element_count = d.Buffer.NumElements * element; // bytes
    } else {
        if (desc) d = *desc;
        else {
            d.Format = texture->desc.Format;
            d.ViewDimension = texture->desc.ArraySize > 1 ? D3D11_UAV_DIMENSION_TEXTURE2DARRAY : D3D11_UAV_DIMENSION_TEXTURE2D;
            d.Texture2DArray = {0, 0, texture->desc.ArraySize};
        }
        bool ok = d.ViewDimension == D3D11_UAV_DIMENSION_TEXTURE2D
                      ? texture_range(texture, d.Format, d.Texture2D.MipSlice, 1, 0, 1, view->range)
                  : d.ViewDimension == D3D11_UAV_DIMENSION_TEXTURE2DARRAY
                      ? texture_range(texture, d.Format, d.Texture2DArray.MipSlice, 1, d.Texture2DArray.FirstArraySlice,
                                      d.Texture2DArray.ArraySize, view->range)
                      : false;
        if (!ok) {
            view->Release();
            return E_INVALIDARG;
        }
        view->range.layered = d.ViewDimension == D3D11_UAV_DIMENSION_TEXTURE2DARRAY;
        view->range.name = texture->name;
    }
    view->desc = d;
    view->resource = resource;
    resource->AddRef();
    return hand_out(view, out_view);
}

// The texture range a render-target or depth-stencil view covers; false when its dimension
// does not fit the texture (multisampled or not) or reaches past it. Both view kinds share
// their layouts and differ only in their dimension values.
template <typename ViewDesc, typename Dimension>
bool attachment_range(GlTexture *texture, const ViewDesc &d, bool ms, Dimension single, Dimension array,
                      Dimension multisampled, Dimension multisampled_array, GlViewRange &r)
{
    if (d.ViewDimension == single)
        return !ms && texture_range(texture, d.Format, d.Texture2D.MipSlice, 1, 0, 1, r);
    if (d.ViewDimension == array) {
        r.layered = d.Texture2DArray.ArraySize > 1;
        return !ms && texture_range(texture, d.Format, d.Texture2DArray.MipSlice, 1, d.Texture2DArray.FirstArraySlice,
                                    d.Texture2DArray.ArraySize, r);
    }
    if (d.ViewDimension == multisampled)
        return ms && texture_range(texture, d.Format, 0, 1, 0, 1, r);
    if (d.ViewDimension == multisampled_array) {
        r.layered = d.Texture2DMSArray.ArraySize > 1;
        return ms && texture_range(texture, d.Format, 0, 1, d.Texture2DMSArray.FirstArraySlice,
                                   d.Texture2DMSArray.ArraySize, r);
    }
    return false;
}

HRESULT GlDevice::CreateRenderTargetView(ID3D11Resource *resource, const D3D11_RENDER_TARGET_VIEW_DESC *desc,
                                         ID3D11RenderTargetView **out_view)
{
    if (out_view) *out_view = nullptr;
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    if (!texture) {
        log_error("view_dimension_mismatch: render-target views of buffers are not supported");
        return E_INVALIDARG;
    }
    if (!(texture->desc.BindFlags & D3D11_BIND_RENDER_TARGET)) {
        log_error("view_without_bind_flag: render-target view of a texture without the render-target bind flag");
        return E_INVALIDARG;
    }
    D3D11_RENDER_TARGET_VIEW_DESC d{};
    const bool ms = texture->desc.SampleDesc.Count > 1;
    if (desc) d = *desc;
    else {
        d.Format = texture->desc.Format;
        if (texture->desc.ArraySize > 1) {
            d.ViewDimension = ms ? D3D11_RTV_DIMENSION_TEXTURE2DMSARRAY : D3D11_RTV_DIMENSION_TEXTURE2DARRAY;
            if (ms) d.Texture2DMSArray = {0, texture->desc.ArraySize};
            else d.Texture2DArray = {0, 0, texture->desc.ArraySize};
        } else {
            d.ViewDimension = ms ? D3D11_RTV_DIMENSION_TEXTURE2DMS : D3D11_RTV_DIMENSION_TEXTURE2D;
            d.Texture2D = {0};
        }
    }
    auto *view = new GlRtv();
    view->device = this;
    GlViewRange &r = view->range;
    const bool ok = attachment_range(texture, d, ms, D3D11_RTV_DIMENSION_TEXTURE2D, D3D11_RTV_DIMENSION_TEXTURE2DARRAY,
                          D3D11_RTV_DIMENSION_TEXTURE2DMS, D3D11_RTV_DIMENSION_TEXTURE2DMSARRAY, r);
    if (!ok) {
        log_error("view_dimension_mismatch: render-target view unfit for its texture");
        view->Release();
        return E_INVALIDARG;
    }
    r.name = texture->name;
    view->desc = d;
    view->resource = resource;
    resource->AddRef();
    return hand_out(view, out_view);
}

HRESULT GlDevice::CreateDepthStencilView(ID3D11Resource *resource, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc,
                                         ID3D11DepthStencilView **out_view)
{
    if (out_view) *out_view = nullptr;
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    if (!texture || !(texture->desc.BindFlags & D3D11_BIND_DEPTH_STENCIL) || !texture->format.depth) {
        log_error("view_without_bind_flag: depth-stencil view of a resource without the depth-stencil bind flag");
        return E_INVALIDARG;
    }
    D3D11_DEPTH_STENCIL_VIEW_DESC d{};
    const bool ms = texture->desc.SampleDesc.Count > 1;
    if (desc) d = *desc;
    else {
        d.Format = texture->desc.Format;
        if (texture->desc.ArraySize > 1) {
            d.ViewDimension = ms ? D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY : D3D11_DSV_DIMENSION_TEXTURE2DARRAY;
            if (ms) d.Texture2DMSArray = {0, texture->desc.ArraySize};
            else d.Texture2DArray = {0, 0, texture->desc.ArraySize};
        } else {
            d.ViewDimension = ms ? D3D11_DSV_DIMENSION_TEXTURE2DMS : D3D11_DSV_DIMENSION_TEXTURE2D;
        }
    }
    auto *view = new GlDsv();
    view->device = this;
    GlViewRange &r = view->range;
    const bool ok = attachment_range(texture, d, ms, D3D11_DSV_DIMENSION_TEXTURE2D, D3D11_DSV_DIMENSION_TEXTURE2DARRAY,
                          D3D11_DSV_DIMENSION_TEXTURE2DMS, D3D11_DSV_DIMENSION_TEXTURE2DMSARRAY, r);
    if (!ok) {
        log_error("view_dimension_mismatch: depth-stencil view unfit for its texture");
        view->Release();
        return E_INVALIDARG;
    }
    r.name = texture->name;
    view->desc = d;
    view->resource = resource;
    resource->AddRef();
    return hand_out(view, out_view);
}

HRESULT GlDevice::CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count, const void *,
                                    SIZE_T, ID3D11InputLayout **out_layout)
{
    if (out_layout) *out_layout = nullptr;
    if (!elements && element_count) return E_INVALIDARG;
    auto *layout = new GlInputLayout();
    layout->device = this;
    u32 next_offset[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
    for (UINT i = 0; i < element_count; ++i) {
        const D3D11_INPUT_ELEMENT_DESC &e = elements[i];
        GlAttribute a;
        if (e.InputSlot >= D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT || !attribute_format(e.Format, a)) {
            log_error("invalid_call: input element %u (%s) has slot %u or format %u that is not supported", i,
                      e.SemanticName ? e.SemanticName : "", e.InputSlot, e.Format);
            layout->Release();
            return E_INVALIDARG;
        }
        a.location = i;
        a.slot = e.InputSlot;
        a.offset = e.AlignedByteOffset == D3D11_APPEND_ALIGNED_ELEMENT ? next_offset[e.InputSlot] : e.AlignedByteOffset;
        a.divisor = e.InputSlotClass == D3D11_INPUT_PER_INSTANCE_DATA ? (e.InstanceDataStepRate ? e.InstanceDataStepRate : 1) : 0;
        next_offset[e.InputSlot] = a.offset + attribute_size(a);
        layout->attributes.push_back(a);
    }
    return hand_out(layout, out_layout);
}

HRESULT GlDevice::CreateVertexShader(const void *b, SIZE_T n, ID3D11ClassLinkage *, ID3D11VertexShader **out)
{
    return make_shader(this, stage_vertex, b, n, out);
}
HRESULT GlDevice::CreateGeometryShader(const void *b, SIZE_T n, ID3D11ClassLinkage *, ID3D11GeometryShader **out)
{
    return make_shader(this, stage_geometry, b, n, out);
}
HRESULT GlDevice::CreatePixelShader(const void *b, SIZE_T n, ID3D11ClassLinkage *, ID3D11PixelShader **out)
{
    return make_shader(this, stage_pixel, b, n, out);
}
HRESULT GlDevice::CreateHullShader(const void *b, SIZE_T n, ID3D11ClassLinkage *, ID3D11HullShader **out)
{
    return make_shader(this, stage_hull, b, n, out);
}
HRESULT GlDevice::CreateDomainShader(const void *b, SIZE_T n, ID3D11ClassLinkage *, ID3D11DomainShader **out)
{
    return make_shader(this, stage_domain, b, n, out);
}
HRESULT GlDevice::CreateComputeShader(const void *b, SIZE_T n, ID3D11ClassLinkage *, ID3D11ComputeShader **out)
{
    return make_shader(this, stage_compute, b, n, out);
}

// A state object that only keeps its description; GL state is set from it when bound.
template <class State, class Desc, class Interface>
HRESULT make_state(GlDevice *device, const Desc *desc, Interface **out_state)
{
    if (out_state) *out_state = nullptr;
    if (!desc) return E_INVALIDARG;
    auto *state = new State();
    state->device = device;
    state->desc = *desc;
    return hand_out(state, out_state);
}

HRESULT GlDevice::CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out_state)
{
    return make_state<GlBlendState>(this, desc, out_state);
}

HRESULT GlDevice::CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc, ID3D11DepthStencilState **out_state)
{
    return make_state<GlDepthStencilState>(this, desc, out_state);
}

HRESULT GlDevice::CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out_state)
{
    return make_state<GlRasterizerState>(this, desc, out_state);
}

HRESULT GlDevice::CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out_state)
{
    if (out_state) *out_state = nullptr;
    if (!desc) return E_INVALIDARG;
    auto *state = new GlSamplerState();
    state->device = this;
    state->desc = *desc;
    GlScope scope(true);
    GLuint s = 0;
    glCreateSamplers(1, &s);
    const u32 f = desc->Filter;
    const bool mip_linear = f & 0x1, mag_linear = f & 0x4, min_linear = f & 0x10, anisotropic = f & 0x40;
    glSamplerParameteri(s, GL_TEXTURE_MIN_FILTER,
                        min_linear ? (mip_linear ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR_MIPMAP_NEAREST)
                                   : (mip_linear ? GL_NEAREST_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_NEAREST));
    glSamplerParameteri(s, GL_TEXTURE_MAG_FILTER, mag_linear ? GL_LINEAR : GL_NEAREST);
    if (anisotropic) glSamplerParameterf(s, GL_TEXTURE_MAX_ANISOTROPY, static_cast<GLfloat>(desc->MaxAnisotropy ? desc->MaxAnisotropy : 1));
    glSamplerParameteri(s, GL_TEXTURE_WRAP_S, static_cast<GLint>(wrap_mode(desc->AddressU)));
    glSamplerParameteri(s, GL_TEXTURE_WRAP_T, static_cast<GLint>(wrap_mode(desc->AddressV)));
    glSamplerParameteri(s, GL_TEXTURE_WRAP_R, static_cast<GLint>(wrap_mode(desc->AddressW)));
    glSamplerParameterf(s, GL_TEXTURE_LOD_BIAS, desc->MipLODBias);
    glSamplerParameterf(s, GL_TEXTURE_MIN_LOD, desc->MinLOD);
    glSamplerParameterf(s, GL_TEXTURE_MAX_LOD, desc->MaxLOD);
    glSamplerParameterfv(s, GL_TEXTURE_BORDER_COLOR, desc->BorderColor);
    if (f & 0x80) {
        glSamplerParameteri(s, GL_TEXTURE_COMPARE_MODE, GL_COMPARE_REF_TO_TEXTURE);
        glSamplerParameteri(s, GL_TEXTURE_COMPARE_FUNC, static_cast<GLint>(compare_function(desc->ComparisonFunc)));
    }
    state->sampler = s;
    return hand_out(state, out_state);
}

HRESULT GlDevice::CreateDeferredContext(UINT flags, ID3D11DeviceContext **out_context)
{
    if (out_context) *out_context = nullptr;
    if (flags != 0 || !out_context) return E_INVALIDARG;
    *out_context = create_context(this, true);
    return S_OK;
}

GlTexture *create_back_buffer(GlDevice *device, u32 width, u32 height, DXGI_FORMAT format)
{
    auto *t = new GlTexture();
    t->device = device;
    t->desc = {width, height, 1, 1, format, {1, 0}, D3D11_USAGE_DEFAULT,
               D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0, 0};
    t->format = gl_format(format);
    if (!t->format.internal) t->format = gl_format(DXGI_FORMAT_R8G8B8A8_UNORM);
    GlScope scope(true);
    make_texture_storage(*t);
    return t;
}

HRESULT create_device(IDXGIAdapter *, D3D_DRIVER_TYPE, UINT, const D3D_FEATURE_LEVEL *levels, UINT level_count,
                      ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level, ID3D11DeviceContext **out_context)
{
    if (out_device) *out_device = nullptr;
    if (out_context) *out_context = nullptr;
    // Every level up to 11_0 is met by OpenGL 4.5.
    D3D_FEATURE_LEVEL granted = D3D_FEATURE_LEVEL_11_0;
    if (levels && level_count) {
        bool found = false;
        for (UINT i = 0; i < level_count && !found; ++i)
            if (levels[i] <= D3D_FEATURE_LEVEL_11_0) {
                granted = levels[i];
                found = true;
            }
        if (!found) return E_INVALIDARG;
    }
    auto *device = new GlDevice();
    device->level = granted;
    device->immediate = create_context(device, false);
    if (out_level) *out_level = granted;
    if (out_context) device->GetImmediateContext(out_context);
    if (out_device) *out_device = device;
    else device->Release();
    return S_OK;
}

} // namespace tallow::d3d11::gl

// OpenGL backend: the device with everything it creates (the EGL context set is in
// gl_scope.cpp, formats in gl_format.cpp, shader compilation in gl_shader.cpp).
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

#include <cstring>

namespace tallow::d3d11::gl {

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

/// Fills a view range over a texture; false when it reaches past the texture (refused by
/// the front before it gets here).
bool texture_range(GlTexture *t, DXGI_FORMAT format, u32 mip, u32 mips, u32 first, u32 slices, GlViewRange &out)
{
    if (mips == UINT(-1)) mips = mip < t->desc.MipLevels ? t->desc.MipLevels - mip : 0;
    if (mips == 0 || slices == 0 || mip + mips > t->desc.MipLevels || first + slices > t->desc.ArraySize) return false;
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
        log_error("OpenGL cannot view a texture of format %u in format %u", t->desc.Format, r.format);
        return false;
    }
    out_owns = true;
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

bool GlDevice::owns_resource(ID3D11Resource *resource)
{
    GlBuffer *buffer;
    GlTexture *texture;
    resource_parts(resource, buffer, texture);
    return buffer || texture;
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
    GlFormat format = gl_format(desc->Format, desc->BindFlags);
    if (!format.internal) {
        log_error("the OpenGL backend has no storage for texture format %u", desc->Format);
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
            view->Release();
            return E_INVALIDARG; // refused by the front
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
        // A dimension or range unfit for the texture is refused by the front; name_for_view
        // logs what OpenGL cannot view.
        if (!ok || !name_for_view(r, target, view->owns_name)) {
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
            view->Release();
            return E_INVALIDARG; // refused by the front
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
        log_error("render-target views of buffers are not supported by the OpenGL backend");
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
        view->Release();
        return E_INVALIDARG; // refused by the front
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
    if (!texture || !texture->format.depth) { // the front has refused views in other formats
        log_error("the OpenGL backend keeps no depth storage for texture format %u",
                  texture ? texture->desc.Format : DXGI_FORMAT_UNKNOWN);
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
        view->Release();
        return E_INVALIDARG; // refused by the front
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
    auto *layout = new GlInputLayout();
    layout->device = this;
    u32 next_offset[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
    for (UINT i = 0; i < element_count; ++i) {
        const D3D11_INPUT_ELEMENT_DESC &e = elements[i];
        GlAttribute a;
        if (!attribute_format(e.Format, a)) {
            log_error("input element %u (%s) has format %u that the OpenGL backend does not support", i,
                      e.SemanticName ? e.SemanticName : "", e.Format);
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

HRESULT GlDevice::CreateDeferredContext(UINT, ID3D11DeviceContext **out_context)
{
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
    auto *device = new DeviceFront<GlDevice>();
    device->level = granted;
    device->immediate = create_context(device, false);
    if (out_level) *out_level = granted;
    if (out_context) device->GetImmediateContext(out_context);
    if (out_device) *out_device = device;
    else device->Release();
    return S_OK;
}

} // namespace tallow::d3d11::gl

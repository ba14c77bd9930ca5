// Headless device: creates and tracks resources (bytes in memory, or none on a device that
// keeps no texels), views, states, shaders, input layouts and deferred contexts. Safe from several threads: creation touches only the
// new object and the locked registry.
#include "platform/d3d11/headless_internal.h"

#include <cstring>

namespace tallow::d3d11 {
/// Executes device calls the validation front (d3d11_validation.h) has accepted.
class HeadlessDevice : public Object<ID3D11Device> {
public:
    HeadlessDevice(D3D_FEATURE_LEVEL level, u32 flags, bool journal, bool keep_texels)
        : Object(ObjectKind::device, this), level(level), flags(flags), journal(journal), keep_texels(keep_texels)
    {
    }

    void *find_interface(REFIID riid) override
    {
        return riid == IID_ID3D11Device ? self() : ObjectBase::find_interface(riid);
    }

    HRESULT QueryInterface(REFIID riid, void **out_object) override
    {
        if (out_object && riid == IID_ID3D11Debug) {
            *out_object = nullptr;
            if (!(flags & D3D11_CREATE_DEVICE_DEBUG)) return E_NOINTERFACE;
            *out_object = make_debug();
            return S_OK;
        }
        return Object::QueryInterface(riid, out_object);
    }

    void on_final_release() override
    {
        if (immediate) immediate->Release(); // the device's own reference
        immediate = nullptr;
        report_device_leaks(this, id);
    }

    ID3D11Debug *make_debug();

    bool owns_resource(ID3D11Resource *resource) { return resource_data(resource) != nullptr; }

    template <class T> HRESULT finish(T *object, ObjectKind kind, T **out)
    {
        (void)kind;
        register_object(object);
        *out = object;
        return S_OK;
    }

    HRESULT CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                         ID3D11Buffer **out_buffer) override
    {
        if (!out_buffer) return E_INVALIDARG;
        *out_buffer = nullptr;
        if (!begin_create(ObjectKind::buffer)) return E_OUTOFMEMORY;
        auto *buffer = new HeadlessBuffer(this, *desc);
        if (initial_data && initial_data->pSysMem && keep_texels)
            std::memcpy(buffer->data.subresources[0].bytes.data(), initial_data->pSysMem, desc->ByteWidth);
        ID3D11Buffer *result = buffer;
        register_object(buffer);
        *out_buffer = result;
        return S_OK;
    }

    HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const D3D11_SUBRESOURCE_DATA *initial_data,
                            ID3D11Texture2D **out_texture) override
    {
        if (!out_texture) return E_INVALIDARG;
        *out_texture = nullptr;
        if (!begin_create(ObjectKind::texture2d)) return E_OUTOFMEMORY;
        auto *texture = new HeadlessTexture2D(this, *desc);
        if (initial_data && keep_texels) {
            // Rows arrive with the caller's pitch; they are kept tightly packed.
            for (size_t s = 0; s < texture->data.subresources.size(); ++s) {
                ResourceData::Subresource &sub = texture->data.subresources[s];
                const u8 *source = static_cast<const u8 *>(initial_data[s].pSysMem);
                if (!source) continue;
                u32 pitch = initial_data[s].SysMemPitch ? initial_data[s].SysMemPitch : sub.row_pitch;
                for (u32 row = 0; row < sub.rows; ++row)
                    std::memcpy(sub.bytes.data() + row * sub.row_pitch, source + row * pitch,
                                pitch < sub.row_pitch ? pitch : sub.row_pitch);
            }
        }
        register_object(texture);
        *out_texture = texture;
        return S_OK;
    }

    /// What a view of `resource` covers before its description narrows it.
    static ViewRange whole_range(ID3D11Resource *resource)
    {
        ViewRange range;
        range.resource = resource_object(resource);
        range.data = resource_data(resource);
        range.format = range.data->format;
        range.slice_count = range.data->array_size;
        return range;
    }

    template <class View, class Desc, class Interface>
    HRESULT make_view(ObjectKind kind, ID3D11Resource *resource, const Desc *desc, const ViewRange &range,
                      Interface **out_view)
    {
        if (!begin_create(kind)) return E_OUTOFMEMORY;
        Desc copy{};
        if (desc) copy = *desc;
        auto *view = new View(kind, this, copy, range);
        view->description = bytes_of(copy);
        resource->AddRef(); // a view keeps its resource
        register_object(view);
        *out_view = view;
        return S_OK;
    }

    /// Narrows `range` to what the (accepted) description names. A null description is the
    /// whole resource in its own format.
    template <class Desc> static ViewRange view_range(ID3D11Resource *resource, const Desc *desc)
    {
        ViewRange range = whole_range(resource);
        if (!desc) return range;
        if (desc->Format != DXGI_FORMAT_UNKNOWN) range.format = desc->Format;
        if (range.data->is_buffer) return range;
        const ViewShape shape = shape_of(*desc);
        range.mip = u32(shape.first_mip);
        range.first_slice = u32(shape.first_slice);
        range.slice_count = u32(shape.slice_count);
        return range;
    }

    HRESULT CreateShaderResourceView(ID3D11Resource *resource, const D3D11_SHADER_RESOURCE_VIEW_DESC *desc,
                                     ID3D11ShaderResourceView **out_view) override
    {
        if (!out_view) return E_INVALIDARG;
        *out_view = nullptr;
        return make_view<HeadlessSrv>(ObjectKind::shader_resource_view, resource, desc, view_range(resource, desc), out_view);
    }

    HRESULT CreateUnorderedAccessView(ID3D11Resource *resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC *desc,
                                      ID3D11UnorderedAccessView **out_view) override
    {
        if (!out_view) return E_INVALIDARG;
        *out_view = nullptr;
        return make_view<HeadlessUav>(ObjectKind::unordered_access_view, resource, desc, view_range(resource, desc), out_view);
    }

    HRESULT CreateRenderTargetView(ID3D11Resource *resource, const D3D11_RENDER_TARGET_VIEW_DESC *desc,
                                   ID3D11RenderTargetView **out_view) override
    {
        if (!out_view) return E_INVALIDARG;
        *out_view = nullptr;
        return make_view<HeadlessRtv>(ObjectKind::render_target_view, resource, desc, view_range(resource, desc), out_view);
    }

    HRESULT CreateDepthStencilView(ID3D11Resource *resource, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc,
                                   ID3D11DepthStencilView **out_view) override
    {
        if (!out_view) return E_INVALIDARG;
        *out_view = nullptr;
        return make_view<HeadlessDsv>(ObjectKind::depth_stencil_view, resource, desc, view_range(resource, desc), out_view);
    }

    HRESULT CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count, const void *bytecode,
                              SIZE_T length, ID3D11InputLayout **out_layout) override;

    template <class Interface>
    HRESULT make_shader(ObjectKind kind, const void *bytecode, SIZE_T length, Interface **out_shader)
    {
        if (!out_shader) return E_INVALIDARG;
        *out_shader = nullptr;
        if (!begin_create(kind)) return E_OUTOFMEMORY;
        auto *shader = new Child<Interface>(kind, this);
        const u8 *bytes = static_cast<const u8 *>(bytecode);
        shader->bytecode.assign(bytes, bytes + length);
        register_object(shader);
        *out_shader = shader;
        return S_OK;
    }

    HRESULT CreateVertexShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                               ID3D11VertexShader **out_shader) override
    {
        return make_shader(ObjectKind::vertex_shader, bytecode, length, out_shader);
    }
    HRESULT CreateGeometryShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                                 ID3D11GeometryShader **out_shader) override
    {
        return make_shader(ObjectKind::geometry_shader, bytecode, length, out_shader);
    }
    HRESULT CreatePixelShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                              ID3D11PixelShader **out_shader) override
    {
        return make_shader(ObjectKind::pixel_shader, bytecode, length, out_shader);
    }
    HRESULT CreateHullShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                             ID3D11HullShader **out_shader) override
    {
        return make_shader(ObjectKind::hull_shader, bytecode, length, out_shader);
    }
    HRESULT CreateDomainShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                               ID3D11DomainShader **out_shader) override
    {
        return make_shader(ObjectKind::domain_shader, bytecode, length, out_shader);
    }
    HRESULT CreateComputeShader(const void *bytecode, SIZE_T length, ID3D11ClassLinkage *,
                                ID3D11ComputeShader **out_shader) override
    {
        return make_shader(ObjectKind::compute_shader, bytecode, length, out_shader);
    }

    template <class State, class Desc, class Interface>
    HRESULT make_state(ObjectKind kind, const Desc *desc, Interface **out_state)
    {
        if (!out_state) return E_INVALIDARG;
        *out_state = nullptr;
        if (!begin_create(kind)) return E_OUTOFMEMORY;
        auto *state = new State(kind, this, *desc);
        state->description = bytes_of(*desc);
        register_object(state);
        *out_state = state;
        return S_OK;
    }

    HRESULT CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out_state) override;
    HRESULT CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc, ID3D11DepthStencilState **out_state) override;
    HRESULT CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out_state) override;
    HRESULT CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out_state) override;

    HRESULT CreateDeferredContext(UINT, ID3D11DeviceContext **out_context) override
    {
        if (!out_context) return E_INVALIDARG;
        *out_context = nullptr;
        if (!begin_create(ObjectKind::deferred_context)) return E_OUTOFMEMORY;
        *out_context = create_context(this, true);
        return S_OK;
    }

    D3D_FEATURE_LEVEL GetFeatureLevel() override { return level; }

    void GetImmediateContext(ID3D11DeviceContext **out_context) override
    {
        if (!out_context) return;
        *out_context = immediate;
        if (immediate) immediate->AddRef();
    }

    D3D_FEATURE_LEVEL level;
    u32 flags;
    bool journal;
    bool keep_texels;
    ID3D11DeviceContext *immediate = nullptr; // the device holds one reference
};

namespace {

template <class Interface, class Desc> class HeadlessState final : public Child<Interface> {
public:
    HeadlessState(ObjectKind kind, HeadlessDevice *device, const Desc &desc) : Child<Interface>(kind, device), desc(desc) {}
    void GetDesc(Desc *out_desc) override
    {
        if (out_desc) *out_desc = desc;
    }
    Desc desc;
};

class HeadlessDebug final : public Object<ID3D11Debug> {
public:
    explicit HeadlessDebug(HeadlessDevice *device) : Object(ObjectKind::debug, device) {}
    void *find_interface(REFIID riid) override
    {
        return riid == IID_ID3D11Debug ? self() : ObjectBase::find_interface(riid);
    }
};

class HeadlessInputLayout final : public Child<ID3D11InputLayout> {
public:
    explicit HeadlessInputLayout(HeadlessDevice *device) : Child(ObjectKind::input_layout, device) {}
};

void init_resource(ResourceData &data, DXGI_FORMAT format, u32 width, u32 height, u32 mips, u32 slices,
                   bool keep_texels)
{
    FormatLayout layout = format_layout(format);
    data.format = format;
    data.block_bytes = layout.block_bytes;
    data.block_size = layout.block_size;
    data.mip_levels = mips;
    data.array_size = slices;
    for (u32 slice = 0; slice < slices; ++slice) {
        for (u32 mip = 0; mip < mips; ++mip) {
            ResourceData::Subresource sub;
            sub.width = width >> mip ? width >> mip : 1;
            sub.height = height >> mip ? height >> mip : 1;
            u32 blocks_wide = (sub.width + layout.block_size - 1) / layout.block_size;
            sub.rows = (sub.height + layout.block_size - 1) / layout.block_size;
            sub.row_pitch = blocks_wide * layout.block_bytes;
            if (keep_texels) {
                sub.bytes.assign(static_cast<size_t>(sub.row_pitch) * sub.rows, 0);
                count_storage(i64(sub.bytes.size()));
            }
            data.subresources.push_back(std::move(sub));
        }
    }
}

u32 full_mip_count(u32 width, u32 height)
{
    u32 largest = width > height ? width : height;
    u32 count = 1;
    while (largest > 1) {
        largest >>= 1;
        ++count;
    }
    return count;
}

} // namespace

ID3D11Debug *HeadlessDevice::make_debug()
{
    auto *debug = new HeadlessDebug(this);
    begin_create(ObjectKind::debug);
    register_object(debug);
    return debug;
}

HRESULT HeadlessDevice::CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elements, UINT element_count,
                                          const void *bytecode, SIZE_T length, ID3D11InputLayout **out_layout)
{
    if (!out_layout) return E_INVALIDARG;
    *out_layout = nullptr;
    if (!begin_create(ObjectKind::input_layout)) return E_OUTOFMEMORY;
    auto *layout = new HeadlessInputLayout(this);
    for (UINT i = 0; i < element_count; ++i) {
        D3D11_INPUT_ELEMENT_DESC element = elements[i];
        layout->semantics.push_back(element.SemanticName ? element.SemanticName : "");
        element.SemanticName = nullptr; // the text is kept in `semantics`
        std::vector<u8> bytes = bytes_of(element);
        layout->description.insert(layout->description.end(), bytes.begin(), bytes.end());
    }
    const u8 *code = static_cast<const u8 *>(bytecode);
    layout->bytecode.assign(code, code + length);
    register_object(layout);
    *out_layout = layout;
    return S_OK;
}

HRESULT HeadlessDevice::CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **out_state)
{
    return make_state<HeadlessState<ID3D11BlendState, D3D11_BLEND_DESC>>(ObjectKind::blend_state, desc, out_state);
}
HRESULT HeadlessDevice::CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc,
                                                ID3D11DepthStencilState **out_state)
{
    return make_state<HeadlessState<ID3D11DepthStencilState, D3D11_DEPTH_STENCIL_DESC>>(
        ObjectKind::depth_stencil_state, desc, out_state);
}
HRESULT HeadlessDevice::CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **out_state)
{
    return make_state<HeadlessState<ID3D11RasterizerState, D3D11_RASTERIZER_DESC>>(ObjectKind::rasterizer_state,
                                                                                   desc, out_state);
}
HRESULT HeadlessDevice::CreateSamplerState(const D3D11_SAMPLER_DESC *desc, ID3D11SamplerState **out_state)
{
    return make_state<HeadlessState<ID3D11SamplerState, D3D11_SAMPLER_DESC>>(ObjectKind::sampler_state, desc,
                                                                             out_state);
}

// ---- Resources -----------------------------------------------------------------------

template <class Interface> void Child<Interface>::GetDevice(ID3D11Device **out_device)
{
    if (!out_device) return;
    *out_device = this->device;
    if (this->device) this->device->AddRef();
}
template class Child<ID3D11Buffer>;
template class Child<ID3D11Texture2D>;
template class Child<ID3D11ShaderResourceView>;
template class Child<ID3D11RenderTargetView>;
template class Child<ID3D11DepthStencilView>;
template class Child<ID3D11UnorderedAccessView>;
template class Child<ID3D11RasterizerState>;
template class Child<ID3D11DepthStencilState>;
template class Child<ID3D11BlendState>;
template class Child<ID3D11SamplerState>;
template class Child<ID3D11VertexShader>;
template class Child<ID3D11HullShader>;
template class Child<ID3D11DomainShader>;
template class Child<ID3D11GeometryShader>;
template class Child<ID3D11PixelShader>;
template class Child<ID3D11ComputeShader>;
template class Child<ID3D11InputLayout>;
template class Child<ID3D11CommandList>;
template class Child<ID3D11DeviceContext>;

HeadlessBuffer::HeadlessBuffer(HeadlessDevice *device, const D3D11_BUFFER_DESC &desc)
    : Child(ObjectKind::buffer, device), desc(desc)
{
    description = bytes_of(desc);
    data.is_buffer = true;
    data.usage = desc.Usage;
    data.bind_flags = desc.BindFlags;
    data.cpu_access = desc.CPUAccessFlags;
    if (desc.MiscFlags & D3D11_RESOURCE_MISC_BUFFER_STRUCTURED) data.structure_stride = desc.StructureByteStride;
    ResourceData::Subresource sub;
    sub.width = desc.ByteWidth;
    sub.row_pitch = desc.ByteWidth;
    if (device_keeps_texels(device)) {
        sub.bytes.assign(desc.ByteWidth, 0);
        count_storage(i64(sub.bytes.size()));
    }
    data.subresources.push_back(std::move(sub));
}
void HeadlessBuffer::GetType(D3D11_RESOURCE_DIMENSION *out_dimension)
{
    if (out_dimension) *out_dimension = D3D11_RESOURCE_DIMENSION_BUFFER;
}
void HeadlessBuffer::GetDesc(D3D11_BUFFER_DESC *out_desc)
{
    if (out_desc) *out_desc = desc;
}
void *HeadlessBuffer::find_interface(REFIID riid)
{
    if (riid == IID_ID3D11Buffer || riid == IID_ID3D11Resource) return self();
    return ObjectBase::find_interface(riid);
}
void HeadlessBuffer::on_final_release()
{
    std::lock_guard lock(data.bytes_mutex);
    for (auto &sub : data.subresources) {
        count_storage(-i64(sub.bytes.size()));
        std::vector<u8>().swap(sub.bytes);
    }
}

HeadlessTexture2D::HeadlessTexture2D(HeadlessDevice *device, const D3D11_TEXTURE2D_DESC &desc)
    : Child(ObjectKind::texture2d, device), desc(desc)
{
    if (this->desc.MipLevels == 0) this->desc.MipLevels = full_mip_count(desc.Width, desc.Height);
    description = bytes_of(desc);
    data.usage = desc.Usage;
    data.bind_flags = desc.BindFlags;
    data.cpu_access = desc.CPUAccessFlags;
    data.sample_count = desc.SampleDesc.Count ? desc.SampleDesc.Count : 1;
    data.is_cube = (desc.MiscFlags & D3D11_RESOURCE_MISC_TEXTURECUBE) != 0;
    init_resource(data, desc.Format, desc.Width, desc.Height, this->desc.MipLevels, desc.ArraySize,
                  device_keeps_texels(device));
}
void HeadlessTexture2D::GetType(D3D11_RESOURCE_DIMENSION *out_dimension)
{
    if (out_dimension) *out_dimension = D3D11_RESOURCE_DIMENSION_TEXTURE2D;
}
void HeadlessTexture2D::GetDesc(D3D11_TEXTURE2D_DESC *out_desc)
{
    if (out_desc) *out_desc = desc;
}
void *HeadlessTexture2D::find_interface(REFIID riid)
{
    if (riid == IID_ID3D11Texture2D || riid == IID_ID3D11Resource) return self();
    return ObjectBase::find_interface(riid);
}
void HeadlessTexture2D::on_final_release()
{
    std::lock_guard lock(data.bytes_mutex);
    for (auto &sub : data.subresources) {
        count_storage(-i64(sub.bytes.size()));
        std::vector<u8>().swap(sub.bytes);
    }
}

HeadlessTexture2D *create_back_buffer(HeadlessDevice *device, const D3D11_TEXTURE2D_DESC &desc)
{
    begin_create(ObjectKind::texture2d);
    auto *texture = new HeadlessTexture2D(device, desc);
    texture->owned_by_swap_chain = true;
    texture->refs.store(0);
    register_object(texture);
    return texture;
}

ObjectBase *resource_object(ID3D11Resource *resource)
{
    ObjectBase *object = find_object(resource);
    if (!object || (object->kind != ObjectKind::buffer && object->kind != ObjectKind::texture2d)) return nullptr;
    return object;
}

ResourceData *resource_data_of(ObjectBase *object)
{
    if (!object) return nullptr;
    if (object->kind == ObjectKind::buffer) return &static_cast<HeadlessBuffer *>(object)->data;
    if (object->kind == ObjectKind::texture2d) return &static_cast<HeadlessTexture2D *>(object)->data;
    return nullptr;
}

ResourceData *resource_data(ID3D11Resource *resource) { return resource_data_of(find_object(resource)); }

template <class Interface, class Desc> void HeadlessView<Interface, Desc>::GetResource(ID3D11Resource **out_resource)
{
    if (!out_resource) return;
    *out_resource = static_cast<ID3D11Resource *>(this->range.resource->self());
    this->range.resource->add_ref();
}
template <class Interface, class Desc> void HeadlessView<Interface, Desc>::on_final_release()
{
    range.resource->release();
}
template class HeadlessView<ID3D11ShaderResourceView, D3D11_SHADER_RESOURCE_VIEW_DESC>;
template class HeadlessView<ID3D11RenderTargetView, D3D11_RENDER_TARGET_VIEW_DESC>;
template class HeadlessView<ID3D11DepthStencilView, D3D11_DEPTH_STENCIL_VIEW_DESC>;
template class HeadlessView<ID3D11UnorderedAccessView, D3D11_UNORDERED_ACCESS_VIEW_DESC>;

const ViewRange *view_range_of(ObjectBase *object)
{
    if (!object) return nullptr;
    switch (object->kind) {
    case ObjectKind::shader_resource_view: return &static_cast<HeadlessSrv *>(object)->range;
    case ObjectKind::render_target_view: return &static_cast<HeadlessRtv *>(object)->range;
    case ObjectKind::depth_stencil_view: return &static_cast<HeadlessDsv *>(object)->range;
    case ObjectKind::unordered_access_view: return &static_cast<HeadlessUav *>(object)->range;
    default: return nullptr;
    }
}

std::vector<u8> headless_resource_bytes(ID3D11Resource *resource, UINT subresource)
{
    ResourceData *data = resource_data(resource);
    if (!data) return {};
    std::lock_guard lock(data->bytes_mutex);
    if (subresource >= data->subresources.size()) return {};
    return data->subresources[subresource].bytes;
}

// ---- Device ----------------------------------------------------------------------------

D3D_FEATURE_LEVEL device_feature_level(HeadlessDevice *device) { return device->level; }
bool device_journal_enabled(HeadlessDevice *device) { return device->journal; }
bool device_keeps_texels(HeadlessDevice *device) { return !device || device->keep_texels; }
ID3D11Device *device_interface(HeadlessDevice *device) { return device; }

HRESULT headless_create_device(IDXGIAdapter *adapter, D3D_DRIVER_TYPE driver_type, HMODULE, UINT flags,
                               const D3D_FEATURE_LEVEL *levels, UINT level_count, UINT sdk_version,
                               ID3D11Device **out_device, D3D_FEATURE_LEVEL *out_level,
                               ID3D11DeviceContext **out_context)
{
    if (out_device) *out_device = nullptr;
    if (out_context) *out_context = nullptr;
    static const D3D_FEATURE_LEVEL all_levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                                   D3D_FEATURE_LEVEL_10_0, D3D_FEATURE_LEVEL_9_3,
                                                   D3D_FEATURE_LEVEL_9_2, D3D_FEATURE_LEVEL_9_1};
    if (!levels) {
        levels = all_levels;
        level_count = 6;
    }
    DeviceCreationRecord record;
    record.adapter = object_id(adapter);
    record.driver_type = driver_type;
    record.flags = flags;
    record.sdk_version = sdk_version;
    record.levels.assign(levels, levels + level_count);

    HeadlessConfig config = current_config();
    record.result = S_OK;
    if (sdk_version != D3D11_SDK_VERSION || (adapter && driver_type != D3D_DRIVER_TYPE_UNKNOWN)) {
        record.result = E_INVALIDARG;
    } else if (!adapter && config.adapters.empty()) {
        record.result = E_FAIL;
    } else if (!begin_create(ObjectKind::device)) {
        record.result = E_FAIL;
    } else {
        UINT chosen = level_count;
        for (UINT i = 0; i < level_count && chosen == level_count; ++i)
            if (levels[i] <= config.max_feature_level) chosen = i;
        if (chosen == level_count) record.result = E_INVALIDARG;
        else record.granted = levels[chosen];
    }
    set_last_device_creation(record);
    if (FAILED(record.result)) return record.result;

    auto *device = new DeviceFront<HeadlessDevice>(record.granted, flags, config.journal, config.keep_texels);
    device->description = bytes_of(flags);
    register_object(device);
    begin_create(ObjectKind::immediate_context);
    device->immediate = create_context(device, false);
    if (out_level) *out_level = record.granted;
    if (out_context) {
        device->immediate->AddRef();
        *out_context = device->immediate;
    }
    if (out_device) *out_device = device;
    else device->Release();
    return S_OK;
}

} // namespace tallow::d3d11

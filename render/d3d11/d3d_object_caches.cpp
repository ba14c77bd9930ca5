#include "render/d3d11/d3d_object_caches.h"

#include "foundation/log.h"

#include <cstring>
#include <type_traits>

namespace tallow::render::d3d11 {
namespace {

template <typename T> int order_of(const T &a, const T &b)
{
    if constexpr (std::is_floating_point_v<T>) {
        if (a < b)
            return -1;
        if (b < a)
            return 1;
        // Equal values (0 and -0 included) are one key; NaNs order by their bits so the
        // map keeps a strict order whatever a description holds.
        if (a == b)
            return 0;
        u32 bits_a, bits_b;
        memcpy(&bits_a, &a, 4);
        memcpy(&bits_b, &b, 4);
        return (bits_b < bits_a) - (bits_a < bits_b);
    } else if constexpr (std::is_enum_v<T>) {
        using U = std::underlying_type_t<T>;
        return order_of(U(a), U(b));
    } else {
        return (b < a) - (a < b);
    }
}

// Compares the listed fields in order; the first difference decides.
#define TALLOW_ORDER_FIELD(field)                                                                                     \
    if (int order = order_of(a.field, b.field))                                                                        \
        return order;

int compare_stencil_op(const D3D11_DEPTH_STENCILOP_DESC &a, const D3D11_DEPTH_STENCILOP_DESC &b)
{
    TALLOW_ORDER_FIELD(StencilFailOp)
    TALLOW_ORDER_FIELD(StencilDepthFailOp)
    TALLOW_ORDER_FIELD(StencilPassOp)
    TALLOW_ORDER_FIELD(StencilFunc)
    return 0;
}

int compare_target_blend(const D3D11_RENDER_TARGET_BLEND_DESC &a, const D3D11_RENDER_TARGET_BLEND_DESC &b)
{
    TALLOW_ORDER_FIELD(BlendEnable)
    TALLOW_ORDER_FIELD(SrcBlend)
    TALLOW_ORDER_FIELD(DestBlend)
    TALLOW_ORDER_FIELD(BlendOp)
    TALLOW_ORDER_FIELD(SrcBlendAlpha)
    TALLOW_ORDER_FIELD(DestBlendAlpha)
    TALLOW_ORDER_FIELD(BlendOpAlpha)
    TALLOW_ORDER_FIELD(RenderTargetWriteMask)
    return 0;
}

int compare_bytes(const u8 *a, u32 size_a, const u8 *b, u32 size_b)
{
    u32 common = size_a < size_b ? size_a : size_b;
    for (u32 i = 0; i < common; ++i) {
        i8 x = i8(a[i]), y = i8(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return (size_b < size_a) - (size_a < size_b);
}

int compare_elements(const D3D11_INPUT_ELEMENT_DESC *a, u32 count_a, const D3D11_INPUT_ELEMENT_DESC *b, u32 count_b)
{
    u32 common = count_a < count_b ? count_a : count_b;
    for (u32 i = 0; i < common; ++i)
        if (int order = compare_desc(a[i], b[i]))
            return order;
    return (count_b < count_a) - (count_a < count_b);
}

} // namespace

int compare_desc(const D3D11_RASTERIZER_DESC &a, const D3D11_RASTERIZER_DESC &b)
{
    TALLOW_ORDER_FIELD(FillMode)
    TALLOW_ORDER_FIELD(CullMode)
    TALLOW_ORDER_FIELD(FrontCounterClockwise)
    TALLOW_ORDER_FIELD(DepthBias)
    TALLOW_ORDER_FIELD(DepthBiasClamp)
    TALLOW_ORDER_FIELD(SlopeScaledDepthBias)
    TALLOW_ORDER_FIELD(DepthClipEnable)
    TALLOW_ORDER_FIELD(ScissorEnable)
    TALLOW_ORDER_FIELD(MultisampleEnable)
    TALLOW_ORDER_FIELD(AntialiasedLineEnable)
    return 0;
}

int compare_desc(const D3D11_DEPTH_STENCIL_DESC &a, const D3D11_DEPTH_STENCIL_DESC &b)
{
    TALLOW_ORDER_FIELD(DepthEnable)
    TALLOW_ORDER_FIELD(DepthWriteMask)
    TALLOW_ORDER_FIELD(DepthFunc)
    TALLOW_ORDER_FIELD(StencilEnable)
    TALLOW_ORDER_FIELD(StencilReadMask)
    TALLOW_ORDER_FIELD(StencilWriteMask)
    if (int order = compare_stencil_op(a.FrontFace, b.FrontFace))
        return order;
    return compare_stencil_op(a.BackFace, b.BackFace);
}

int compare_desc(const D3D11_BLEND_DESC &a, const D3D11_BLEND_DESC &b)
{
    TALLOW_ORDER_FIELD(AlphaToCoverageEnable)
    TALLOW_ORDER_FIELD(IndependentBlendEnable)
    for (u32 i = 0; i < 8; ++i)
        if (int order = compare_target_blend(a.RenderTarget[i], b.RenderTarget[i]))
            return order;
    return 0;
}

int compare_desc(const D3D11_SAMPLER_DESC &a, const D3D11_SAMPLER_DESC &b)
{
    TALLOW_ORDER_FIELD(Filter)
    TALLOW_ORDER_FIELD(AddressU)
    TALLOW_ORDER_FIELD(AddressV)
    TALLOW_ORDER_FIELD(AddressW)
    TALLOW_ORDER_FIELD(MipLODBias)
    TALLOW_ORDER_FIELD(MaxAnisotropy)
    TALLOW_ORDER_FIELD(ComparisonFunc)
    TALLOW_ORDER_FIELD(BorderColor[0])
    TALLOW_ORDER_FIELD(BorderColor[1])
    TALLOW_ORDER_FIELD(BorderColor[2])
    TALLOW_ORDER_FIELD(BorderColor[3])
    TALLOW_ORDER_FIELD(MinLOD)
    TALLOW_ORDER_FIELD(MaxLOD)
    return 0;
}

int compare_desc(const D3D11_INPUT_ELEMENT_DESC &a, const D3D11_INPUT_ELEMENT_DESC &b)
{
    // Names compare as text: equal names from different places are one semantic.
    if (int order = strcmp(a.SemanticName ? a.SemanticName : "", b.SemanticName ? b.SemanticName : ""))
        return order < 0 ? -1 : 1;
    TALLOW_ORDER_FIELD(SemanticIndex)
    TALLOW_ORDER_FIELD(Format)
    TALLOW_ORDER_FIELD(InputSlot)
    TALLOW_ORDER_FIELD(AlignedByteOffset)
    TALLOW_ORDER_FIELD(InputSlotClass)
    TALLOW_ORDER_FIELD(InstanceDataStepRate)
    return 0;
}

#undef TALLOW_ORDER_FIELD

int ByteCodeOrder::compare(const Array<u8> &a, const ByteSpan &b) { return compare_bytes(a.data(), a.size(), b.data, b.size); }

int ByteCodeOrder::compare(const Array<u8> &a, const Array<u8> &b)
{
    return compare_bytes(a.data(), a.size(), b.data(), b.size());
}

void ByteCodeOrder::assign(Array<u8> &key, const ByteSpan &from)
{
    key.resize(from.size);
    if (key.size() == from.size && from.size)
        memcpy(key.data(), from.data, from.size);
}

int InputLayoutOrder::compare(const InputLayoutKey &a, const InputLayoutQuery &b)
{
    if (int order = compare_bytes(a.code.data(), a.code.size(), b.code.data, b.code.size))
        return order;
    return compare_elements(a.elements.data(), a.elements.size(), b.elements, b.element_count);
}

int InputLayoutOrder::compare(const InputLayoutKey &a, const InputLayoutKey &b)
{
    if (int order = compare_bytes(a.code.data(), a.code.size(), b.code.data(), b.code.size()))
        return order;
    return compare_elements(a.elements.data(), a.elements.size(), b.elements.data(), b.elements.size());
}

void InputLayoutOrder::assign(InputLayoutKey &key, const InputLayoutQuery &from)
{
    ByteCodeOrder::assign(key.code, from.code);
    key.elements.resize(from.element_count);
    if (key.elements.size() == from.element_count && from.element_count)
        memcpy(key.elements.data(), from.elements, sizeof(D3D11_INPUT_ELEMENT_DESC) * from.element_count);
}

D3DObjectCaches::D3DObjectCaches(Allocator &allocator, ID3D11Device *device, D3D_FEATURE_LEVEL feature_level)
    : _allocator(allocator), _device(device), _feature_level(feature_level), _rasterizer_states(allocator),
      _depth_stencil_states(allocator), _blend_states(allocator), _sampler_states(allocator),
      _vertex_shaders(allocator), _hull_shaders(allocator), _domain_shaders(allocator), _geometry_shaders(allocator),
      _pixel_shaders(allocator), _compute_shaders(allocator), _input_layouts(allocator)
{
}

// The maps' destructors free their entries, whose holders release what they own.
D3DObjectCaches::~D3DObjectCaches() = default;

namespace {

template <typename Map, typename Desc, typename Create> auto get_state(Map &map, const Desc &desc, Create create)
{
    auto at = map.find(desc);
    if (at != map.end())
        return at->value.get();
    at = map.find_or_insert(desc);
    if (at == map.end())
        return decltype(at->value.get())(nullptr);
    create(at->value.put());
    return at->value.get();
}

} // namespace

ID3D11RasterizerState *D3DObjectCaches::get_rasterizer_state(const D3D11_RASTERIZER_DESC &desc)
{
    return get_state(_rasterizer_states, desc,
                     [&](ID3D11RasterizerState **out) { _device->CreateRasterizerState(&desc, out); });
}

ID3D11DepthStencilState *D3DObjectCaches::get_depth_stencil_state(const D3D11_DEPTH_STENCIL_DESC &desc)
{
    return get_state(_depth_stencil_states, desc,
                     [&](ID3D11DepthStencilState **out) { _device->CreateDepthStencilState(&desc, out); });
}

ID3D11BlendState *D3DObjectCaches::get_blend_state(const D3D11_BLEND_DESC &desc)
{
    return get_state(_blend_states, desc, [&](ID3D11BlendState **out) { _device->CreateBlendState(&desc, out); });
}

ID3D11SamplerState *D3DObjectCaches::get_sampler_state(const D3D11_SAMPLER_DESC &desc)
{
    return get_state(_sampler_states, desc,
                     [&](ID3D11SamplerState **out) { _device->CreateSamplerState(&desc, out); });
}

template <typename T, typename Create>
T *D3DObjectCaches::get_shader(ShaderMap<T> &map, const void *code, u32 size, Create create)
{
    if (!code || size == 0)
        return nullptr;
    ByteSpan key{static_cast<const u8 *>(code), size};
    auto at = map.find(key);
    if (at != map.end()) {
        ++at->value.count;
        return at->value.holder.get();
    }
    OwnedComPtr<T> holder;
    if (FAILED(create(code, size, holder.put())) || !holder)
        return nullptr;
    at = map.find_or_insert(key);
    if (at == map.end())
        return nullptr; // holder releases the new shader
    at->value.holder = std::move(holder);
    at->value.count = 1;
    return at->value.holder.get();
}

template <typename T> void D3DObjectCaches::release_shader(ShaderMap<T> &map, T *shader)
{
    if (!shader)
        return;
    for (auto at = map.begin(); at != map.end(); ++at) {
        if (at->value.holder.get() != shader)
            continue;
        if (--at->value.count == 0) {
            // Copy the key out: erase looks it up again while the entry moves.
            Array<u8> key(at->key);
            map.erase(key);
        }
        return;
    }
}

template <typename T> u32 D3DObjectCaches::users_in(const ShaderMap<T> &map, const void *shader)
{
    for (auto at = map.begin(); at != map.end(); ++at)
        if (at->value.holder.get() == shader)
            return at->value.count;
    return 0;
}

ID3D11VertexShader *D3DObjectCaches::get_vertex_shader(const void *code, u32 size)
{
    return get_shader(_vertex_shaders, code, size, [&](const void *c, u32 n, ID3D11VertexShader **out) {
        return _device->CreateVertexShader(c, n, nullptr, out);
    });
}

ID3D11HullShader *D3DObjectCaches::get_hull_shader(const void *code, u32 size)
{
    if (_feature_level < D3D_FEATURE_LEVEL_11_0)
        return nullptr;
    return get_shader(_hull_shaders, code, size, [&](const void *c, u32 n, ID3D11HullShader **out) {
        return _device->CreateHullShader(c, n, nullptr, out);
    });
}

ID3D11DomainShader *D3DObjectCaches::get_domain_shader(const void *code, u32 size)
{
    if (_feature_level < D3D_FEATURE_LEVEL_11_0)
        return nullptr;
    return get_shader(_domain_shaders, code, size, [&](const void *c, u32 n, ID3D11DomainShader **out) {
        return _device->CreateDomainShader(c, n, nullptr, out);
    });
}

ID3D11GeometryShader *D3DObjectCaches::get_geometry_shader(const void *code, u32 size)
{
    if (_feature_level < D3D_FEATURE_LEVEL_10_0)
        return nullptr;
    return get_shader(_geometry_shaders, code, size, [&](const void *c, u32 n, ID3D11GeometryShader **out) {
        return _device->CreateGeometryShader(c, n, nullptr, out);
    });
}

ID3D11PixelShader *D3DObjectCaches::get_pixel_shader(const void *code, u32 size)
{
    return get_shader(_pixel_shaders, code, size, [&](const void *c, u32 n, ID3D11PixelShader **out) {
        return _device->CreatePixelShader(c, n, nullptr, out);
    });
}

ID3D11ComputeShader *D3DObjectCaches::get_compute_shader(const void *code, u32 size)
{
    if (_feature_level < D3D_FEATURE_LEVEL_10_0)
        return nullptr;
    return get_shader(_compute_shaders, code, size, [&](const void *c, u32 n, ID3D11ComputeShader **out) {
        return _device->CreateComputeShader(c, n, nullptr, out);
    });
}

void D3DObjectCaches::release_vertex_shader(ID3D11VertexShader *shader) { release_shader(_vertex_shaders, shader); }
void D3DObjectCaches::release_hull_shader(ID3D11HullShader *shader) { release_shader(_hull_shaders, shader); }
void D3DObjectCaches::release_domain_shader(ID3D11DomainShader *shader) { release_shader(_domain_shaders, shader); }
void D3DObjectCaches::release_geometry_shader(ID3D11GeometryShader *shader)
{
    release_shader(_geometry_shaders, shader);
}
void D3DObjectCaches::release_pixel_shader(ID3D11PixelShader *shader) { release_shader(_pixel_shaders, shader); }
void D3DObjectCaches::release_compute_shader(ID3D11ComputeShader *shader)
{
    release_shader(_compute_shaders, shader);
}

ID3D11InputLayout *D3DObjectCaches::get_input_layout(const void *vertex_code, u32 vertex_code_size,
                                                     const D3D11_INPUT_ELEMENT_DESC *elements, u32 element_count)
{
    InputLayoutQuery query{{static_cast<const u8 *>(vertex_code), vertex_code ? vertex_code_size : 0}, elements,
                           elements ? element_count : 0};
    std::lock_guard<std::mutex> lock(_input_layout_mutex);
    auto at = _input_layouts.find(query);
    if (at != _input_layouts.end()) {
        ++at->value.count;
        return at->value.holder.get();
    }
    at = _input_layouts.find_or_insert(query);
    if (at == _input_layouts.end())
        return nullptr;
    _device->CreateInputLayout(query.elements, query.element_count, query.code.data, query.code.size,
                               at->value.holder.put());
    at->value.count = 1;
    return at->value.holder.get();
}

void D3DObjectCaches::release_input_layout(ID3D11InputLayout *layout)
{
    std::lock_guard<std::mutex> lock(_input_layout_mutex);
    for (auto at = _input_layouts.begin(); at != _input_layouts.end(); ++at) {
        if (at->value.holder.get() != layout)
            continue;
        if (--at->value.count == 0) {
            InputLayoutKey key(_allocator);
            key.code = at->key.code;
            key.elements = at->key.elements;
            _input_layouts.erase(key);
        }
        return;
    }
}

u32 D3DObjectCaches::state_count() const
{
    return _rasterizer_states.size() + _depth_stencil_states.size() + _blend_states.size() + _sampler_states.size();
}

u32 D3DObjectCaches::shader_count() const
{
    return _vertex_shaders.size() + _hull_shaders.size() + _domain_shaders.size() + _geometry_shaders.size() +
           _pixel_shaders.size() + _compute_shaders.size();
}

u32 D3DObjectCaches::input_layout_count()
{
    std::lock_guard<std::mutex> lock(_input_layout_mutex);
    return _input_layouts.size();
}

u32 D3DObjectCaches::shader_users(const void *shader) const
{
    if (!shader)
        return 0;
    u32 users = users_in(_vertex_shaders, shader) + users_in(_hull_shaders, shader) +
                users_in(_domain_shaders, shader) + users_in(_geometry_shaders, shader) +
                users_in(_pixel_shaders, shader) + users_in(_compute_shaders, shader);
    return users;
}

u32 D3DObjectCaches::input_layout_users(ID3D11InputLayout *layout)
{
    std::lock_guard<std::mutex> lock(_input_layout_mutex);
    for (auto at = _input_layouts.begin(); at != _input_layouts.end(); ++at)
        if (at->value.holder.get() == layout)
            return at->value.count;
    return 0;
}

} // namespace tallow::render::d3d11

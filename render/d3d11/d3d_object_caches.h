#pragma once
// Direct3D objects that are immutable and asked for many times with equal descriptions:
// the rasterizer, depth-stencil, blend and sampler states, the six kinds of shader and
// the input layouts. Each is made once per creation input and shared.
//
//   D3DObjectCaches caches(allocator, device, feature_level);
//   ID3D11RasterizerState *rs = caches.get_rasterizer_state(desc);   // shared, no AddRef
//   ID3D11VertexShader *vs = caches.get_vertex_shader(code, size);   // one more user
//   ...
//   caches.release_vertex_shader(vs);                                // one user fewer
//
// States are kept until the caches go (a failed creation stays cached as null). Shaders
// and input layouts are reference counted and released with their last user; a failed
// shader creation is not cached, so the next request tries again. Keys are compared
// field by field (never as raw bytes, so padding cannot split equal descriptions), shader
// keys by their byte code, input-layout keys by a private copy of the vertex byte code and
// the element list with semantic names compared as text.
//
// Threads: the input-layout calls may come from any thread (draw jobs); everything else
// belongs to the render thread.

#include "foundation/containers/array.h"
#include "foundation/containers/ordered_map.h"
#include "foundation/memory/allocator.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/owned_com_ptr.h"

#include <mutex>

namespace tallow::render::d3d11 {

/// Key orders of the caches, field by field in the descriptions' declaration order.
int compare_desc(const D3D11_RASTERIZER_DESC &a, const D3D11_RASTERIZER_DESC &b);
int compare_desc(const D3D11_DEPTH_STENCIL_DESC &a, const D3D11_DEPTH_STENCIL_DESC &b);
int compare_desc(const D3D11_BLEND_DESC &a, const D3D11_BLEND_DESC &b);
int compare_desc(const D3D11_SAMPLER_DESC &a, const D3D11_SAMPLER_DESC &b);
int compare_desc(const D3D11_INPUT_ELEMENT_DESC &a, const D3D11_INPUT_ELEMENT_DESC &b);

/// A byte range used to look up by byte code without copying it.
struct ByteSpan {
    const u8 *data;
    u32 size;
};

struct DescOrder {
    template <typename D> static int compare(const D &a, const D &b) { return compare_desc(a, b); }
    template <typename D> static void assign(D &key, const D &from) { key = from; }
};

/// Byte code ordered as signed bytes, a proper prefix first.
struct ByteCodeOrder {
    static int compare(const Array<u8> &a, const ByteSpan &b);
    static int compare(const Array<u8> &a, const Array<u8> &b);
    static void assign(Array<u8> &key, const ByteSpan &from);
};

template <typename T> struct CountedEntry {
    OwnedComPtr<T> holder;
    u32 count = 0;
};

/// Input-layout key: a copy of the vertex byte code and the element list.
struct InputLayoutKey {
    Array<u8> code;
    Array<D3D11_INPUT_ELEMENT_DESC> elements;
    explicit InputLayoutKey(Allocator &allocator) : code(allocator), elements(allocator) {}
};

struct InputLayoutQuery {
    ByteSpan code;
    const D3D11_INPUT_ELEMENT_DESC *elements;
    u32 element_count;
};

struct InputLayoutOrder {
    static int compare(const InputLayoutKey &a, const InputLayoutQuery &b);
    static int compare(const InputLayoutKey &a, const InputLayoutKey &b);
    static void assign(InputLayoutKey &key, const InputLayoutQuery &from);
};

class D3DObjectCaches {
  public:
    /// `device` must outlive the caches. Nothing is created until asked for.
    D3DObjectCaches(Allocator &allocator, ID3D11Device *device, D3D_FEATURE_LEVEL feature_level);
    /// Releases every interface still cached.
    ~D3DObjectCaches();
    D3DObjectCaches(const D3DObjectCaches &) = delete;
    D3DObjectCaches &operator=(const D3DObjectCaches &) = delete;

    /// The cached state for the description (created on first request); null when its
    /// creation failed. No reference is added: the caches keep it until they go.
    ID3D11RasterizerState *get_rasterizer_state(const D3D11_RASTERIZER_DESC &desc);
    ID3D11DepthStencilState *get_depth_stencil_state(const D3D11_DEPTH_STENCIL_DESC &desc);
    ID3D11BlendState *get_blend_state(const D3D11_BLEND_DESC &desc);
    ID3D11SamplerState *get_sampler_state(const D3D11_SAMPLER_DESC &desc);

    /// The shader for the byte code, with one more user counted; null when the creation
    /// failed or the feature level does not allow the stage (hull and domain need 11_0,
    /// geometry and compute 10_0).
    ID3D11VertexShader *get_vertex_shader(const void *code, u32 size);
    ID3D11HullShader *get_hull_shader(const void *code, u32 size);
    ID3D11DomainShader *get_domain_shader(const void *code, u32 size);
    ID3D11GeometryShader *get_geometry_shader(const void *code, u32 size);
    ID3D11PixelShader *get_pixel_shader(const void *code, u32 size);
    ID3D11ComputeShader *get_compute_shader(const void *code, u32 size);

    /// Drops one user of the shader; the last one releases it. Unknown pointers are ignored.
    void release_vertex_shader(ID3D11VertexShader *shader);
    void release_hull_shader(ID3D11HullShader *shader);
    void release_domain_shader(ID3D11DomainShader *shader);
    void release_geometry_shader(ID3D11GeometryShader *shader);
    void release_pixel_shader(ID3D11PixelShader *shader);
    void release_compute_shader(ID3D11ComputeShader *shader);

    /// The input layout joining the elements to the vertex byte code, one more user
    /// counted (a failed creation is cached as null and counted too). Any thread.
    ID3D11InputLayout *get_input_layout(const void *vertex_code, u32 vertex_code_size,
                                        const D3D11_INPUT_ELEMENT_DESC *elements, u32 element_count);
    /// Drops one user of the layout; the last one releases it. Any thread.
    void release_input_layout(ID3D11InputLayout *layout);

    /// Numbers of cached entries, for tests and statistics.
    u32 state_count() const;
    u32 shader_count() const;
    u32 input_layout_count();
    /// Users of a cached shader or layout (0 when it is not cached).
    u32 shader_users(const void *shader) const;
    u32 input_layout_users(ID3D11InputLayout *layout);

    D3D_FEATURE_LEVEL feature_level() const { return _feature_level; }

  private:
    template <typename T> using ShaderMap = OrderedMap<Array<u8>, CountedEntry<T>, ByteCodeOrder>;
    template <typename T, typename Create> T *get_shader(ShaderMap<T> &map, const void *code, u32 size, Create create);
    template <typename T> void release_shader(ShaderMap<T> &map, T *shader);
    template <typename T> static u32 users_in(const ShaderMap<T> &map, const void *shader);

    Allocator &_allocator;
    ID3D11Device *_device;
    D3D_FEATURE_LEVEL _feature_level;

    OrderedMap<D3D11_RASTERIZER_DESC, OwnedComPtr<ID3D11RasterizerState>, DescOrder> _rasterizer_states;
    OrderedMap<D3D11_DEPTH_STENCIL_DESC, OwnedComPtr<ID3D11DepthStencilState>, DescOrder> _depth_stencil_states;
    OrderedMap<D3D11_BLEND_DESC, OwnedComPtr<ID3D11BlendState>, DescOrder> _blend_states;
    OrderedMap<D3D11_SAMPLER_DESC, OwnedComPtr<ID3D11SamplerState>, DescOrder> _sampler_states;
    ShaderMap<ID3D11VertexShader> _vertex_shaders;
    ShaderMap<ID3D11HullShader> _hull_shaders;
    ShaderMap<ID3D11DomainShader> _domain_shaders;
    ShaderMap<ID3D11GeometryShader> _geometry_shaders;
    ShaderMap<ID3D11PixelShader> _pixel_shaders;
    ShaderMap<ID3D11ComputeShader> _compute_shaders;

    std::mutex _input_layout_mutex;
    OrderedMap<InputLayoutKey, CountedEntry<ID3D11InputLayout>, InputLayoutOrder> _input_layouts;
};

} // namespace tallow::render::d3d11

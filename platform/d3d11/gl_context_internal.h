#pragma once
// Internals of the OpenGL backend's contexts: the bound state, the command list of a deferred
// context and the context class itself. gl_context.cpp binds state and draws;
// gl_context_transfer.cpp maps, updates, copies and clears resources.
//
// The immediate context applies each call to GL at once under the GL lock; a deferred context
// records its calls as closures (holding references to what they name) that replay on the
// immediate context. Coordinates follow Direct3D: clip control puts the origin at the upper
// left and depth in 0..1, so row 0 of every texture is the top row as in Direct3D.
#include "platform/d3d11/gl_internal.h"

#include <array>
#include <functional>
#include <vector>

namespace tallow::d3d11::gl {

constexpr u32 cb_slots = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT;

struct State {
    std::array<Ref<ID3D11DeviceChild>, stage_count> shaders;
    std::array<GlShaderBase *, stage_count> programs{};
    std::array<std::array<Ref<ID3D11Buffer>, cb_slots>, stage_count> constant_buffers;
    std::array<std::array<Ref<ID3D11ShaderResourceView>, units_per_stage>, stage_count> resources;
    std::array<std::array<Ref<ID3D11SamplerState>, units_per_stage>, stage_count> samplers;
    std::array<Ref<ID3D11UnorderedAccessView>, D3D11_PS_CS_UAV_REGISTER_COUNT> uavs;
    Ref<ID3D11InputLayout> layout;
    std::array<Ref<ID3D11Buffer>, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT> vertex_buffers;
    std::array<u32, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT> strides{};
    std::array<u32, D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT> offsets{};
    Ref<ID3D11Buffer> index_buffer;
    DXGI_FORMAT index_format = DXGI_FORMAT_UNKNOWN;
    u32 index_offset = 0;
    D3D11_PRIMITIVE_TOPOLOGY topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
    std::array<Ref<ID3D11RenderTargetView>, D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT> targets;
    Ref<ID3D11DepthStencilView> depth;
    Ref<ID3D11BlendState> blend;
    std::array<f32, 4> blend_factor{1, 1, 1, 1};
    u32 sample_mask = D3D11_DEFAULT_SAMPLE_MASK;
    Ref<ID3D11DepthStencilState> depth_state;
    u32 stencil_ref = 0;
    Ref<ID3D11RasterizerState> rasterizer;
    std::vector<D3D11_VIEWPORT> viewports;
    std::vector<D3D11_RECT> scissors;
};

class GlCommandList final : public GlChild<ID3D11CommandList> {
public:
    std::vector<std::function<void(ID3D11DeviceContext &)>> commands;
};

struct PendingMap {
    ID3D11Resource *resource = nullptr;
    UINT subresource = 0;
    D3D11_MAP type = D3D11_MAP_WRITE_DISCARD;
    std::vector<u8> bytes; // deferred maps
};

template <class T> T *as(IUnknown *object) { return object ? dynamic_cast<T *>(object) : nullptr; }

/// Executes context calls the validation front (ContextFront in d3d11_validation.h) accepted.
class GlContext : public GlChild<ID3D11DeviceContext> {
public:
    GlContext(GlDevice *owner, bool is_deferred);
    bool owns_resource(ID3D11Resource *resource)
    {
        GlBuffer *buffer;
        GlTexture *texture;
        resource_parts(resource, buffer, texture);
        return buffer || texture;
    }
    bool owns_command_list(ID3D11CommandList *list) { return as<GlCommandList>(list) != nullptr; }
    /// Objects are freed at their last Release here: a later call is undefined, not told.
    bool is_released(ID3D11Resource *) { return false; }
    void unbind_shader_resource(u32 stage, UINT slot);

    void *find_interface(REFIID riid) override;

    void destroy() override;

    // ---- Recording ----------------------------------------------------------------

    template <class F> void record(F &&f) { list->commands.emplace_back(std::forward<F>(f)); }

    template <class T> static std::vector<Ref<T>> hold(UINT count, T *const *items)
    {
        std::vector<Ref<T>> out;
        for (UINT i = 0; i < count; ++i) out.emplace_back(items ? items[i] : nullptr);
        return out;
    }
    template <class T> static std::vector<T *> raw(const std::vector<Ref<T>> &items)
    {
        std::vector<T *> out;
        for (const Ref<T> &r : items) out.push_back(r.get());
        return out;
    }

    /// Makes this thread's GL objects of the context (vertex array, framebuffers, pipeline).
    void ensure_gl(GlScope &scope);

    // ---- Applying state -------------------------------------------------------------

    void apply_shader(u32 stage);
    void apply_constant_buffer(u32 stage, u32 slot);
    void apply_resource(u32 stage, u32 slot);
    /// Binds the structured-buffer views of stages [first, last] as storage blocks 8 + slot
    /// (blocks 0-7 are the unordered-access views). The graphics stages share these
    /// bindings, and the compute stage takes them over at each dispatch, so every draw and
    /// dispatch binds its own.
    void bind_structured(u32 first, u32 last);
    void apply_sampler(u32 stage, u32 slot);
    void apply_uav(u32 slot);
    void apply_layout();
    void apply_vertex_buffer(u32 slot);
    void apply_index_buffer();
    void apply_targets();
    static void attach(GLuint framebuffer, GLenum point, const GlViewRange *r);
    void apply_blend();
    void apply_depth();
    void apply_rasterizer();
    void apply_viewports();
    void apply_scissors();
    void apply_all();

    // ---- Stage bindings -----------------------------------------------------------

    void set_shader(u32 stage, ID3D11DeviceChild *shader);
    void set_constant_buffers(u32 stage, UINT start, UINT count, ID3D11Buffer *const *buffers);
    void set_resources(u32 stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views);
    void set_samplers(u32 stage, UINT start, UINT count, ID3D11SamplerState *const *samplers);

    void VSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(stage_vertex, s, n, b); }
    void PSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(stage_pixel, s, n, b); }
    void GSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(stage_geometry, s, n, b); }
    void HSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(stage_hull, s, n, b); }
    void DSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(stage_domain, s, n, b); }
    void CSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(stage_compute, s, n, b); }
    void VSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(stage_vertex, s, n, v); }
    void PSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(stage_pixel, s, n, v); }
    void GSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(stage_geometry, s, n, v); }
    void HSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(stage_hull, s, n, v); }
    void DSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(stage_domain, s, n, v); }
    void CSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(stage_compute, s, n, v); }
    void VSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override { set_samplers(stage_vertex, s, n, p); }
    void PSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override { set_samplers(stage_pixel, s, n, p); }
    void GSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override { set_samplers(stage_geometry, s, n, p); }
    void HSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override { set_samplers(stage_hull, s, n, p); }
    void DSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override { set_samplers(stage_domain, s, n, p); }
    void CSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *p) override { set_samplers(stage_compute, s, n, p); }
    void VSSetShader(ID3D11VertexShader *s, ID3D11ClassInstance *const *, UINT) override { set_shader(stage_vertex, s); }
    void PSSetShader(ID3D11PixelShader *s, ID3D11ClassInstance *const *, UINT) override { set_shader(stage_pixel, s); }
    void GSSetShader(ID3D11GeometryShader *s, ID3D11ClassInstance *const *, UINT) override { set_shader(stage_geometry, s); }
    void HSSetShader(ID3D11HullShader *s, ID3D11ClassInstance *const *, UINT) override { set_shader(stage_hull, s); }
    void DSSetShader(ID3D11DomainShader *s, ID3D11ClassInstance *const *, UINT) override { set_shader(stage_domain, s); }
    void CSSetShader(ID3D11ComputeShader *s, ID3D11ClassInstance *const *, UINT) override { set_shader(stage_compute, s); }

    void CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView *const *views, const UINT *) override;

    // ---- Input assembler ----------------------------------------------------------

    void IASetInputLayout(ID3D11InputLayout *layout) override;
    void IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides, const UINT *offsets) override;
    void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset) override;
    void IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) override;

    // ---- Output merger and rasterizer ---------------------------------------------

    void OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth) override;
    void OMSetBlendState(ID3D11BlendState *blend, const FLOAT factor[4], UINT mask) override;
    void OMSetDepthStencilState(ID3D11DepthStencilState *depth_state, UINT ref) override;
    void RSSetState(ID3D11RasterizerState *rasterizer) override;
    void RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports) override;
    void RSSetScissorRects(UINT count, const D3D11_RECT *rects) override;

    // ---- Draws --------------------------------------------------------------------

    void draw(bool indexed, UINT count, UINT instances, UINT start, INT base_vertex, UINT start_instance);
    void Draw(UINT count, UINT start) override { draw(false, count, 1, start, 0, 0); }
    void DrawIndexed(UINT count, UINT start, INT base) override { draw(true, count, 1, start, base, 0); }
    void DrawInstanced(UINT count, UINT instances, UINT start, UINT start_instance) override;
    void DrawIndexedInstanced(UINT count, UINT instances, UINT start, INT base, UINT start_instance) override;
    void Dispatch(UINT x, UINT y, UINT z) override;

    // ---- Map, updates, copies, clears ---------------------------------------------

    HRESULT Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT, D3D11_MAPPED_SUBRESOURCE *out) override;

    void Unmap(ID3D11Resource *resource, UINT subresource) override;

    static void upload(GlTexture &t, u32 subresource, u32 x, u32 y, u32 width, u32 height, const void *data, u32 pitch);

    void UpdateSubresource(ID3D11Resource *destination, UINT subresource, const D3D11_BOX *box, const void *data,
                           UINT row_pitch, UINT depth_pitch) override;

    static void copy_rows_into_cpu(GlBuffer *buffer, GlTexture *texture, u32 subresource, u32 left, u32 top, u32 right,
                                   u32 bottom, const void *data, u32 pitch);

    void CopySubresourceRegion(ID3D11Resource *destination, UINT dst_sub, UINT x, UINT y, UINT z, ID3D11Resource *source,
                               UINT src_sub, const D3D11_BOX *box) override;

    void CopyResource(ID3D11Resource *destination, ID3D11Resource *source) override;

    static void copy_buffer(GlBuffer *d, u32 dst_offset, GlBuffer *s, u32 src_offset, u32 size);

    static void copy_texture(GlTexture *d, u32 dst_sub, u32 x, u32 y, GlTexture *s, u32 src_sub, const D3D11_BOX &b);

    void ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4]) override;

    template <class F> void clear_with_framebuffer(F &&clear)
    {
        glDisable(GL_SCISSOR_TEST);
        glDepthMask(GL_TRUE);
        glStencilMask(0xFF);
        glColorMaski(0, GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        clear();
        apply_rasterizer();
        apply_depth();
        apply_blend();
    }

    void ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil) override;

    // ---- State, lists ------------------------------------------------------------

    void ClearState() override;

    void Flush() override;

    D3D11_DEVICE_CONTEXT_TYPE GetType() override { return deferred ? D3D11_DEVICE_CONTEXT_DEFERRED : D3D11_DEVICE_CONTEXT_IMMEDIATE; }

    void ExecuteCommandList(ID3D11CommandList *list_interface, BOOL restore_state) override;

    HRESULT FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list) override;

    bool deferred;
    State state;
    GlCommandList *list = nullptr;
    std::vector<PendingMap> maps;
    const void *gl_key = nullptr;
    GLuint vao = 0, fbo = 0, clear_fbo = 0, pipeline = 0;
    u32 enabled_attributes = 0;
    u32 structured_slots[stage_count] = {}; // per stage: slots holding structured-buffer views
};

} // namespace tallow::d3d11::gl

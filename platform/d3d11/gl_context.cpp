// OpenGL backend: immediate and deferred contexts.
//
// The immediate context applies each call to GL at once under the GL lock; a deferred context
// records its calls as closures (holding references to what they name) that replay on the
// immediate context. Coordinates follow Direct3D: clip control puts the origin at the upper
// left and depth in 0..1, so row 0 of every texture is the top row as in Direct3D.
#include "platform/d3d11/gl_internal.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace tallow::d3d11::gl {
namespace {

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

GLenum primitive_mode(D3D11_PRIMITIVE_TOPOLOGY topology)
{
    switch (topology) {
    case D3D11_PRIMITIVE_TOPOLOGY_POINTLIST: return GL_POINTS;
    case D3D11_PRIMITIVE_TOPOLOGY_LINELIST: return GL_LINES;
    case D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP: return GL_LINE_STRIP;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP: return GL_TRIANGLE_STRIP;
    case D3D11_PRIMITIVE_TOPOLOGY_3_CONTROL_POINT_PATCHLIST: return GL_PATCHES;
    default: return GL_TRIANGLES;
    }
}

GLenum blend_factor(D3D11_BLEND blend)
{
    switch (blend) {
    case D3D11_BLEND_ZERO: return GL_ZERO;
    case D3D11_BLEND_ONE: return GL_ONE;
    case D3D11_BLEND_SRC_COLOR: return GL_SRC_COLOR;
    case D3D11_BLEND_INV_SRC_COLOR: return GL_ONE_MINUS_SRC_COLOR;
    case D3D11_BLEND_SRC_ALPHA: return GL_SRC_ALPHA;
    case D3D11_BLEND_INV_SRC_ALPHA: return GL_ONE_MINUS_SRC_ALPHA;
    case D3D11_BLEND_DEST_ALPHA: return GL_DST_ALPHA;
    case D3D11_BLEND_INV_DEST_ALPHA: return GL_ONE_MINUS_DST_ALPHA;
    case D3D11_BLEND_DEST_COLOR: return GL_DST_COLOR;
    case D3D11_BLEND_INV_DEST_COLOR: return GL_ONE_MINUS_DST_COLOR;
    case D3D11_BLEND_SRC_ALPHA_SAT: return GL_SRC_ALPHA_SATURATE;
    case D3D11_BLEND_BLEND_FACTOR: return GL_CONSTANT_COLOR;
    case D3D11_BLEND_INV_BLEND_FACTOR: return GL_ONE_MINUS_CONSTANT_COLOR;
    case D3D11_BLEND_SRC1_COLOR: return GL_SRC1_COLOR;
    case D3D11_BLEND_INV_SRC1_COLOR: return GL_ONE_MINUS_SRC1_COLOR;
    case D3D11_BLEND_SRC1_ALPHA: return GL_SRC1_ALPHA;
    case D3D11_BLEND_INV_SRC1_ALPHA: return GL_ONE_MINUS_SRC1_ALPHA;
    default: return GL_ONE;
    }
}

GLenum blend_op(D3D11_BLEND_OP op)
{
    switch (op) {
    case D3D11_BLEND_OP_SUBTRACT: return GL_FUNC_SUBTRACT;
    case D3D11_BLEND_OP_REV_SUBTRACT: return GL_FUNC_REVERSE_SUBTRACT;
    case D3D11_BLEND_OP_MIN: return GL_MIN;
    case D3D11_BLEND_OP_MAX: return GL_MAX;
    default: return GL_FUNC_ADD;
    }
}

GLenum stencil_op(D3D11_STENCIL_OP op)
{
    switch (op) {
    case D3D11_STENCIL_OP_ZERO: return GL_ZERO;
    case D3D11_STENCIL_OP_REPLACE: return GL_REPLACE;
    case D3D11_STENCIL_OP_INCR_SAT: return GL_INCR;
    case D3D11_STENCIL_OP_DECR_SAT: return GL_DECR;
    case D3D11_STENCIL_OP_INVERT: return GL_INVERT;
    case D3D11_STENCIL_OP_INCR: return GL_INCR_WRAP;
    case D3D11_STENCIL_OP_DECR: return GL_DECR_WRAP;
    default: return GL_KEEP;
    }
}

const D3D11_RASTERIZER_DESC default_rasterizer = {D3D11_FILL_SOLID, D3D11_CULL_BACK, FALSE, 0, 0, 0, TRUE, FALSE, FALSE, FALSE};
const D3D11_DEPTH_STENCILOP_DESC default_stencil_op = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                                       D3D11_COMPARISON_ALWAYS};
const D3D11_DEPTH_STENCIL_DESC default_depth = {TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, FALSE, 0xFF, 0xFF,
                                                default_stencil_op, default_stencil_op};

class GlContext final : public GlChild<ID3D11DeviceContext> {
public:
    GlContext(GlDevice *owner, bool is_deferred) : deferred(is_deferred)
    {
        device = owner;
        if (deferred) list = new GlCommandList();
    }

    void *find_interface(REFIID riid) override
    {
        return riid == IID_ID3D11DeviceContext || riid == IID_IUnknown ? static_cast<ID3D11DeviceContext *>(this) : nullptr;
    }

    void destroy() override
    {
        state = State();
        if (list) list->Release();
        list = nullptr;
        if (vao || fbo) {
            GlScope scope;
            if (scope.context_key() == gl_key) {
                glDeleteVertexArrays(1, &vao);
                glDeleteFramebuffers(1, &fbo);
                glDeleteFramebuffers(1, &clear_fbo);
                glDeleteProgramPipelines(1, &pipeline);
            }
        }
    }

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
    void ensure_gl(GlScope &scope)
    {
        if (scope.context_key() == gl_key) return;
        gl_key = scope.context_key();
        if (!deferred) scope.mark_drawing_context();
        glCreateVertexArrays(1, &vao);
        glCreateFramebuffers(1, &fbo);
        glCreateFramebuffers(1, &clear_fbo);
        glCreateProgramPipelines(1, &pipeline);
        glBindVertexArray(vao);
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, fbo);
        glBindProgramPipeline(pipeline);
        glUseProgram(0);
        glClipControl(GL_UPPER_LEFT, GL_ZERO_TO_ONE);
        glEnable(GL_FRAMEBUFFER_SRGB);
        glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
        glEnable(GL_PROGRAM_POINT_SIZE);
        if (std::getenv("TALLOW_GL_DEBUG")) {
            glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
            glDebugMessageCallback(
                [](GLenum, GLenum type, GLuint, GLenum, GLsizei, const GLchar *message, const void *) {
                    if (type == GL_DEBUG_TYPE_ERROR || type == GL_DEBUG_TYPE_UNDEFINED_BEHAVIOR) log_error("GL: %s", message);
                },
                nullptr);
        }
        apply_all();
    }

    // ---- Applying state -------------------------------------------------------------

    void apply_shader(u32 stage)
    {
        static const GLbitfield bits[] = {GL_VERTEX_SHADER_BIT, GL_TESS_CONTROL_SHADER_BIT, GL_TESS_EVALUATION_SHADER_BIT,
                                          GL_GEOMETRY_SHADER_BIT, GL_FRAGMENT_SHADER_BIT, 0};
        if (stage == stage_compute) return;
        GlShaderBase *p = state.programs[stage];
        glUseProgramStages(pipeline, bits[stage], p ? p->program : 0);
    }
    void apply_constant_buffer(u32 stage, u32 slot)
    {
        GlBuffer *b = as<GlBuffer>(state.constant_buffers[stage][slot].get());
        glBindBufferBase(GL_UNIFORM_BUFFER, stage * cb_slots + slot, b ? b->name : 0);
    }
    void apply_resource(u32 stage, u32 slot)
    {
        GlSrv *v = as<GlSrv>(state.resources[stage][slot].get());
        glBindTextureUnit(stage * units_per_stage + slot, v ? v->range.name : 0);
        // Structured buffers are storage blocks, bound when a draw or dispatch runs.
        const u32 bit = 1u << slot;
        if (v && v->range.buffer && !v->range.name) structured_slots[stage] |= bit;
        else structured_slots[stage] &= ~bit;
    }
    /// Binds the structured-buffer views of stages [first, last] as storage blocks 8 + slot
    /// (blocks 0-7 are the unordered-access views). The graphics stages share these
    /// bindings, and the compute stage takes them over at each dispatch, so every draw and
    /// dispatch binds its own.
    void bind_structured(u32 first, u32 last)
    {
        for (u32 stage = first; stage <= last; ++stage)
            for (u32 mask = structured_slots[stage]; mask; mask &= mask - 1) {
                const u32 slot = static_cast<u32>(__builtin_ctz(mask));
                GlSrv *v = as<GlSrv>(state.resources[stage][slot].get());
                const GlBuffer *b = v->range.buffer;
                const u32 element = b->desc.StructureByteStride ? b->desc.StructureByteStride : 4;
                glBindBufferRange(GL_SHADER_STORAGE_BUFFER, D3D11_PS_CS_UAV_REGISTER_COUNT + slot, b->name,
                                  static_cast<GLintptr>(v->range.first_element) * element,
                                  static_cast<GLsizeiptr>(v->range.element_count) * element);
            }
    }
    void apply_sampler(u32 stage, u32 slot)
    {
        GlSamplerState *s = as<GlSamplerState>(state.samplers[stage][slot].get());
        glBindSampler(stage * units_per_stage + slot, s ? s->sampler : 0);
    }
    void apply_uav(u32 slot)
    {
        GlUav *v = as<GlUav>(state.uavs[slot].get());
        if (!v) {
            glBindBufferBase(GL_SHADER_STORAGE_BUFFER, slot, 0);
            return;
        }
        if (v->range.buffer)
            glBindBufferRange(GL_SHADER_STORAGE_BUFFER, slot, v->range.buffer->name, v->range.first_element,
                              v->range.element_count);
        else
            glBindImageTexture(slot, v->range.name, v->range.mip, v->range.layered, v->range.first_slice, GL_READ_WRITE,
                               v->range.texture->format.internal);
    }
    void apply_layout()
    {
        GlInputLayout *layout = as<GlInputLayout>(state.layout.get());
        for (u32 i = 0; i < enabled_attributes; ++i) glDisableVertexArrayAttrib(vao, i);
        enabled_attributes = 0;
        if (!layout) return;
        for (const GlAttribute &a : layout->attributes) {
            glEnableVertexArrayAttrib(vao, a.location);
            if (a.integer) glVertexArrayAttribIFormat(vao, a.location, a.components, a.type, a.offset);
            else glVertexArrayAttribFormat(vao, a.location, a.components, a.type, a.normalized, a.offset);
            glVertexArrayAttribBinding(vao, a.location, a.slot);
            glVertexArrayBindingDivisor(vao, a.slot, a.divisor);
            if (a.location + 1 > enabled_attributes) enabled_attributes = a.location + 1;
        }
    }
    void apply_vertex_buffer(u32 slot)
    {
        GlBuffer *b = as<GlBuffer>(state.vertex_buffers[slot].get());
        glVertexArrayVertexBuffer(vao, slot, b ? b->name : 0, state.offsets[slot], static_cast<GLsizei>(state.strides[slot]));
    }
    void apply_index_buffer()
    {
        GlBuffer *b = as<GlBuffer>(state.index_buffer.get());
        glVertexArrayElementBuffer(vao, b ? b->name : 0);
    }
    void apply_targets()
    {
        GLenum buffers[D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT];
        for (u32 i = 0; i < D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT; ++i) {
            GlRtv *v = as<GlRtv>(state.targets[i].get());
            attach(fbo, GL_COLOR_ATTACHMENT0 + i, v ? &v->range : nullptr);
            buffers[i] = v ? GL_COLOR_ATTACHMENT0 + i : GL_NONE;
        }
        glNamedFramebufferDrawBuffers(fbo, D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT, buffers);
        GlDsv *d = as<GlDsv>(state.depth.get());
        attach(fbo, GL_DEPTH_STENCIL_ATTACHMENT, nullptr);
        if (d) attach(fbo, d->range.texture->format.stencil ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT, &d->range);
    }
    static void attach(GLuint framebuffer, GLenum point, const GlViewRange *r)
    {
        if (!r) glNamedFramebufferTexture(framebuffer, point, 0, 0);
        else if (r->texture->target == GL_TEXTURE_2D || r->texture->target == GL_TEXTURE_2D_MULTISAMPLE || r->layered)
            glNamedFramebufferTexture(framebuffer, point, r->name, static_cast<GLint>(r->mip));
        else
            glNamedFramebufferTextureLayer(framebuffer, point, r->name, static_cast<GLint>(r->mip),
                                           static_cast<GLint>(r->first_slice));
    }
    void apply_blend()
    {
        GlBlendState *s = as<GlBlendState>(state.blend.get());
        D3D11_BLEND_DESC d{};
        if (s) d = s->desc;
        else
            for (auto &t : d.RenderTarget)
                t = {FALSE, D3D11_BLEND_ONE, D3D11_BLEND_ZERO, D3D11_BLEND_OP_ADD, D3D11_BLEND_ONE, D3D11_BLEND_ZERO,
                     D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
        for (u32 i = 0; i < 8; ++i) {
            const D3D11_RENDER_TARGET_BLEND_DESC &t = d.RenderTarget[d.IndependentBlendEnable ? i : 0];
            if (t.BlendEnable) glEnablei(GL_BLEND, i);
            else glDisablei(GL_BLEND, i);
            glBlendFuncSeparatei(i, blend_factor(t.SrcBlend), blend_factor(t.DestBlend), blend_factor(t.SrcBlendAlpha),
                                 blend_factor(t.DestBlendAlpha));
            glBlendEquationSeparatei(i, blend_op(t.BlendOp), blend_op(t.BlendOpAlpha));
            glColorMaski(i, t.RenderTargetWriteMask & 1, (t.RenderTargetWriteMask >> 1) & 1, (t.RenderTargetWriteMask >> 2) & 1,
                         (t.RenderTargetWriteMask >> 3) & 1);
        }
        if (d.AlphaToCoverageEnable) glEnable(GL_SAMPLE_ALPHA_TO_COVERAGE);
        else glDisable(GL_SAMPLE_ALPHA_TO_COVERAGE);
        glBlendColor(state.blend_factor[0], state.blend_factor[1], state.blend_factor[2], state.blend_factor[3]);
        glEnable(GL_SAMPLE_MASK);
        glSampleMaski(0, state.sample_mask);
    }
    void apply_depth()
    {
        GlDepthStencilState *s = as<GlDepthStencilState>(state.depth_state.get());
        const D3D11_DEPTH_STENCIL_DESC &d = s ? s->desc : default_depth;
        if (d.DepthEnable) glEnable(GL_DEPTH_TEST);
        else glDisable(GL_DEPTH_TEST);
        glDepthFunc(compare_function(d.DepthFunc));
        glDepthMask(d.DepthEnable && d.DepthWriteMask == D3D11_DEPTH_WRITE_MASK_ALL);
        if (d.StencilEnable) glEnable(GL_STENCIL_TEST);
        else glDisable(GL_STENCIL_TEST);
        glStencilMask(d.StencilWriteMask);
        const D3D11_DEPTH_STENCILOP_DESC *faces[2] = {&d.FrontFace, &d.BackFace};
        const GLenum face_names[2] = {GL_FRONT, GL_BACK};
        for (u32 f = 0; f < 2; ++f) {
            glStencilFuncSeparate(face_names[f], compare_function(faces[f]->StencilFunc), static_cast<GLint>(state.stencil_ref),
                                  d.StencilReadMask);
            glStencilOpSeparate(face_names[f], stencil_op(faces[f]->StencilFailOp), stencil_op(faces[f]->StencilDepthFailOp),
                                stencil_op(faces[f]->StencilPassOp));
        }
    }
    void apply_rasterizer()
    {
        GlRasterizerState *s = as<GlRasterizerState>(state.rasterizer.get());
        const D3D11_RASTERIZER_DESC &d = s ? s->desc : default_rasterizer;
        glPolygonMode(GL_FRONT_AND_BACK, d.FillMode == D3D11_FILL_WIREFRAME ? GL_LINE : GL_FILL);
        if (d.CullMode == D3D11_CULL_NONE) glDisable(GL_CULL_FACE);
        else {
            glEnable(GL_CULL_FACE);
            glCullFace(d.CullMode == D3D11_CULL_FRONT ? GL_FRONT : GL_BACK);
        }
        // With the upper-left origin GL's winding is the winding seen on screen, as in Direct3D.
        glFrontFace(d.FrontCounterClockwise ? GL_CCW : GL_CW);
        if (d.DepthBias || d.SlopeScaledDepthBias) {
            glEnable(GL_POLYGON_OFFSET_FILL);
            glPolygonOffsetClamp(d.SlopeScaledDepthBias, static_cast<f32>(d.DepthBias), d.DepthBiasClamp);
        } else {
            glDisable(GL_POLYGON_OFFSET_FILL);
        }
        if (d.DepthClipEnable) glDisable(GL_DEPTH_CLAMP);
        else glEnable(GL_DEPTH_CLAMP);
        if (d.ScissorEnable) glEnable(GL_SCISSOR_TEST);
        else glDisable(GL_SCISSOR_TEST);
        if (d.MultisampleEnable) glEnable(GL_MULTISAMPLE);
        else glDisable(GL_MULTISAMPLE);
        if (d.AntialiasedLineEnable) glEnable(GL_LINE_SMOOTH);
        else glDisable(GL_LINE_SMOOTH);
    }
    void apply_viewports()
    {
        for (u32 i = 0; i < state.viewports.size(); ++i) {
            const D3D11_VIEWPORT &v = state.viewports[i];
            glViewportIndexedf(i, v.TopLeftX, v.TopLeftY, v.Width, v.Height);
            glDepthRangeIndexed(i, v.MinDepth, v.MaxDepth);
        }
    }
    void apply_scissors()
    {
        for (u32 i = 0; i < state.scissors.size(); ++i) {
            const D3D11_RECT &r = state.scissors[i];
            glScissorIndexed(i, r.left, r.top, r.right > r.left ? r.right - r.left : 0, r.bottom > r.top ? r.bottom - r.top : 0);
        }
    }
    void apply_all()
    {
        for (u32 s = 0; s < stage_count; ++s) {
            apply_shader(s);
            for (u32 i = 0; i < cb_slots; ++i) apply_constant_buffer(s, i);
            for (u32 i = 0; i < units_per_stage; ++i) {
                apply_resource(s, i);
                apply_sampler(s, i);
            }
        }
        for (u32 i = 0; i < D3D11_PS_CS_UAV_REGISTER_COUNT; ++i) apply_uav(i);
        apply_layout();
        for (u32 i = 0; i < D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT; ++i) apply_vertex_buffer(i);
        apply_index_buffer();
        apply_targets();
        apply_blend();
        apply_depth();
        apply_rasterizer();
        apply_viewports();
        apply_scissors();
    }

    // ---- Stage bindings -----------------------------------------------------------

    void set_shader(u32 stage, ID3D11DeviceChild *shader)
    {
        if (deferred) {
            Ref<ID3D11DeviceChild> held(shader);
            record([stage, held](ID3D11DeviceContext &c) { static_cast<GlContext &>(c).set_shader(stage, held.get()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        if (state.shaders[stage].get() == shader) return;
        state.shaders[stage].reset(shader);
        state.programs[stage] = shader ? dynamic_cast<GlShaderBase *>(shader) : nullptr;
        apply_shader(stage);
    }
    void set_constant_buffers(u32 stage, UINT start, UINT count, ID3D11Buffer *const *buffers)
    {
        if (start >= cb_slots) return;
        if (count > cb_slots - start) count = cb_slots - start;
        if (deferred) {
            auto held = hold(count, buffers);
            record([=](ID3D11DeviceContext &c) { static_cast<GlContext &>(c).set_constant_buffers(stage, start, count, raw(held).data()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        for (UINT i = 0; i < count; ++i) {
            state.constant_buffers[stage][start + i].reset(buffers ? buffers[i] : nullptr);
            apply_constant_buffer(stage, start + i);
        }
    }
    void set_resources(u32 stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views)
    {
        if (start >= units_per_stage) return;
        if (count > units_per_stage - start) count = units_per_stage - start;
        if (deferred) {
            auto held = hold(count, views);
            record([=](ID3D11DeviceContext &c) { static_cast<GlContext &>(c).set_resources(stage, start, count, raw(held).data()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        for (UINT i = 0; i < count; ++i) {
            state.resources[stage][start + i].reset(views ? views[i] : nullptr);
            apply_resource(stage, start + i);
        }
    }
    void set_samplers(u32 stage, UINT start, UINT count, ID3D11SamplerState *const *samplers)
    {
        if (start >= units_per_stage) return;
        if (count > units_per_stage - start) count = units_per_stage - start;
        if (deferred) {
            auto held = hold(count, samplers);
            record([=](ID3D11DeviceContext &c) { static_cast<GlContext &>(c).set_samplers(stage, start, count, raw(held).data()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        for (UINT i = 0; i < count; ++i) {
            state.samplers[stage][start + i].reset(samplers ? samplers[i] : nullptr);
            apply_sampler(stage, start + i);
        }
    }

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

    void CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView *const *views, const UINT *) override
    {
        if (start >= D3D11_PS_CS_UAV_REGISTER_COUNT) return;
        if (count > D3D11_PS_CS_UAV_REGISTER_COUNT - start) count = D3D11_PS_CS_UAV_REGISTER_COUNT - start;
        if (deferred) {
            auto held = hold(count, views);
            record([=](ID3D11DeviceContext &c) { c.CSSetUnorderedAccessViews(start, count, raw(held).data(), nullptr); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        for (UINT i = 0; i < count; ++i) {
            state.uavs[start + i].reset(views ? views[i] : nullptr);
            apply_uav(start + i);
        }
    }

    // ---- Input assembler ----------------------------------------------------------

    void IASetInputLayout(ID3D11InputLayout *layout) override
    {
        if (deferred) {
            Ref<ID3D11InputLayout> held(layout);
            record([held](ID3D11DeviceContext &c) { c.IASetInputLayout(held.get()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        if (state.layout.get() == layout) return;
        state.layout.reset(layout);
        apply_layout();
    }
    void IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides, const UINT *offsets) override
    {
        if (start >= D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT) return;
        if (count > D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT - start) count = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT - start;
        if (deferred) {
            auto held = hold(count, buffers);
            std::vector<UINT> s(count), o(count);
            for (UINT i = 0; i < count; ++i) {
                s[i] = strides ? strides[i] : 0;
                o[i] = offsets ? offsets[i] : 0;
            }
            record([=](ID3D11DeviceContext &c) { c.IASetVertexBuffers(start, count, raw(held).data(), s.data(), o.data()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        for (UINT i = 0; i < count; ++i) {
            state.vertex_buffers[start + i].reset(buffers ? buffers[i] : nullptr);
            state.strides[start + i] = strides ? strides[i] : 0;
            state.offsets[start + i] = offsets ? offsets[i] : 0;
            apply_vertex_buffer(start + i);
        }
    }
    void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset) override
    {
        if (deferred) {
            Ref<ID3D11Buffer> held(buffer);
            record([=](ID3D11DeviceContext &c) { c.IASetIndexBuffer(held.get(), format, offset); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state.index_buffer.reset(buffer);
        state.index_format = format;
        state.index_offset = offset;
        apply_index_buffer();
    }
    void IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) override
    {
        if (deferred) {
            record([=](ID3D11DeviceContext &c) { c.IASetPrimitiveTopology(topology); });
            return;
        }
        state.topology = topology;
    }

    // ---- Output merger and rasterizer ---------------------------------------------

    void OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth) override
    {
        if (count > D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT) count = D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT;
        if (deferred) {
            auto held = hold(count, views);
            Ref<ID3D11DepthStencilView> held_depth(depth);
            record([=](ID3D11DeviceContext &c) { c.OMSetRenderTargets(count, raw(held).data(), held_depth.get()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        for (UINT i = 0; i < D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT; ++i)
            state.targets[i].reset(i < count && views ? views[i] : nullptr);
        state.depth.reset(depth);
        apply_targets();
    }
    void OMSetBlendState(ID3D11BlendState *blend, const FLOAT factor[4], UINT mask) override
    {
        std::array<f32, 4> f{1, 1, 1, 1};
        if (factor) f = {factor[0], factor[1], factor[2], factor[3]};
        if (deferred) {
            Ref<ID3D11BlendState> held(blend);
            record([=](ID3D11DeviceContext &c) { c.OMSetBlendState(held.get(), f.data(), mask); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state.blend.reset(blend);
        state.blend_factor = f;
        state.sample_mask = mask;
        apply_blend();
    }
    void OMSetDepthStencilState(ID3D11DepthStencilState *depth_state, UINT ref) override
    {
        if (deferred) {
            Ref<ID3D11DepthStencilState> held(depth_state);
            record([=](ID3D11DeviceContext &c) { c.OMSetDepthStencilState(held.get(), ref); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state.depth_state.reset(depth_state);
        state.stencil_ref = ref;
        apply_depth();
    }
    void RSSetState(ID3D11RasterizerState *rasterizer) override
    {
        if (deferred) {
            Ref<ID3D11RasterizerState> held(rasterizer);
            record([=](ID3D11DeviceContext &c) { c.RSSetState(held.get()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state.rasterizer.reset(rasterizer);
        apply_rasterizer();
    }
    void RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports) override
    {
        if (count > D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE) count = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
        std::vector<D3D11_VIEWPORT> v(viewports, viewports + (viewports ? count : 0));
        if (deferred) {
            record([v](ID3D11DeviceContext &c) { c.RSSetViewports(static_cast<UINT>(v.size()), v.data()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state.viewports = v;
        apply_viewports();
    }
    void RSSetScissorRects(UINT count, const D3D11_RECT *rects) override
    {
        if (count > D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE) count = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;
        std::vector<D3D11_RECT> r(rects, rects + (rects ? count : 0));
        if (deferred) {
            record([r](ID3D11DeviceContext &c) { c.RSSetScissorRects(static_cast<UINT>(r.size()), r.data()); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state.scissors = r;
        apply_scissors();
    }

    // ---- Draws --------------------------------------------------------------------

    void draw(bool indexed, UINT count, UINT instances, UINT start, INT base_vertex, UINT start_instance)
    {
        if (deferred) {
            record([=](ID3D11DeviceContext &c) {
                static_cast<GlContext &>(c).draw(indexed, count, instances, start, base_vertex, start_instance);
            });
            return;
        }
        if (count == 0 || instances == 0) return;
        GlScope scope;
        ensure_gl(scope);
        if (!state.programs[stage_vertex]) {
            log_error("invalid_call: draw without a vertex shader");
            return;
        }
        if (structured_slots[stage_vertex] | structured_slots[stage_hull] | structured_slots[stage_domain] |
            structured_slots[stage_geometry] | structured_slots[stage_pixel])
            bind_structured(stage_vertex, stage_pixel);
        const GLenum mode = primitive_mode(state.topology);
        if (mode == GL_PATCHES) glPatchParameteri(GL_PATCH_VERTICES, 3);
        // A single instance from instance 0 goes through the plain draw calls: Mesa's software
        // rasteriser sets up an instanced draw at many times the cost, and the shaders see the
        // same instance id (0) either way.
        const bool single = instances == 1 && start_instance == 0;
        if (!indexed) {
            if (single)
                glDrawArrays(mode, static_cast<GLint>(start), static_cast<GLsizei>(count));
            else
                glDrawArraysInstancedBaseInstance(mode, static_cast<GLint>(start), static_cast<GLsizei>(count),
                                                  static_cast<GLsizei>(instances), start_instance);
            return;
        }
        if (!state.index_buffer) {
            log_error("invalid_call: indexed draw without an index buffer");
            return;
        }
        const bool wide = state.index_format == DXGI_FORMAT_R32_UINT;
        const uintptr_t offset = state.index_offset + static_cast<uintptr_t>(start) * (wide ? 4 : 2);
        const GLenum type = wide ? GL_UNSIGNED_INT : GL_UNSIGNED_SHORT;
        if (single)
            glDrawElementsBaseVertex(mode, static_cast<GLsizei>(count), type, reinterpret_cast<const void *>(offset), base_vertex);
        else
            glDrawElementsInstancedBaseVertexBaseInstance(mode, static_cast<GLsizei>(count), type,
                                                          reinterpret_cast<const void *>(offset), static_cast<GLsizei>(instances),
                                                          base_vertex, start_instance);
    }
    void Draw(UINT count, UINT start) override { draw(false, count, 1, start, 0, 0); }
    void DrawIndexed(UINT count, UINT start, INT base) override { draw(true, count, 1, start, base, 0); }
    void DrawInstanced(UINT count, UINT instances, UINT start, UINT start_instance) override
    {
        draw(false, count, instances, start, 0, start_instance);
    }
    void DrawIndexedInstanced(UINT count, UINT instances, UINT start, INT base, UINT start_instance) override
    {
        draw(true, count, instances, start, base, start_instance);
    }
    void Dispatch(UINT x, UINT y, UINT z) override
    {
        if (deferred) {
            record([=](ID3D11DeviceContext &c) { c.Dispatch(x, y, z); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        GlShaderBase *cs = state.programs[stage_compute];
        if (!cs) {
            log_error("invalid_call: Dispatch without a compute shader");
            return;
        }
        if (structured_slots[stage_compute]) bind_structured(stage_compute, stage_compute);
        glMemoryBarrier(GL_ALL_BARRIER_BITS);
        glUseProgram(cs->program);
        glDispatchCompute(x, y, z);
        glUseProgram(0);
        glMemoryBarrier(GL_ALL_BARRIER_BITS);
    }

    // ---- Map, updates, copies, clears ---------------------------------------------

    HRESULT Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT, D3D11_MAPPED_SUBRESOURCE *out) override
    {
        GlBuffer *buffer;
        GlTexture *texture;
        resource_parts(resource, buffer, texture);
        if ((!buffer && !texture) || !out || (texture && subresource >= texture->subresource_count()) ||
            (buffer && subresource != 0)) {
            log_error("invalid_call: Map with no resource of this backend, no output or subresource %u", subresource);
            return E_INVALIDARG;
        }
        const D3D11_USAGE usage = buffer ? buffer->desc.Usage : texture->desc.Usage;
        const u32 cpu = buffer ? buffer->desc.CPUAccessFlags : texture->desc.CPUAccessFlags;
        const bool reads = type == D3D11_MAP_READ || type == D3D11_MAP_READ_WRITE;
        const bool writes = type != D3D11_MAP_READ;
        const bool allowed = usage == D3D11_USAGE_STAGING
                                 ? (!reads || (cpu & D3D11_CPU_ACCESS_READ)) && (!writes || (cpu & D3D11_CPU_ACCESS_WRITE))
                                 : usage == D3D11_USAGE_DYNAMIC && (cpu & D3D11_CPU_ACCESS_WRITE) &&
                                       (type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE);
        if (!allowed) {
            log_error("map_not_dynamic: Map type %u on a resource with usage %u and CPU access 0x%x", type, usage, cpu);
            return E_INVALIDARG;
        }
        for (const PendingMap &p : maps)
            if (p.resource == resource && p.subresource == subresource) {
                log_error("invalid_call: Map of subresource %u while it is mapped", subresource);
                return E_INVALIDARG;
            }
        PendingMap pending{resource, subresource, type, {}};
        const u32 mip = texture ? subresource % texture->desc.MipLevels : 0;
        out->RowPitch = texture ? row_bytes(texture->format, texture->mip_width(mip)) : (buffer ? buffer->desc.ByteWidth : 0);
        out->DepthPitch = texture ? image_bytes(texture->format, texture->mip_width(mip), texture->mip_height(mip)) : out->RowPitch;
        if (deferred) {
            if (usage == D3D11_USAGE_STAGING) {
                log_error("invalid_call: Map of a staging resource on a deferred context");
                return E_INVALIDARG;
            }
            pending.bytes.assign(buffer ? buffer->desc.ByteWidth : out->DepthPitch, 0);
            maps.push_back(std::move(pending));
            out->pData = maps.back().bytes.data();
            return S_OK;
        }
        if (usage == D3D11_USAGE_STAGING) {
            out->pData = buffer ? buffer->staging.data() : texture->cpu.data() + texture->cpu_offset(subresource);
        } else if (buffer && type == D3D11_MAP_WRITE_DISCARD) {
            // Written in memory and handed to GL as fresh storage at Unmap, so the draws
            // still reading the old contents never hold the CPU up.
            out->pData = buffer->staging.data();
        } else if (buffer) {
            GlScope scope;
            out->pData = glMapNamedBufferRange(buffer->name, 0, buffer->desc.ByteWidth,
                                               GL_MAP_WRITE_BIT | GL_MAP_UNSYNCHRONIZED_BIT);
            if (!out->pData) return E_OUTOFMEMORY;
        } else {
            out->pData = texture->cpu.data() + texture->cpu_offset(subresource);
        }
        maps.push_back(std::move(pending));
        return S_OK;
    }

    void Unmap(ID3D11Resource *resource, UINT subresource) override
    {
        size_t at = maps.size();
        for (size_t i = 0; i < maps.size(); ++i)
            if (maps[i].resource == resource && maps[i].subresource == subresource) at = i;
        if (at == maps.size()) {
            log_error("invalid_call: Unmap of subresource %u that is not mapped", subresource);
            return;
        }
        PendingMap pending = std::move(maps[at]);
        maps.erase(maps.begin() + static_cast<std::ptrdiff_t>(at));
        GlBuffer *buffer;
        GlTexture *texture;
        resource_parts(resource, buffer, texture);
        if (deferred) {
            Ref<ID3D11Resource> held(resource);
            auto bytes = std::make_shared<std::vector<u8>>(std::move(pending.bytes));
            const D3D11_MAP type = pending.type;
            record([held, bytes, subresource, type](ID3D11DeviceContext &c) {
                D3D11_MAPPED_SUBRESOURCE mapped;
                if (FAILED(c.Map(held.get(), subresource, type, 0, &mapped))) return;
                std::memcpy(mapped.pData, bytes->data(), bytes->size());
                c.Unmap(held.get(), subresource);
            });
            return;
        }
        if ((buffer && buffer->desc.Usage == D3D11_USAGE_STAGING) || (texture && texture->desc.Usage == D3D11_USAGE_STAGING))
            return;
        GlScope scope;
        if (buffer && pending.type == D3D11_MAP_WRITE_DISCARD) {
            glNamedBufferData(buffer->name, buffer->desc.ByteWidth, buffer->staging.data(), GL_STREAM_DRAW);
        } else if (buffer) {
            glUnmapNamedBuffer(buffer->name);
        } else {
            const u32 mip = subresource % texture->desc.MipLevels;
            upload(*texture, subresource, 0, 0, texture->mip_width(mip), texture->mip_height(mip),
                   texture->cpu.data() + texture->cpu_offset(subresource), 0);
        }
    }

    static void upload(GlTexture &t, u32 subresource, u32 x, u32 y, u32 width, u32 height, const void *data, u32 pitch)
    {
        const u32 mip = subresource % t.desc.MipLevels;
        const u32 slice = subresource / t.desc.MipLevels;
        const u32 row = row_bytes(t.format, width);
        const u32 rows = t.format.compressed ? (height + 3) / 4 : height;
        std::vector<u8> packed;
        const u8 *bytes = static_cast<const u8 *>(data);
        if (pitch && pitch != row) {
            packed.resize(static_cast<size_t>(row) * rows);
            for (u32 r = 0; r < rows; ++r)
                std::memcpy(&packed[static_cast<size_t>(r) * row], bytes + static_cast<size_t>(r) * pitch, row);
            bytes = packed.data();
        }
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        const bool layered = t.target != GL_TEXTURE_2D;
        if (t.format.compressed) {
            if (layered) glCompressedTextureSubImage3D(t.name, mip, x, y, slice, width, height, 1, t.format.internal, row * rows, bytes);
            else glCompressedTextureSubImage2D(t.name, mip, x, y, width, height, t.format.internal, row * rows, bytes);
        } else if (layered) {
            glTextureSubImage3D(t.name, mip, x, y, slice, width, height, 1, t.format.format, t.format.type, bytes);
        } else {
            glTextureSubImage2D(t.name, mip, x, y, width, height, t.format.format, t.format.type, bytes);
        }
    }

    void UpdateSubresource(ID3D11Resource *destination, UINT subresource, const D3D11_BOX *box, const void *data,
                           UINT row_pitch, UINT depth_pitch) override
    {
        GlBuffer *buffer;
        GlTexture *texture;
        resource_parts(destination, buffer, texture);
        if ((!buffer && !texture) || !data) {
            log_error("invalid_call: UpdateSubresource with no resource of this backend or no data");
            return;
        }
        const D3D11_USAGE usage = buffer ? buffer->desc.Usage : texture->desc.Usage;
        if (usage == D3D11_USAGE_DYNAMIC || usage == D3D11_USAGE_IMMUTABLE) {
            log_error("update_dynamic: UpdateSubresource on a resource with usage %u (use Map)", usage);
            return;
        }
        if (texture && subresource >= texture->subresource_count()) return;
        u32 left = 0, top = 0, right, bottom;
        if (buffer) {
            right = buffer->desc.ByteWidth;
            bottom = 1;
        } else {
            const u32 mip = subresource % texture->desc.MipLevels;
            right = texture->mip_width(mip);
            bottom = texture->mip_height(mip);
        }
        if (box) {
            if (box->right > right || box->bottom > bottom || box->left >= box->right || box->top >= box->bottom) {
                log_error("copy_out_of_range: UpdateSubresource box outside the subresource");
                return;
            }
            left = box->left;
            top = box->top;
            right = box->right;
            bottom = box->bottom;
        }
        if (deferred) {
            const size_t size = buffer ? right - left
                                       : static_cast<size_t>(row_pitch ? row_pitch : row_bytes(texture->format, right - left)) *
                                             (texture->format.compressed ? (bottom - top + 3) / 4 : bottom - top);
            auto bytes = std::make_shared<std::vector<u8>>(static_cast<const u8 *>(data), static_cast<const u8 *>(data) + size);
            Ref<ID3D11Resource> held(destination);
            D3D11_BOX b{left, top, 0, right, bottom, 1};
            record([=](ID3D11DeviceContext &c) { c.UpdateSubresource(held.get(), subresource, &b, bytes->data(), row_pitch, depth_pitch); });
            return;
        }
        if (usage == D3D11_USAGE_STAGING) {
            copy_rows_into_cpu(buffer, texture, subresource, left, top, right, bottom, data, row_pitch);
            return;
        }
        GlScope scope;
        if (buffer) glNamedBufferSubData(buffer->name, left, right - left, data);
        else upload(*texture, subresource, left, top, right - left, bottom - top, data, row_pitch);
    }

    static void copy_rows_into_cpu(GlBuffer *buffer, GlTexture *texture, u32 subresource, u32 left, u32 top, u32 right,
                                   u32 bottom, const void *data, u32 pitch)
    {
        if (buffer) {
            std::memcpy(buffer->staging.data() + left, data, right - left);
            return;
        }
        const u32 mip = subresource % texture->desc.MipLevels;
        const u32 full_row = row_bytes(texture->format, texture->mip_width(mip));
        const u32 row = row_bytes(texture->format, right - left);
        const u32 x = row_bytes(texture->format, left);
        const u32 b = texture->format.compressed ? 4 : 1;
        if (!pitch) pitch = row;
        u8 *base = texture->cpu.data() + texture->cpu_offset(subresource);
        for (u32 r = top / b; r < (bottom + b - 1) / b; ++r)
            std::memcpy(base + static_cast<size_t>(r) * full_row + x, static_cast<const u8 *>(data) + static_cast<size_t>(r - top / b) * pitch, row);
    }

    void CopySubresourceRegion(ID3D11Resource *destination, UINT dst_sub, UINT x, UINT y, UINT z, ID3D11Resource *source,
                               UINT src_sub, const D3D11_BOX *box) override
    {
        if (deferred) {
            Ref<ID3D11Resource> d(destination), s(source);
            const bool has_box = box != nullptr;
            D3D11_BOX b = box ? *box : D3D11_BOX{};
            record([=](ID3D11DeviceContext &c) { c.CopySubresourceRegion(d.get(), dst_sub, x, y, z, s.get(), src_sub, has_box ? &b : nullptr); });
            return;
        }
        GlBuffer *db, *sb;
        GlTexture *dt, *st;
        resource_parts(destination, db, dt);
        resource_parts(source, sb, st);
        if (db && sb) {
            u32 left = box ? box->left : 0, right = box ? box->right : sb->desc.ByteWidth;
            if (dst_sub || src_sub || left >= right || right > sb->desc.ByteWidth || x + (right - left) > db->desc.ByteWidth) {
                log_error("copy_out_of_range: buffer copy outside its buffers");
                return;
            }
            copy_buffer(db, x, sb, left, right - left);
            return;
        }
        if (!dt || !st || dst_sub >= dt->subresource_count() || src_sub >= st->subresource_count() ||
            dt->format.block_bytes != st->format.block_bytes) {
            log_error("copy_out_of_range: copy between unequal or unknown resources");
            return;
        }
        const u32 smip = src_sub % st->desc.MipLevels, dmip = dst_sub % dt->desc.MipLevels;
        D3D11_BOX b = box ? *box : D3D11_BOX{0, 0, 0, st->mip_width(smip), st->mip_height(smip), 1};
        if (b.left >= b.right || b.top >= b.bottom || b.right > st->mip_width(smip) || b.bottom > st->mip_height(smip) ||
            x + (b.right - b.left) > dt->mip_width(dmip) || y + (b.bottom - b.top) > dt->mip_height(dmip)) {
            log_error("copy_out_of_range: copy box outside the source or destination");
            return;
        }
        copy_texture(dt, dst_sub, x, y, st, src_sub, b);
    }

    void CopyResource(ID3D11Resource *destination, ID3D11Resource *source) override
    {
        if (deferred) {
            Ref<ID3D11Resource> d(destination), s(source);
            record([=](ID3D11DeviceContext &c) { c.CopyResource(d.get(), s.get()); });
            return;
        }
        GlBuffer *db, *sb;
        GlTexture *dt, *st;
        resource_parts(destination, db, dt);
        resource_parts(source, sb, st);
        if (db && sb && db->desc.ByteWidth == sb->desc.ByteWidth) {
            copy_buffer(db, 0, sb, 0, sb->desc.ByteWidth);
            return;
        }
        if (!dt || !st || dt->desc.Width != st->desc.Width || dt->desc.Height != st->desc.Height ||
            dt->desc.MipLevels != st->desc.MipLevels || dt->desc.ArraySize != st->desc.ArraySize ||
            dt->format.block_bytes != st->format.block_bytes) {
            log_error("copy_out_of_range: CopyResource between unequal resources");
            return;
        }
        for (u32 s = 0; s < st->subresource_count(); ++s) {
            const u32 mip = s % st->desc.MipLevels;
            copy_texture(dt, s, 0, 0, st, s, D3D11_BOX{0, 0, 0, st->mip_width(mip), st->mip_height(mip), 1});
        }
    }

    static void copy_buffer(GlBuffer *d, u32 dst_offset, GlBuffer *s, u32 src_offset, u32 size)
    {
        const bool ds = d->desc.Usage == D3D11_USAGE_STAGING, ss = s->desc.Usage == D3D11_USAGE_STAGING;
        if (ds && ss) {
            std::memmove(d->staging.data() + dst_offset, s->staging.data() + src_offset, size);
            return;
        }
        GlScope scope;
        if (ds) glGetNamedBufferSubData(s->name, src_offset, size, d->staging.data() + dst_offset);
        else if (ss) glNamedBufferSubData(d->name, dst_offset, size, s->staging.data() + src_offset);
        else glCopyNamedBufferSubData(s->name, d->name, src_offset, dst_offset, size);
    }

    static void copy_texture(GlTexture *d, u32 dst_sub, u32 x, u32 y, GlTexture *s, u32 src_sub, const D3D11_BOX &b)
    {
        const u32 smip = src_sub % s->desc.MipLevels, sslice = src_sub / s->desc.MipLevels;
        const u32 dmip = dst_sub % d->desc.MipLevels, dslice = dst_sub / d->desc.MipLevels;
        const u32 w = b.right - b.left, h = b.bottom - b.top;
        const bool ds = d->desc.Usage == D3D11_USAGE_STAGING, ss = s->desc.Usage == D3D11_USAGE_STAGING;
        if (ss) {
            // Tightly packed rows of the box from the source's memory.
            const u32 full_row = row_bytes(s->format, s->mip_width(smip));
            const u8 *base = s->cpu.data() + s->cpu_offset(src_sub) + static_cast<size_t>(full_row) * (s->format.compressed ? b.top / 4 : b.top) +
                             row_bytes(s->format, b.left);
            if (ds) {
                copy_rows_into_cpu(nullptr, d, dst_sub, x, y, x + w, y + h, base, full_row);
                return;
            }
            GlScope scope;
            upload(*d, dst_sub, x, y, w, h, base, full_row);
            return;
        }
        GlScope scope;
        if (ds) {
            const u32 row = row_bytes(s->format, w);
            const u32 rows = s->format.compressed ? (h + 3) / 4 : h;
            std::vector<u8> bytes(static_cast<size_t>(row) * rows);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            if (s->format.compressed)
                glGetCompressedTextureSubImage(s->name, smip, b.left, b.top, sslice, w, h, 1, static_cast<GLsizei>(bytes.size()), bytes.data());
            else
                glGetTextureSubImage(s->name, smip, b.left, b.top, sslice, w, h, 1, s->format.format, s->format.type,
                                     static_cast<GLsizei>(bytes.size()), bytes.data());
            copy_rows_into_cpu(nullptr, d, dst_sub, x, y, x + w, y + h, bytes.data(), row);
            return;
        }
        glCopyImageSubData(s->name, s->target, smip, b.left, b.top, sslice, d->name, d->target, dmip, x, y, dslice, w, h, 1);
    }

    void ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4]) override
    {
        std::array<f32, 4> c{0, 0, 0, 0};
        if (color) c = {color[0], color[1], color[2], color[3]};
        if (deferred) {
            Ref<ID3D11RenderTargetView> held(view);
            record([=](ID3D11DeviceContext &ctx) { ctx.ClearRenderTargetView(held.get(), c.data()); });
            return;
        }
        GlRtv *v = as<GlRtv>(view);
        if (!v) return;
        GlScope scope;
        ensure_gl(scope);
        const GlViewRange &r = v->range;
        GlTexture *t = r.texture;
        if (t->desc.SampleDesc.Count > 1) {
            attach(clear_fbo, GL_COLOR_ATTACHMENT0, &r);
            glNamedFramebufferDrawBuffer(clear_fbo, GL_COLOR_ATTACHMENT0);
            clear_with_framebuffer([&] { glClearNamedFramebufferfv(clear_fbo, GL_COLOR, 0, c.data()); });
            attach(clear_fbo, GL_COLOR_ATTACHMENT0, nullptr);
            return;
        }
        glClearTexSubImage(t->name, r.mip, 0, 0, r.first_slice, t->mip_width(r.mip), t->mip_height(r.mip), r.slice_count,
                           GL_RGBA, GL_FLOAT, c.data());
    }

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

    void ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil) override
    {
        if (deferred) {
            Ref<ID3D11DepthStencilView> held(view);
            record([=](ID3D11DeviceContext &c) { c.ClearDepthStencilView(held.get(), flags, depth, stencil); });
            return;
        }
        GlDsv *v = as<GlDsv>(view);
        if (!v) return;
        GlScope scope;
        ensure_gl(scope);
        const bool has_stencil = v->range.texture->format.stencil;
        const GLenum point = has_stencil ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT;
        attach(clear_fbo, point, &v->range);
        glNamedFramebufferDrawBuffer(clear_fbo, GL_NONE);
        clear_with_framebuffer([&] {
            const bool d = flags & D3D11_CLEAR_DEPTH, s = has_stencil && (flags & D3D11_CLEAR_STENCIL);
            const GLint stencil_value = stencil;
            if (d && s) glClearNamedFramebufferfi(clear_fbo, GL_DEPTH_STENCIL, 0, depth, stencil_value);
            else if (d) glClearNamedFramebufferfv(clear_fbo, GL_DEPTH, 0, &depth);
            else if (s) glClearNamedFramebufferiv(clear_fbo, GL_STENCIL, 0, &stencil_value);
        });
        attach(clear_fbo, point, nullptr);
    }

    // ---- State, lists ------------------------------------------------------------

    void ClearState() override
    {
        if (deferred) {
            record([](ID3D11DeviceContext &c) { c.ClearState(); });
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        state = State();
        apply_all();
    }

    void Flush() override
    {
        if (deferred) return;
        GlScope scope;
        glFlush();
    }

    D3D11_DEVICE_CONTEXT_TYPE GetType() override { return deferred ? D3D11_DEVICE_CONTEXT_DEFERRED : D3D11_DEVICE_CONTEXT_IMMEDIATE; }

    void ExecuteCommandList(ID3D11CommandList *list_interface, BOOL restore_state) override
    {
        auto *commands = as<GlCommandList>(list_interface);
        if (deferred || !commands) {
            log_error("invalid_call: ExecuteCommandList needs the immediate context and a command list");
            return;
        }
        GlScope scope;
        ensure_gl(scope);
        State saved;
        if (restore_state) saved = state;
        state = State();
        apply_all();
        for (auto &command : commands->commands) command(*this);
        state = restore_state ? saved : State();
        apply_all();
    }

    HRESULT FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list) override
    {
        if (!deferred || !out_list) {
            log_error("invalid_call: FinishCommandList needs a deferred context and an output");
            return DXGI_ERROR_INVALID_CALL;
        }
        (void)restore_state; // recording keeps no state of its own: each list starts from the defaults
        list->device = device;
        *out_list = list;
        list = new GlCommandList();
        list->device = device;
        maps.clear();
        return S_OK;
    }

    bool deferred;
    State state;
    GlCommandList *list = nullptr;
    std::vector<PendingMap> maps;
    const void *gl_key = nullptr;
    GLuint vao = 0, fbo = 0, clear_fbo = 0, pipeline = 0;
    u32 enabled_attributes = 0;
    u32 structured_slots[stage_count] = {}; // per stage: slots holding structured-buffer views
};

} // namespace

ID3D11DeviceContext *create_context(GlDevice *device, bool deferred)
{
    auto *context = new GlContext(device, deferred);
    if (context->list) context->list->device = device;
    return context;
}

} // namespace tallow::d3d11::gl

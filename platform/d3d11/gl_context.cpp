// OpenGL backend: immediate and deferred contexts, their state binding, draws and command
// lists (gl_context_internal.h describes how the two kinds run).
#include "platform/d3d11/gl_context_internal.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace tallow::d3d11::gl {
namespace {

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

} // namespace

GlContext::GlContext(GlDevice *owner, bool is_deferred) : deferred(is_deferred)
{
    device = owner;
    if (deferred) list = new GlCommandList();
}

void *GlContext::find_interface(REFIID riid)
{
    return riid == IID_ID3D11DeviceContext || riid == IID_IUnknown ? static_cast<ID3D11DeviceContext *>(this) : nullptr;
}

void GlContext::destroy()
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

// ---- Recording ---------------------------------------------------------------------------

void GlContext::ensure_gl(GlScope &scope)
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

// ---- Applying state ----------------------------------------------------------------------

void GlContext::apply_shader(u32 stage)
{
    static const GLbitfield bits[] = {GL_VERTEX_SHADER_BIT, GL_TESS_CONTROL_SHADER_BIT, GL_TESS_EVALUATION_SHADER_BIT,
                                      GL_GEOMETRY_SHADER_BIT, GL_FRAGMENT_SHADER_BIT, 0};
    if (stage == stage_compute) return;
    GlShaderBase *p = state.programs[stage];
    glUseProgramStages(pipeline, bits[stage], p ? p->program : 0);
}

void GlContext::apply_constant_buffer(u32 stage, u32 slot)
{
    GlBuffer *b = as<GlBuffer>(state.constant_buffers[stage][slot].get());
    glBindBufferBase(GL_UNIFORM_BUFFER, stage * cb_slots + slot, b ? b->name : 0);
}

void GlContext::apply_resource(u32 stage, u32 slot)
{
    GlSrv *v = as<GlSrv>(state.resources[stage][slot].get());
    glBindTextureUnit(stage * units_per_stage + slot, v ? v->range.name : 0);
    // Structured buffers are storage blocks, bound when a draw or dispatch runs.
    const u32 bit = 1u << slot;
    if (v && v->range.buffer && !v->range.name) structured_slots[stage] |= bit;
    else structured_slots[stage] &= ~bit;
}

void GlContext::bind_structured(u32 first, u32 last)
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

void GlContext::apply_sampler(u32 stage, u32 slot)
{
    GlSamplerState *s = as<GlSamplerState>(state.samplers[stage][slot].get());
    glBindSampler(stage * units_per_stage + slot, s ? s->sampler : 0);
}

void GlContext::apply_uav(u32 slot)
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

void GlContext::apply_layout()
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

void GlContext::apply_vertex_buffer(u32 slot)
{
    GlBuffer *b = as<GlBuffer>(state.vertex_buffers[slot].get());
    glVertexArrayVertexBuffer(vao, slot, b ? b->name : 0, state.offsets[slot], static_cast<GLsizei>(state.strides[slot]));
}

void GlContext::apply_index_buffer()
{
    GlBuffer *b = as<GlBuffer>(state.index_buffer.get());
    glVertexArrayElementBuffer(vao, b ? b->name : 0);
}

void GlContext::apply_targets()
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

void GlContext::attach(GLuint framebuffer, GLenum point, const GlViewRange *r)
{
    if (!r) glNamedFramebufferTexture(framebuffer, point, 0, 0);
    else if (r->texture->target == GL_TEXTURE_2D || r->texture->target == GL_TEXTURE_2D_MULTISAMPLE || r->layered)
        glNamedFramebufferTexture(framebuffer, point, r->name, static_cast<GLint>(r->mip));
    else
        glNamedFramebufferTextureLayer(framebuffer, point, r->name, static_cast<GLint>(r->mip),
                                       static_cast<GLint>(r->first_slice));
}

void GlContext::apply_blend()
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

void GlContext::apply_depth()
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

void GlContext::apply_rasterizer()
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

void GlContext::apply_viewports()
{
    for (u32 i = 0; i < state.viewports.size(); ++i) {
        const D3D11_VIEWPORT &v = state.viewports[i];
        glViewportIndexedf(i, v.TopLeftX, v.TopLeftY, v.Width, v.Height);
        glDepthRangeIndexed(i, v.MinDepth, v.MaxDepth);
    }
}

void GlContext::apply_scissors()
{
    for (u32 i = 0; i < state.scissors.size(); ++i) {
        const D3D11_RECT &r = state.scissors[i];
        glScissorIndexed(i, r.left, r.top, r.right > r.left ? r.right - r.left : 0, r.bottom > r.top ? r.bottom - r.top : 0);
    }
}

void GlContext::apply_all()
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

// ---- Stage bindings ----------------------------------------------------------------------

void GlContext::set_shader(u32 stage, ID3D11DeviceChild *shader)
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

void GlContext::set_constant_buffers(u32 stage, UINT start, UINT count, ID3D11Buffer *const *buffers)
{
    if (start > cb_slots || count > cb_slots - start) return; // refused by the front
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

void GlContext::set_resources(u32 stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views)
{
    // The front has checked the slots against Direct3D's; this backend has fewer texture
    // units per stage and keeps the views of the slots it has.
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

void GlContext::set_samplers(u32 stage, UINT start, UINT count, ID3D11SamplerState *const *samplers)
{
    if (start > units_per_stage || count > units_per_stage - start) return; // refused by the front
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

void GlContext::unbind_shader_resource(u32 stage, UINT slot)
{
    if (deferred) {
        record([=](ID3D11DeviceContext &c) { static_cast<GlContext &>(c).unbind_shader_resource(stage, slot); });
        return;
    }
    if (stage >= stage_count || slot >= units_per_stage) return;
    GlScope scope;
    ensure_gl(scope);
    state.resources[stage][slot].reset(nullptr);
    apply_resource(stage, slot);
}

void GlContext::CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView *const *views, const UINT *)
{
    if (start > D3D11_PS_CS_UAV_REGISTER_COUNT || count > D3D11_PS_CS_UAV_REGISTER_COUNT - start)
        return; // refused by the front
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

// ---- Input assembler ---------------------------------------------------------------------

void GlContext::IASetInputLayout(ID3D11InputLayout *layout)
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

void GlContext::IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides, const UINT *offsets)
{
    if (start > D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT || count > D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT - start)
        return; // refused by the front
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

void GlContext::IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset)
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

void GlContext::IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology)
{
    if (deferred) {
        record([=](ID3D11DeviceContext &c) { c.IASetPrimitiveTopology(topology); });
        return;
    }
    state.topology = topology;
}

// ---- Output merger and rasterizer --------------------------------------------------------

void GlContext::OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth)
{
    if (count > D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT) return; // refused by the front
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

void GlContext::OMSetBlendState(ID3D11BlendState *blend, const FLOAT factor[4], UINT mask)
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

void GlContext::OMSetDepthStencilState(ID3D11DepthStencilState *depth_state, UINT ref)
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

void GlContext::RSSetState(ID3D11RasterizerState *rasterizer)
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

void GlContext::RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports)
{
    if (count > D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE || (count && !viewports))
        return; // refused by the front
    std::vector<D3D11_VIEWPORT> v(viewports, viewports + count);
    if (deferred) {
        record([v](ID3D11DeviceContext &c) { c.RSSetViewports(static_cast<UINT>(v.size()), v.data()); });
        return;
    }
    GlScope scope;
    ensure_gl(scope);
    state.viewports = v;
    apply_viewports();
}

void GlContext::RSSetScissorRects(UINT count, const D3D11_RECT *rects)
{
    if (count > D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE || (count && !rects))
        return; // refused by the front
    std::vector<D3D11_RECT> r(rects, rects + count);
    if (deferred) {
        record([r](ID3D11DeviceContext &c) { c.RSSetScissorRects(static_cast<UINT>(r.size()), r.data()); });
        return;
    }
    GlScope scope;
    ensure_gl(scope);
    state.scissors = r;
    apply_scissors();
}

// ---- Draws -------------------------------------------------------------------------------

void GlContext::draw(bool indexed, UINT count, UINT instances, UINT start, INT base_vertex, UINT start_instance)
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
    // Without a vertex shader Direct3D draws nothing, and GL cannot run the pipeline.
    if (!state.programs[stage_vertex]) return;
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
    // Direct3D reads indices of 0 from a missing index buffer, which draw no area; GL
    // cannot draw elements without a buffer, so the draw is skipped.
    if (!state.index_buffer) return;
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

void GlContext::DrawInstanced(UINT count, UINT instances, UINT start, UINT start_instance)
{
    draw(false, count, instances, start, 0, start_instance);
}

void GlContext::DrawIndexedInstanced(UINT count, UINT instances, UINT start, INT base, UINT start_instance)
{
    draw(true, count, instances, start, base, start_instance);
}

void GlContext::Dispatch(UINT x, UINT y, UINT z)
{
    if (deferred) {
        record([=](ID3D11DeviceContext &c) { c.Dispatch(x, y, z); });
        return;
    }
    GlScope scope;
    ensure_gl(scope);
    GlShaderBase *cs = state.programs[stage_compute];
    if (!cs) return; // Direct3D runs nothing without a compute shader either
    if (structured_slots[stage_compute]) bind_structured(stage_compute, stage_compute);
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
    glUseProgram(cs->program);
    glDispatchCompute(x, y, z);
    glUseProgram(0);
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
}

// ---- State, lists ------------------------------------------------------------------------

void GlContext::ClearState()
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

void GlContext::Flush()
{
    if (deferred) return;
    GlScope scope;
    glFlush();
}

void GlContext::ExecuteCommandList(ID3D11CommandList *list_interface, BOOL restore_state)
{
    auto *commands = as<GlCommandList>(list_interface);
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

HRESULT GlContext::FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list)
{
    (void)restore_state; // recording keeps no state of its own: each list starts from the defaults
    list->device = device;
    *out_list = list;
    list = new GlCommandList();
    list->device = device;
    maps.clear();
    return S_OK;
}

ID3D11DeviceContext *create_context(GlDevice *device, bool deferred)
{
    auto *context = new ContextFront<GlContext>(device, deferred);
    if (context->list) context->list->device = device;
    return context;
}

} // namespace tallow::d3d11::gl

// D3DRenderContext: draw batches (binding each stage's shader, constant buffers, views and
// samplers, and the unordered-access views of compute passes) and the geometry they draw.
#include "render/d3d11/d3d_render_context.h"
#include "render/d3d11/d3d_render_context_internal.h"

#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"
#include "render/commands/command_buffer.h"
#include "render/d3d11/d3d_render_state_builder.h"
#include "render/d3d11/d3d_resource_manager.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tallow::render::d3d11 {
namespace {

// The per-stage slot setters, in stage order (VS, HS, DS, GS, PS, CS).
struct StageSetters {
    void (ID3D11DeviceContext::*constant_buffers)(UINT, UINT, ID3D11Buffer *const *);
    void (ID3D11DeviceContext::*views)(UINT, UINT, ID3D11ShaderResourceView *const *);
    void (ID3D11DeviceContext::*samplers)(UINT, UINT, ID3D11SamplerState *const *);
};
using C = ID3D11DeviceContext;
const StageSetters stage_setters[stage_count] = {
    {&C::VSSetConstantBuffers, &C::VSSetShaderResources, &C::VSSetSamplers},
    {&C::HSSetConstantBuffers, &C::HSSetShaderResources, &C::HSSetSamplers},
    {&C::DSSetConstantBuffers, &C::DSSetShaderResources, &C::DSSetSamplers},
    {&C::GSSetConstantBuffers, &C::GSSetShaderResources, &C::GSSetSamplers},
    {&C::PSSetConstantBuffers, &C::PSSetShaderResources, &C::PSSetSamplers},
    {&C::CSSetConstantBuffers, &C::CSSetShaderResources, &C::CSSetSamplers},
};

} // namespace

void set_stage_shader(ID3D11DeviceContext *c, u32 stage, ID3D11DeviceChild *shader)
{
    switch (PassStage(stage)) {
    case PassStage::vertex: c->VSSetShader(static_cast<ID3D11VertexShader *>(shader), nullptr, 0); break;
    case PassStage::hull: c->HSSetShader(static_cast<ID3D11HullShader *>(shader), nullptr, 0); break;
    case PassStage::domain: c->DSSetShader(static_cast<ID3D11DomainShader *>(shader), nullptr, 0); break;
    case PassStage::geometry: c->GSSetShader(static_cast<ID3D11GeometryShader *>(shader), nullptr, 0); break;
    case PassStage::pixel: c->PSSetShader(static_cast<ID3D11PixelShader *>(shader), nullptr, 0); break;
    case PassStage::compute: c->CSSetShader(static_cast<ID3D11ComputeShader *>(shader), nullptr, 0); break;
    case PassStage::count: break;
    }
}

void set_stage_constant_buffers(ID3D11DeviceContext *c, u32 stage, u32 start, u32 count, ID3D11Buffer *const *buffers)
{
    (c->*stage_setters[stage].constant_buffers)(start, count, buffers);
}

void set_stage_views(ID3D11DeviceContext *c, u32 stage, u32 start, u32 count, ID3D11ShaderResourceView *const *views)
{
    (c->*stage_setters[stage].views)(start, count, views);
}

void set_stage_samplers(ID3D11DeviceContext *c, u32 stage, u32 start, u32 count, ID3D11SamplerState *const *samplers)
{
    (c->*stage_setters[stage].samplers)(start, count, samplers);
}

// ---- Draw batches -----------------------------------------------------------------------

void D3DRenderContext::draw_batch(const CommandView &command, i64 key)
{
    DrawBatchRecord batch;
    if (!read_payload(command, &batch)) {
        log_message(log_category, "draw batch of %u bytes is too short; skipped", command.payload_size);
        return;
    }
    const D3DShader *shader = _manager.shader(batch.shader);
    if (!shader)
        return; // released or never made: nothing to draw with
    const u32 high = u32(u64(key) >> 32);
    const u32 pass_number = shader->pass_mode() == 1 ? u32(i32(high) >> 20) & 7 : u32(key) & 7;
    const D3DShaderPass *pass = pass_number >= 1 ? shader->pass(pass_number - 1) : nullptr;
    if (!pass)
        return; // pass 0, or past the shader's passes: the draw is skipped

    bool force = false;
    if (pass != _pass) {
        _pass = pass;
        force = true;
        ID3D11RasterizerState *rasterizer = pass->rasterizer ? pass->rasterizer->state : nullptr;
        ID3D11DepthStencilState *depth = pass->depth_stencil ? pass->depth_stencil->state : nullptr;
        const u32 stencil_ref = pass->depth_stencil ? pass->depth_stencil->stencil.value : 0;
        ID3D11BlendState *blend = pass->blend ? pass->blend->state : nullptr;
        if (rasterizer != _rasterizer) {
            _context->RSSetState(rasterizer);
            _rasterizer = rasterizer;
        }
        if (depth != _depth_state || stencil_ref != _stencil_ref) {
            _context->OMSetDepthStencilState(depth, stencil_ref);
            _depth_state = depth;
            _stencil_ref = stencil_ref;
        }
        if (blend != _blend) {
            _context->OMSetBlendState(blend, nullptr, 0xFFFFFFFFu);
            _blend = blend;
        }
        // The sRGB choice of the targets follows the pass's blend object.
        _targets_dirty = true;
    }
    if (_targets_dirty)
        apply_targets(pass);

    // The draw's constants: its copy in the record, or the slot's own block, each bounded
    // by the size the record gives. Without them the stage's constant buffers and
    // resources are bound as none (bind_stage), never left with another draw's bytes.
    const u8 *block = nullptr;
    u32 block_size = 0;
    if (batch.constants_offset != 0) {
        if (batch.constants_offset <= command.payload_size &&
            batch.constant_size_bytes <= command.payload_size - batch.constants_offset) {
            block = command.payload + batch.constants_offset;
            block_size = batch.constant_size_bytes;
        } else {
            log_message(log_category, "draw batch constants run past the record; bound as none");
        }
    } else if (batch.constant_block) {
        block = static_cast<const u8 *>(batch.constant_block);
        block_size = batch.constant_size_bytes;
    }

    for (u32 s = 0; s < stage_count; ++s) {
        const D3DShaderStage *stage = pass->stage(PassStage(s));
        if (stage) {
            if (force || _shaders[s] != stage->shader) {
                set_stage_shader(_context, s, stage->shader);
                _shaders[s] = stage->shader;
                bind_samplers(s, *stage);
            }
            bind_stage(s, *stage, block, block_size);
            if (s == compute_stage) {
                bind_unordered_views(*stage, block, block_size);
                _context->Dispatch(batch.thread_groups[0], batch.thread_groups[1], batch.thread_groups[2]);
            }
        } else if (_shaders[s]) {
            unbind_stage(s);
        }
    }
    if (batch.primitive_count == 0)
        return;

    bool indexed = false;
    if (!bind_geometry(batch, command, *pass, indexed))
        return;

    i32 topology;
    if (pass->stage(PassStage::hull) && pass->stage(PassStage::domain))
        topology = D3D11_PRIMITIVE_TOPOLOGY_3_CONTROL_POINT_PATCHLIST;
    else if (batch.primitive_type == 0)
        topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
    else if (batch.primitive_type == 1)
        topology = D3D11_PRIMITIVE_TOPOLOGY_LINELIST;
    else {
        log_message(log_category, "draw batch with primitive type %u; skipped", batch.primitive_type);
        return;
    }
    if (topology != _topology) {
        _context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY(topology));
        _topology = topology;
    }

    if (indexed) {
        const u32 per_primitive = batch.primitive_type == 0 ? 3 : 2;
        const u32 index_count = per_primitive * batch.primitive_count;
        if (batch.instance_count == 1)
            _context->DrawIndexed(index_count, batch.start_index, INT(batch.start_vertex));
        else
            _context->DrawIndexedInstanced(index_count, batch.instance_count, batch.start_index,
                                           INT(batch.start_vertex), 0);
    } else if (batch.instance_count == 1) {
        _context->Draw(batch.vertex_count, batch.start_vertex);
    } else {
        _context->DrawInstanced(batch.vertex_count, batch.instance_count, batch.start_vertex, 0);
    }
}

void D3DRenderContext::unbind_stage(u32 s)
{
    // A dropped stage takes its bindings with it, so what a draw runs with never depends
    // on which draws came before it on this context (a deferred range starts empty).
    set_stage_shader(_context, s, nullptr);
    _shaders[s] = nullptr;
    if (_constant_slots[s]) {
        ID3D11Buffer *none[max_constant_buffer_slots] = {};
        set_stage_constant_buffers(_context, s, 0, _constant_slots[s], none);
        _constant_slots[s] = 0;
    }
    if (!_stage_views[s].empty()) {
        Array<ID3D11ShaderResourceView *> &views = _stage_views[s];
        for (ID3D11ShaderResourceView *&view : views)
            view = nullptr;
        set_stage_views(_context, s, 0, views.size(), views.data());
        views.clear();
    }
    if (_sampler_slots[s]) {
        ID3D11SamplerState *none[D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT] = {};
        set_stage_samplers(_context, s, 0, _sampler_slots[s], none);
        _sampler_slots[s] = 0;
    }
    if (s == compute_stage && _unordered_count) {
        ID3D11UnorderedAccessView *none[context_unordered_slots] = {};
        _context->CSSetUnorderedAccessViews(0, _unordered_count, none, nullptr);
        memset(_unordered_serials, 0, sizeof _unordered_serials);
        memset(_unordered_views, 0, sizeof _unordered_views);
        _unordered_count = 0;
    }
}

void D3DRenderContext::bind_samplers(u32 s, const D3DShaderStage &stage)
{
    const auto *set = static_cast<const StageConstantBuffers *>(stage.binding.constant_buffers);
    ID3D11SamplerState *samplers[D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT] = {};
    u32 count = 0;
    for (u32 i = 0; i < stage.binding.samplers.size(); ++i) {
        u32 slot = set && i < set->sampler_slots.size() ? set->sampler_slots[i]
                   : stage.desc && i < stage.desc->sampler_count ? stage.desc->samplers[i].slot
                                                                 : no_block_offset;
        if (slot >= D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT)
            continue;
        const SamplerStateObject *object = stage.binding.samplers[i];
        samplers[slot] = object ? object->state : nullptr;
        if (slot + 1 > count)
            count = slot + 1;
    }
    // Slots the previous shader used and this one does not are cleared too.
    const u32 n = count > _sampler_slots[s] ? count : _sampler_slots[s];
    if (n)
        set_stage_samplers(_context, s, 0, n, samplers);
    _sampler_slots[s] = count;
}

const RenderTargetRecord *D3DRenderContext::copy_of(const RenderTargetRecord &record)
{
    RenderTargetRecord *copy = _manager.copy_cache().find_or_create(record.desc);
    if (!copy)
        return nullptr;
    if (_copy_counter != 0) {
        ID3D11Resource *to = copy->object ? copy->object->resource() : nullptr;
        ID3D11Resource *from = record.object ? record.object->resource() : nullptr;
        if (to && from)
            _context->CopyResource(to, from);
        if (_copy_counter > 0)
            --_copy_counter;
    }
    return copy;
}

void D3DRenderContext::bind_stage(u32 s, const D3DShaderStage &stage, const u8 *block, u32 block_size)
{
    const auto *set = static_cast<const StageConstantBuffers *>(stage.binding.constant_buffers);
    if (!set)
        return;

    // A buffer this draw has no bytes for is bound as none: left bound, it would still
    // hold what the previous draw wrote into it.
    ID3D11Buffer *buffers[max_constant_buffer_slots] = {};
    for (const StageConstantBuffers::Entry &entry : set->entries) {
        ID3D11Buffer *buffer = entry.buffer ? entry.buffer->buffer.get() : nullptr;
        if (!block || entry.block_offset > block_size || entry.size_bytes > block_size - entry.block_offset)
            continue;
        update_constant_buffer(_context, buffer, block + entry.block_offset, entry.size_bytes);
        buffers[entry.slot] = buffer;
    }
    const u32 constant_count = set->slot_count > _constant_slots[s] ? set->slot_count : _constant_slots[s];
    if (constant_count)
        set_stage_constant_buffers(_context, s, 0, constant_count, buffers);
    _constant_slots[s] = set->slot_count;

    const StageResourceLayout *layout = set->layout;
    ID3D11ShaderResourceView *views[D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT] = {};
    u32 view_count = 0;
    for (u32 i = 0; i < set->resource_slots.size(); ++i) {
        const u32 slot = set->resource_slots[i];
        if (slot >= D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT)
            continue;
        if (slot + 1 > view_count)
            view_count = slot + 1;
        const u32 offset = layout && layout->resource_offsets ? layout->resource_offsets[i] : no_block_offset;
        if (!block || offset == no_block_offset || offset > block_size || block_size - offset < sizeof(u32))
            continue;
        RenderResourceHandle handle;
        memcpy(&handle, block + offset, sizeof handle);
        if (handle == invalid_render_handle)
            continue;
        const bool srgb = i < stage.binding.srgb_flags.size() && stage.binding.srgb_flags[i];
        if (render_kind_of(handle) == render_handle_kind::render_target) {
            const RenderTargetRecord *record = _manager.render_target(handle);
            if (!record)
                continue;
            unbind_record_unordered(record);
            if (is_bound_as_output(record)) {
                // A depth target bound for writing cannot be read: Direct3D would force the
                // view to null, so it is null here on purpose. A colour target is read
                // through its copy.
                if (record->is_depth)
                    continue;
                record = copy_of(*record);
                if (!record)
                    continue;
            }
            ID3D11ShaderResourceView *view = srgb ? record->srgb_view.get() : nullptr;
            views[slot] = view ? view : record->linear_view.get();
        } else if (render_kind_of(handle) == render_handle_kind::texture) {
            const TextureRecord *record = _manager.texture(handle);
            if (!record)
                continue;
            ID3D11ShaderResourceView *view = srgb ? record->srgb_view.get() : nullptr;
            views[slot] = view ? view : record->linear_view.get();
        }
    }
    Array<ID3D11ShaderResourceView *> &bound = _stage_views[s];
    const u32 n = view_count > bound.size() ? view_count : bound.size();
    if (n)
        set_stage_views(_context, s, 0, n, views);
    bound.resize(view_count);
    for (u32 i = 0; i < view_count; ++i)
        bound[i] = views[i];
}

void D3DRenderContext::unbind_record_unordered(const RenderTargetRecord *record)
{
    if (!record || record->serial == 0)
        return;
    for (u32 i = 0; i < context_unordered_slots; ++i) {
        if (_unordered_serials[i] == record->serial) {
            _unordered_serials[i] = 0;
            _unordered_views[i] = nullptr;
            ID3D11UnorderedAccessView *none = nullptr;
            _context->CSSetUnorderedAccessViews(i, 1, &none, nullptr);
        }
    }
}

void D3DRenderContext::bind_unordered_views(const D3DShaderStage &stage, const u8 *block, u32 block_size)
{
    const auto *set = static_cast<const StageConstantBuffers *>(stage.binding.constant_buffers);
    const StageResourceLayout *layout = set ? set->layout : nullptr;
    if (!layout || layout->unordered_view_count == 0)
        return;
    ID3D11UnorderedAccessView *views[context_unordered_slots] = {};
    const RenderTargetRecord *records[context_unordered_slots] = {};
    u32 count = 0;
    for (u32 i = 0; i < layout->unordered_view_count; ++i) {
        const ShaderBindingDesc &binding = layout->unordered_views[i];
        if (binding.slot >= context_unordered_slots)
            continue;
        if (binding.slot + 1 > count)
            count = binding.slot + 1;
        const u32 offset = binding.name_id;
        if (!block || offset > block_size || block_size - offset < sizeof(u32))
            continue;
        RenderResourceHandle handle;
        memcpy(&handle, block + offset, sizeof handle);
        if (render_kind_of(handle) != render_handle_kind::render_target)
            continue;
        const RenderTargetRecord *record = _manager.render_target(handle);
        if (!record)
            continue;
        records[binding.slot] = record;
        views[binding.slot] = record->unordered_view.get();
    }
    for (u32 i = 0; i < count; ++i) {
        const RenderTargetRecord *record = records[i];
        if (!record)
            continue;
        // A target written through an unordered view is neither read nor an output.
        unbind_record(record);
        for (TargetSlot &slot : _colour)
            if (record->serial != 0 && slot.serial == record->serial) {
                slot = {};
                _targets_dirty = true;
            }
        if (record->serial != 0 && _depth.serial == record->serial) {
            _depth = {};
            _targets_dirty = true;
        }
    }
    if (_targets_dirty)
        apply_targets(nullptr);
    const u32 n = count > _unordered_count ? count : _unordered_count;
    _context->CSSetUnorderedAccessViews(0, n, views, nullptr);
    memcpy(_unordered_views, views, sizeof views);
    for (u32 i = 0; i < context_unordered_slots; ++i)
        _unordered_serials[i] = records[i] ? records[i]->serial : 0;
    _unordered_count = count;
}

// ---- Geometry ----------------------------------------------------------------------------

ID3D11InputLayout *D3DRenderContext::input_layout_for(RenderResourceHandle declaration, const D3DShaderPass &pass)
{
    const VertexDeclarationRecord *record = _manager.vertex_declaration(declaration);
    const D3DShaderStage *vertex = pass.stage(PassStage::vertex);
    if (!record || !vertex || !vertex->desc)
        return nullptr;
    auto *shader = static_cast<ID3D11VertexShader *>(vertex->shader);
    for (const InputLayoutPair &pair : record->layouts)
        if (pair.vertex_shader == shader)
            return pair.layout;
    for (const NewInputLayout &entry : _new_layouts)
        if (entry.declaration == declaration && entry.vertex_shader == shader)
            return entry.layout;
    ID3D11InputLayout *layout = _manager.caches().get_input_layout(
        vertex->desc->code, vertex->desc->code_size, record->elements.data(), record->elements.size());
    if (!_new_layouts.push_back({declaration, shader, layout})) {
        _manager.caches().release_input_layout(layout);
        return nullptr;
    }
    return layout;
}

bool D3DRenderContext::bind_geometry(const DrawBatchRecord &batch, const CommandView &command,
                                     const D3DShaderPass &pass, bool &out_indexed)
{
    ID3D11Buffer *buffers[max_vertex_streams] = {};
    UINT strides[max_vertex_streams] = {};
    UINT offsets[max_vertex_streams] = {};
    u32 stream = 0;
    ID3D11InputLayout *layout = nullptr;
    ID3D11Buffer *index_buffer = nullptr;
    DXGI_FORMAT index_format = DXGI_FORMAT_UNKNOWN;
    u32 index_offset = 0;

    for (u32 i = 0; i < batch.binding_count; ++i) {
        GeometryBinding item;
        if (!read_payload(command, &item, batch.bindings_offset + i * u32(sizeof(GeometryBinding)))) {
            log_message(log_category, "draw batch geometry runs past the record; skipped");
            return false;
        }
        if (item.kind == u32(RenderResourceType::VertexBuffer)) {
            if (stream >= max_vertex_streams) {
                log_message(log_category, "draw batch with more than %u vertex streams; the rest ignored",
                            max_vertex_streams);
                continue;
            }
            // Vertex slot i is the i-th vertex buffer of the batch.
            const u32 slot = stream++;
            const BufferRecord *record = _manager.vertex_buffer(item.handle);
            if (!record || !record->alive)
                continue;
            strides[slot] = record->stride;
            if (record->cpu_side) {
                u32 position = 0;
                if (_vertex_ring.append(_context, *record, position)) {
                    buffers[slot] = _vertex_ring.buffer();
                    offsets[slot] = record->stride * position;
                }
            } else {
                buffers[slot] = record->object ? record->object->buffer.get() : nullptr;
            }
        } else if (item.kind == u32(RenderResourceType::IndexBuffer)) {
            const BufferRecord *record = _manager.index_buffer(item.handle);
            if (!record || !record->alive)
                continue;
            index_format = record->index_format;
            const u32 size = index_format == DXGI_FORMAT_R16_UINT ? 2 : 4;
            if (record->cpu_side) {
                u32 position = 0;
                if (!_index_ring.append(_context, *record, position))
                    continue;
                index_buffer = _index_ring.buffer();
                index_offset = size * position;
            } else {
                index_buffer = record->object ? record->object->buffer.get() : nullptr;
            }
            out_indexed = true;
        } else if (item.kind == u32(RenderResourceType::VertexDeclaration)) {
            layout = input_layout_for(item.handle, pass);
        }
    }

    if (index_buffer != _index_buffer || index_format != _index_format || index_offset != _index_offset) {
        _context->IASetIndexBuffer(index_buffer, index_format, index_offset);
        _index_buffer = index_buffer;
        _index_format = index_format;
        _index_offset = index_offset;
    }
    if (layout != _input_layout) {
        _context->IASetInputLayout(layout);
        _input_layout = layout;
    }
    if (memcmp(buffers, _vertex_buffers, sizeof buffers) != 0 || memcmp(strides, _strides, sizeof strides) != 0 ||
        memcmp(offsets, _offsets, sizeof offsets) != 0) {
        _context->IASetVertexBuffers(0, max_vertex_streams, buffers, strides, offsets);
        memcpy(_vertex_buffers, buffers, sizeof buffers);
        memcpy(_strides, strides, sizeof strides);
        memcpy(_offsets, offsets, sizeof offsets);
    }
    return true;
}

} // namespace tallow::render::d3d11

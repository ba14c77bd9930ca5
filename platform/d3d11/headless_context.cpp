// Headless contexts: a state machine per context, a journal of every call and a draw record
// with the whole bound state at every draw or dispatch (headless_context_internal.h describes
// how deferred contexts replay).
#include "platform/d3d11/headless_context_internal.h"

#include <cstring>

namespace tallow::d3d11 {

HeadlessContext::HeadlessContext(HeadlessDevice *device, bool deferred)
    : Child(deferred ? ObjectKind::deferred_context : ObjectKind::immediate_context, device), deferred(deferred),
      journal_on(device_journal_enabled(device)), keep_texels(device_keeps_texels(device))
{
}

// ---- Journal -----------------------------------------------------------------------------

void HeadlessContext::log(ContextOp op, std::vector<u64> objects, std::vector<f64> args)
{
    if (!journal_on) return;
    std::lock_guard lock(journal_mutex);
    journal.push_back({op, std::move(objects), std::move(args)});
}

// ---- Stage bindings ----------------------------------------------------------------------

bool HeadlessContext::bad_range(UINT start, UINT count, UINT slots)
{
    return start > slots || count > slots - start; // refused by the front
}

template <class Interface, size_t slot_count>
void HeadlessContext::set_slots(ContextOp op, Stage stage, std::array<Held, slot_count> StageBindings::*slots,
                                UINT start, UINT count, Interface *const *objects)
{
    Enter enter(*this);
    if (bad_range(start, count, slot_count)) return;
    std::vector<u64> ids;
    std::vector<Interface *> kept;
    std::array<Held, slot_count> &bound = state.stages[static_cast<u32>(stage)].*slots;
    for (UINT i = 0; i < count; ++i) {
        Interface *interface = objects ? objects[i] : nullptr;
        kept.push_back(interface);
        name(interface);
        ids.push_back(id_of(interface));
        bound[start + i] = base_of(interface);
    }
    log(op, ids, {f64(static_cast<u32>(stage)), f64(start), f64(count)});
    defer([op, stage, slots, start, count, kept](HeadlessContext &c) {
        c.set_slots(op, stage, slots, start, count, kept.data());
    });
}

void HeadlessContext::set_resources(Stage stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views)
{
    set_slots(ContextOp::set_shader_resources, stage, &StageBindings::resources, start, count, views);
}

void HeadlessContext::set_constant_buffers(Stage stage, UINT start, UINT count, ID3D11Buffer *const *buffers)
{
    set_slots(ContextOp::set_constant_buffers, stage, &StageBindings::constant_buffers, start, count, buffers);
}

void HeadlessContext::set_samplers(Stage stage, UINT start, UINT count, ID3D11SamplerState *const *samplers)
{
    set_slots(ContextOp::set_samplers, stage, &StageBindings::samplers, start, count, samplers);
}

void HeadlessContext::set_shader(Stage stage, IUnknown *shader)
{
    Enter enter(*this);
    state.stages[static_cast<u32>(stage)].shader = base_of(shader);
    log(ContextOp::set_shader, {id_of(shader)}, {f64(static_cast<u32>(stage))});
    name(shader);
    defer([stage, shader](HeadlessContext &c) { c.set_shader(stage, shader); });
}

void HeadlessContext::unbind_shader_resource(u32 stage, UINT slot)
{
    Enter enter(*this);
    if (stage >= stage_count || slot >= srv_slots) return;
    state.stages[stage].resources[slot] = nullptr;
    defer([stage, slot](HeadlessContext &c) { c.unbind_shader_resource(stage, slot); });
}

// ---- Stage methods -----------------------------------------------------------------------

void HeadlessContext::CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView *const *views,
                               const UINT *initial_counts)
{
    Enter enter(*this);
    if (bad_range(start, count, uav_slots)) return;
    std::vector<u64> ids;
    std::vector<ID3D11UnorderedAccessView *> kept;
    for (UINT i = 0; i < count; ++i) {
        ID3D11UnorderedAccessView *view = views ? views[i] : nullptr;
        kept.push_back(view);
        name(view);
        state.uavs[start + i] = base_of(view);
        ids.push_back(id_of(view));
    }
    (void)initial_counts;
    log(ContextOp::set_unordered_access_views, ids, {f64(start), f64(count)});
    defer([start, count, kept](HeadlessContext &c) {
        c.CSSetUnorderedAccessViews(start, count, kept.data(), nullptr);
    });
}

// ---- Input assembler ---------------------------------------------------------------------

void HeadlessContext::IASetInputLayout(ID3D11InputLayout *layout)
{
    Enter enter(*this);
    state.input_layout = base_of(layout);
    log(ContextOp::set_input_layout, {id_of(layout)}, {});
    name(layout);
    defer([layout](HeadlessContext &c) { c.IASetInputLayout(layout); });
}

void HeadlessContext::IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides,
                        const UINT *offsets)
{
    Enter enter(*this);
    if (bad_range(start, count, vb_slots)) return;
    std::vector<u64> ids;
    std::vector<f64> args = {f64(start), f64(count)};
    std::vector<ID3D11Buffer *> kept_buffers;
    std::vector<UINT> kept_strides, kept_offsets;
    for (UINT i = 0; i < count; ++i) {
        ID3D11Buffer *buffer = buffers ? buffers[i] : nullptr;
        UINT stride = strides ? strides[i] : 0;
        UINT offset = offsets ? offsets[i] : 0;
        state.vertex_buffers[start + i] = {base_of(buffer), stride, offset};
        ids.push_back(id_of(buffer));
        args.push_back(stride);
        args.push_back(offset);
        kept_buffers.push_back(buffer);
        name(buffer);
        kept_strides.push_back(stride);
        kept_offsets.push_back(offset);
    }
    log(ContextOp::set_vertex_buffers, ids, args);
    defer([start, count, kept_buffers, kept_strides, kept_offsets](HeadlessContext &c) {
        c.IASetVertexBuffers(start, count, kept_buffers.data(), kept_strides.data(), kept_offsets.data());
    });
}

void HeadlessContext::IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset)
{
    Enter enter(*this);
    state.index_buffer = base_of(buffer);
    state.index_format = format;
    state.index_offset = offset;
    log(ContextOp::set_index_buffer, {id_of(buffer)}, {f64(format), f64(offset)});
    name(buffer);
    defer([buffer, format, offset](HeadlessContext &c) { c.IASetIndexBuffer(buffer, format, offset); });
}

void HeadlessContext::IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology)
{
    Enter enter(*this);
    state.topology = topology;
    log(ContextOp::set_primitive_topology, {}, {f64(topology)});
    defer([topology](HeadlessContext &c) { c.IASetPrimitiveTopology(topology); });
}

// ---- Output merger and rasteriser --------------------------------------------------------

void HeadlessContext::OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth)
{
    Enter enter(*this);
    if (count > rt_slots) return; // refused by the front
    std::vector<u64> ids;
    std::vector<ID3D11RenderTargetView *> kept;
    state.render_targets = {};
    for (UINT i = 0; i < count; ++i) {
        ID3D11RenderTargetView *view = views ? views[i] : nullptr;
        kept.push_back(view);
        state.render_targets[i] = base_of(view);
        ids.push_back(id_of(view));
    }
    state.depth_stencil_view = base_of(depth);
    ids.push_back(id_of(depth));
    log(ContextOp::set_render_targets, ids, {f64(count)});
    for (ID3D11RenderTargetView *view : kept) name(view);
    name(depth);
    defer([count, kept, depth](HeadlessContext &c) { c.OMSetRenderTargets(count, kept.data(), depth); });
}

void HeadlessContext::OMSetBlendState(ID3D11BlendState *blend, const FLOAT blend_factor[4], UINT sample_mask)
{
    Enter enter(*this);
    state.blend = base_of(blend);
    std::array<f32, 4> factor{1, 1, 1, 1};
    if (blend_factor) factor = {blend_factor[0], blend_factor[1], blend_factor[2], blend_factor[3]};
    state.blend_factor = factor;
    state.sample_mask = sample_mask;
    log(ContextOp::set_blend_state, {id_of(blend)}, {factor[0], factor[1], factor[2], factor[3], f64(sample_mask)});
    name(blend);
    defer([blend, factor, sample_mask](HeadlessContext &c) { c.OMSetBlendState(blend, factor.data(), sample_mask); });
}

void HeadlessContext::OMSetDepthStencilState(ID3D11DepthStencilState *depth_stencil, UINT stencil_ref)
{
    Enter enter(*this);
    state.depth_stencil = base_of(depth_stencil);
    state.stencil_ref = stencil_ref;
    log(ContextOp::set_depth_stencil_state, {id_of(depth_stencil)}, {f64(stencil_ref)});
    name(depth_stencil);
    defer([depth_stencil, stencil_ref](HeadlessContext &c) { c.OMSetDepthStencilState(depth_stencil, stencil_ref); });
}

void HeadlessContext::RSSetState(ID3D11RasterizerState *rasterizer)
{
    Enter enter(*this);
    state.rasterizer = base_of(rasterizer);
    log(ContextOp::set_rasterizer_state, {id_of(rasterizer)}, {});
    name(rasterizer);
    defer([rasterizer](HeadlessContext &c) { c.RSSetState(rasterizer); });
}

void HeadlessContext::RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports)
{
    Enter enter(*this);
    if (bad_range(0, count, viewport_slots) || (count && !viewports)) return; // refused by the front
    state.viewports.assign(viewports, viewports + count);
    std::vector<f64> args = {f64(count)};
    for (const D3D11_VIEWPORT &v : state.viewports)
        args.insert(args.end(), {v.TopLeftX, v.TopLeftY, v.Width, v.Height, v.MinDepth, v.MaxDepth});
    log(ContextOp::set_viewports, {}, args);
    defer([kept = state.viewports](HeadlessContext &c) { c.RSSetViewports(UINT(kept.size()), kept.data()); });
}

void HeadlessContext::RSSetScissorRects(UINT count, const D3D11_RECT *rects)
{
    Enter enter(*this);
    if (bad_range(0, count, viewport_slots) || (count && !rects)) return; // refused by the front
    state.scissors.assign(rects, rects + count);
    std::vector<f64> args = {f64(count)};
    for (const D3D11_RECT &r : state.scissors)
        args.insert(args.end(), {f64(r.left), f64(r.top), f64(r.right), f64(r.bottom)});
    log(ContextOp::set_scissor_rects, {}, args);
    defer([kept = state.scissors](HeadlessContext &c) { c.RSSetScissorRects(UINT(kept.size()), kept.data()); });
}

// ---- Draws -------------------------------------------------------------------------------

void HeadlessContext::record_draw(DrawRecord record)
{
    if (!journal_on) return;
    for (u32 i = 0; i < rt_slots; ++i) record.render_targets[i] = id_of(state.render_targets[i]);
    record.depth_stencil_view = id_of(state.depth_stencil_view);
    for (const D3D11_VIEWPORT &v : state.viewports)
        record.viewports.push_back({v.TopLeftX, v.TopLeftY, v.Width, v.Height, v.MinDepth, v.MaxDepth});
    for (const D3D11_RECT &r : state.scissors) record.scissors.push_back({r.left, r.top, r.right, r.bottom});
    record.rasterizer_state = id_of(state.rasterizer);
    record.depth_stencil_state = id_of(state.depth_stencil);
    record.stencil_ref = state.stencil_ref;
    record.blend_state = id_of(state.blend);
    record.blend_factor = state.blend_factor;
    record.sample_mask = state.sample_mask;
    for (u32 s = 0; s < stage_count; ++s) {
        const StageBindings &from = state.stages[s];
        StageSnapshot &to = record.stages[s];
        to.shader = id_of(from.shader);
        for (u32 i = 0; i < srv_slots; ++i) to.resources[i] = id_of(from.resources[i]);
        for (u32 i = 0; i < sampler_slots; ++i) to.samplers[i] = id_of(from.samplers[i]);
        for (u32 i = 0; i < cb_slots; ++i) {
            to.constant_buffers[i] = id_of(from.constant_buffers[i]);
            ResourceData *data = data_of(from.constant_buffers[i]);
            if (!data) continue;
            std::lock_guard lock(data->bytes_mutex);
            to.constant_bytes[i] = data->subresources[0].bytes;
        }
    }
    for (u32 i = 0; i < uav_slots; ++i) record.unordered_access_views[i] = id_of(state.uavs[i]);
    for (u32 i = 0; i < vb_slots; ++i) {
        const VertexSlot &slot = state.vertex_buffers[i];
        record.vertex_buffers[i] = {id_of(slot.buffer), slot.stride, slot.offset};
    }
    record.index_buffer = id_of(state.index_buffer);
    record.index_format = state.index_format;
    record.index_offset = state.index_offset;
    record.input_layout = id_of(state.input_layout);
    record.topology = state.topology;
    std::lock_guard lock(journal_mutex);
    draws.push_back(std::move(record));
}

void HeadlessContext::Draw(UINT vertex_count, UINT start_vertex)
{
    Enter enter(*this);
    log(ContextOp::draw, {}, {f64(vertex_count), f64(start_vertex)});
    defer([=](HeadlessContext &c) { c.Draw(vertex_count, start_vertex); });
    if (!journal_on) return; // a draw record is large, and kept only for the journal
    DrawRecord record;
    record.op = ContextOp::draw;
    record.vertex_count = vertex_count;
    record.start = start_vertex;
    record_draw(std::move(record));
}

void HeadlessContext::DrawIndexed(UINT index_count, UINT start_index, INT base_vertex)
{
    Enter enter(*this);
    log(ContextOp::draw_indexed, {}, {f64(index_count), f64(start_index), f64(base_vertex)});
    defer([=](HeadlessContext &c) { c.DrawIndexed(index_count, start_index, base_vertex); });
    if (!journal_on) return; // a draw record is large, and kept only for the journal
    DrawRecord record;
    record.op = ContextOp::draw_indexed;
    record.vertex_count = index_count;
    record.start = start_index;
    record.base_vertex = base_vertex;
    record_draw(std::move(record));
}

void HeadlessContext::DrawInstanced(UINT per_instance, UINT instances, UINT start_vertex, UINT start_instance)
{
    Enter enter(*this);
    log(ContextOp::draw_instanced, {}, {f64(per_instance), f64(instances), f64(start_vertex), f64(start_instance)});
    defer([=](HeadlessContext &c) { c.DrawInstanced(per_instance, instances, start_vertex, start_instance); });
    if (!journal_on) return; // a draw record is large, and kept only for the journal
    DrawRecord record;
    record.op = ContextOp::draw_instanced;
    record.vertex_count = per_instance;
    record.instance_count = instances;
    record.start = start_vertex;
    record.start_instance = start_instance;
    record_draw(std::move(record));
}

void HeadlessContext::DrawIndexedInstanced(UINT per_instance, UINT instances, UINT start_index, INT base_vertex,
                          UINT start_instance)
{
    Enter enter(*this);
    log(ContextOp::draw_indexed_instanced, {},
        {f64(per_instance), f64(instances), f64(start_index), f64(base_vertex), f64(start_instance)});
    defer([=](HeadlessContext &c) {
        c.DrawIndexedInstanced(per_instance, instances, start_index, base_vertex, start_instance);
    });
    if (!journal_on) return; // a draw record is large, and kept only for the journal
    DrawRecord record;
    record.op = ContextOp::draw_indexed_instanced;
    record.vertex_count = per_instance;
    record.instance_count = instances;
    record.start = start_index;
    record.base_vertex = base_vertex;
    record.start_instance = start_instance;
    record_draw(std::move(record));
}

void HeadlessContext::Dispatch(UINT x, UINT y, UINT z)
{
    Enter enter(*this);
    log(ContextOp::dispatch, {}, {f64(x), f64(y), f64(z)});
    defer([=](HeadlessContext &c) { c.Dispatch(x, y, z); });
    if (!journal_on) return; // a draw record is large, and kept only for the journal
    DrawRecord record;
    record.op = ContextOp::dispatch;
    record.vertex_count = 0;
    record.instance_count = 0;
    record.groups[0] = x, record.groups[1] = y, record.groups[2] = z;
    record_draw(std::move(record));
}

// ---- Control -----------------------------------------------------------------------------

void HeadlessContext::ClearState()
{
    Enter enter(*this);
    state = PipelineState{};
    log(ContextOp::clear_state, {}, {});
    defer([](HeadlessContext &c) { c.ClearState(); });
}

void HeadlessContext::Flush()
{
    Enter enter(*this);
    log(ContextOp::flush, {}, {});
}

D3D11_DEVICE_CONTEXT_TYPE HeadlessContext::GetType()
{
    return deferred ? D3D11_DEVICE_CONTEXT_DEFERRED : D3D11_DEVICE_CONTEXT_IMMEDIATE;
}

void HeadlessContext::ExecuteCommandList(ID3D11CommandList *list, BOOL restore_state)
{
    Enter enter(*this);
    ObjectBase *object = base_of(list);
    log(ContextOp::execute_command_list, {object->id}, {f64(restore_state)});
    PipelineState saved;
    if (restore_state) saved = state;
    state = PipelineState{};
    // A list may name objects the engine released after recording (the list keeps them
    // in Direct3D, and the front lets their Map through); their bytes are gone, so a
    // replayed Map writes nowhere.
    for (Command &command : static_cast<HeadlessCommandList *>(object)->commands) command(*this);
    state = restore_state ? saved : PipelineState{};
}

HRESULT HeadlessContext::FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list)
{
    Enter enter(*this);
    for (PendingMap &pending : maps) take_back_scratch(pending);
    maps.clear(); // maps still open are reported by the front and dropped
    if (!begin_create(ObjectKind::command_list)) return E_OUTOFMEMORY;
    auto *list = new HeadlessCommandList(device);
    list->commands = std::move(commands);
    commands.clear();
    list->named = std::move(named);
    named.clear();
    register_object(list);
    log(ContextOp::finish_command_list, {list->id}, {f64(restore_state)});
    if (!restore_state) state = PipelineState{};
    *out_list = list;
    return S_OK;
}

void HeadlessContext::on_final_release()
{
    std::vector<Command>().swap(commands);
    std::vector<Held>().swap(named);
    state = PipelineState{};
    for (PendingMap &pending : maps) take_back_scratch(pending);
    maps.clear();
    for (std::vector<u8> &block : spare_scratch) count_storage(-i64(block.size()));
    std::vector<std::vector<u8>>().swap(spare_scratch);
    std::lock_guard lock(journal_mutex);
    std::vector<JournalEntry>().swap(journal);
    std::vector<DrawRecord>().swap(draws);
}

namespace {

HeadlessContext *context_of(ID3D11DeviceContext *context)
{
    ObjectBase *object = base_of(context);
    if (!object || (object->kind != ObjectKind::immediate_context && object->kind != ObjectKind::deferred_context))
        return nullptr;
    return static_cast<HeadlessContext *>(object);
}

} // namespace

ID3D11DeviceContext *create_context(HeadlessDevice *device, bool deferred)
{
    auto *context = new ContextFront<HeadlessContext>(device, deferred);
    register_object(context);
    return context;
}

std::vector<JournalEntry> headless_journal(ID3D11DeviceContext *context)
{
    HeadlessContext *c = context_of(context);
    if (!c) return {};
    std::lock_guard lock(c->journal_mutex);
    return c->journal;
}

std::vector<DrawRecord> headless_draws(ID3D11DeviceContext *context)
{
    HeadlessContext *c = context_of(context);
    if (!c) return {};
    std::lock_guard lock(c->journal_mutex);
    return c->draws;
}

void headless_clear_journal(ID3D11DeviceContext *context)
{
    HeadlessContext *c = context_of(context);
    if (!c) return;
    std::lock_guard lock(c->journal_mutex);
    c->journal.clear();
    c->draws.clear();
}

const char *to_string(ContextOp op)
{
    static const char *const names[] = {
        "set_constant_buffers", "set_shader_resources", "set_samplers", "set_shader", "set_unordered_access_views",
        "set_input_layout", "set_vertex_buffers", "set_index_buffer", "set_primitive_topology", "set_render_targets",
        "set_blend_state", "set_depth_stencil_state", "set_rasterizer_state", "set_viewports", "set_scissor_rects",
        "draw", "draw_indexed", "draw_instanced", "draw_indexed_instanced", "dispatch", "map", "unmap",
        "update_subresource", "copy_resource", "copy_subresource_region", "clear_render_target_view",
        "clear_depth_stencil_view", "clear_state", "flush", "execute_command_list", "finish_command_list"};
    u32 index = static_cast<u32>(op);
    return index < sizeof names / sizeof names[0] ? names[index] : "unknown";
}

} // namespace tallow::d3d11

// Headless contexts: a state machine per context, a journal of every call, a draw record
// with the whole bound state at every draw or dispatch, and bytes moved by Map, Update, Copy
// and clears. A deferred context runs the same state machine for its own journal and also
// keeps each call as a closure; executing its command list replays the closures through the
// immediate context, so both journals show the same calls.
#include "platform/d3d11/headless_internal.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>
#include <unordered_set>

namespace tallow::d3d11 {
namespace {

constexpr u32 stage_count = static_cast<u32>(Stage::count);
constexpr u32 srv_slots = D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT;
constexpr u32 cb_slots = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT;
constexpr u32 sampler_slots = D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT;
constexpr u32 uav_slots = D3D11_PS_CS_UAV_REGISTER_COUNT;
constexpr u32 vb_slots = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT;
constexpr u32 rt_slots = D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT;
constexpr u32 viewport_slots = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;

ObjectBase *base_of(IUnknown *object) { return object ? dynamic_cast<ObjectBase *>(object) : nullptr; }
u64 id_of(IUnknown *object)
{
    ObjectBase *base = base_of(object);
    return base ? base->id : 0;
}
u64 id_of(ObjectBase *object) { return object ? object->id : 0; }

ResourceData *data_of(ObjectBase *object) { return resource_data_of(object); }
const ViewRange *range_of(ObjectBase *object) { return view_range_of(object); }

/// True when the shader-resource view `input` reads subresources the output view writes.
bool overlaps(const ViewRange &input, const ViewRange &output)
{
    if (input.resource != output.resource) return false;
    bool slices = input.first_slice < output.first_slice + output.slice_count &&
                  output.first_slice < input.first_slice + input.slice_count;
    return slices && input.mip <= output.mip;
}

struct StageBindings {
    ObjectBase *shader = nullptr;
    std::array<ObjectBase *, srv_slots> resources{};
    std::array<ObjectBase *, cb_slots> constant_buffers{};
    std::array<ObjectBase *, sampler_slots> samplers{};
};

struct VertexSlot {
    ObjectBase *buffer = nullptr;
    u32 stride = 0;
    u32 offset = 0;
};

struct PipelineState {
    std::array<ObjectBase *, rt_slots> render_targets{};
    ObjectBase *depth_stencil_view = nullptr;
    std::vector<D3D11_VIEWPORT> viewports;
    std::vector<D3D11_RECT> scissors;
    ObjectBase *rasterizer = nullptr;
    ObjectBase *depth_stencil = nullptr;
    u32 stencil_ref = 0;
    ObjectBase *blend = nullptr;
    std::array<f32, 4> blend_factor{1, 1, 1, 1};
    u32 sample_mask = 0xFFFFFFFF;
    StageBindings stages[stage_count];
    std::array<ObjectBase *, uav_slots> uavs{};
    std::array<VertexSlot, vb_slots> vertex_buffers{};
    ObjectBase *index_buffer = nullptr;
    DXGI_FORMAT index_format = DXGI_FORMAT_UNKNOWN;
    u32 index_offset = 0;
    ObjectBase *input_layout = nullptr;
    u32 topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
};

class HeadlessContext;
using Command = std::function<void(HeadlessContext &)>;

class HeadlessCommandList final : public Child<ID3D11CommandList> {
public:
    explicit HeadlessCommandList(HeadlessDevice *device) : Child(ObjectKind::command_list, device) {}
    void on_final_release() override { std::vector<Command>().swap(commands); }
    std::vector<Command> commands;
};

/// A write map recorded on a deferred context: the caller writes into `scratch`, and Unmap
/// keeps the runs of bytes that changed from `baseline` for playback.
struct PendingMap {
    ObjectBase *resource = nullptr;
    u32 subresource = 0;
    D3D11_MAP type = D3D11_MAP_WRITE_DISCARD;
    std::vector<u8> baseline;
    std::vector<u8> scratch;
};

struct ByteRun {
    u32 offset;
    std::vector<u8> bytes;
};

u8 unorm8(f32 value)
{
    value = value < 0 ? 0 : value > 1 ? 1 : value;
    return static_cast<u8>(std::lround(value * 255.0f));
}

f32 linear_to_srgb(f32 value)
{
    value = value < 0 ? 0 : value > 1 ? 1 : value;
    return value <= 0.0031308f ? value * 12.92f : 1.055f * std::pow(value, 1.0f / 2.4f) - 0.055f;
}

/// Fills every texel of the view's subresources with `texel` (when the view's format has one).
void fill_view(const ViewRange &range, const u8 *texel, u32 texel_size)
{
    ResourceData &data = *range.data;
    std::lock_guard lock(data.bytes_mutex);
    for (u32 slice = range.first_slice; slice < range.first_slice + range.slice_count; ++slice) {
        u32 index = range.mip + slice * data.mip_levels;
        if (index >= data.subresources.size()) continue;
        ResourceData::Subresource &sub = data.subresources[index];
        if (data.block_bytes != texel_size || data.block_size != 1) continue;
        for (size_t at = 0; at + texel_size <= sub.bytes.size(); at += texel_size)
            std::memcpy(sub.bytes.data() + at, texel, texel_size);
    }
}

class HeadlessContext final : public Child<ID3D11DeviceContext> {
public:
    HeadlessContext(HeadlessDevice *device, bool deferred)
        : Child(deferred ? ObjectKind::deferred_context : ObjectKind::immediate_context, device), deferred(deferred),
          journal_on(device_journal_enabled(device))
    {
    }

    // ---- Entering: one thread at a time --------------------------------------------

    /// Marks the context as in use by this thread; a second thread is reported and waits.
    class Enter {
    public:
        explicit Enter(HeadlessContext &context) : _context(context)
        {
            u64 me = std::hash<std::thread::id>()(std::this_thread::get_id()) | 1;
            u64 expected = 0;
            if (_context.owner.compare_exchange_strong(expected, me, std::memory_order_acquire)) return;
            if (expected == me) {
                _nested = true; // a command list replaying through this context
                return;
            }
            report(Rule::concurrent_context_use, "%s #%llu entered by a second thread", to_string(_context.kind),
                   (unsigned long long)_context.id);
            do {
                std::this_thread::yield();
                expected = 0;
            } while (!_context.owner.compare_exchange_weak(expected, me, std::memory_order_acquire));
        }
        ~Enter()
        {
            if (!_nested) _context.owner.store(0, std::memory_order_release);
        }

    private:
        HeadlessContext &_context;
        bool _nested = false;
    };

    // ---- Journal -------------------------------------------------------------------

    void log(ContextOp op, std::vector<u64> objects, std::vector<f64> args)
    {
        if (!journal_on) return;
        std::lock_guard lock(journal_mutex);
        journal.push_back({op, std::move(objects), std::move(args)});
    }

    void defer(Command command)
    {
        if (deferred) commands.push_back(std::move(command));
    }

    // ---- Stage bindings ------------------------------------------------------------

    bool bad_range(const char *what, UINT start, UINT count, UINT slots)
    {
        if (start <= slots && count <= slots - start) return false;
        report(Rule::invalid_call, "%s slots %u+%u past %u", what, start, count, slots);
        return true;
    }

    /// Binds shader resources, constant buffers or samplers of one stage.
    template <class Interface, size_t slot_count>
    void set_slots(ContextOp op, Stage stage, std::array<ObjectBase *, slot_count> StageBindings::*slots, UINT start,
                   UINT count, Interface *const *objects)
    {
        Enter enter(*this);
        if (bad_range(to_string(op), start, count, slot_count)) return;
        std::vector<u64> ids;
        std::vector<Interface *> kept;
        std::array<ObjectBase *, slot_count> &bound = state.stages[static_cast<u32>(stage)].*slots;
        for (UINT i = 0; i < count; ++i) {
            Interface *interface = objects ? objects[i] : nullptr;
            kept.push_back(interface);
            ids.push_back(id_of(interface));
            ObjectBase *object = base_of(interface);
            if (op == ContextOp::set_shader_resources && object && is_bound_as_output(*range_of(object))) {
                report(Rule::input_bound_as_output,
                       "shader-resource view #%llu bound to stage %u slot %u while its resource is an output; "
                       "the slot is set to null",
                       (unsigned long long)object->id, static_cast<u32>(stage), start + i);
                object = nullptr;
            }
            bound[start + i] = object;
        }
        log(op, ids, {f64(static_cast<u32>(stage)), f64(start), f64(count)});
        defer([op, stage, slots, start, count, kept](HeadlessContext &c) {
            c.set_slots(op, stage, slots, start, count, kept.data());
        });
    }

    void set_resources(Stage stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views)
    {
        set_slots(ContextOp::set_shader_resources, stage, &StageBindings::resources, start, count, views);
    }
    void set_constant_buffers(Stage stage, UINT start, UINT count, ID3D11Buffer *const *buffers)
    {
        set_slots(ContextOp::set_constant_buffers, stage, &StageBindings::constant_buffers, start, count, buffers);
    }
    void set_samplers(Stage stage, UINT start, UINT count, ID3D11SamplerState *const *samplers)
    {
        set_slots(ContextOp::set_samplers, stage, &StageBindings::samplers, start, count, samplers);
    }

    void set_shader(Stage stage, IUnknown *shader)
    {
        Enter enter(*this);
        state.stages[static_cast<u32>(stage)].shader = base_of(shader);
        log(ContextOp::set_shader, {id_of(shader)}, {f64(static_cast<u32>(stage))});
        defer([stage, shader](HeadlessContext &c) { c.set_shader(stage, shader); });
    }

    bool is_bound_as_output(const ViewRange &input)
    {
        for (ObjectBase *view : state.render_targets)
            if (view && overlaps(input, *range_of(view))) return true;
        if (state.depth_stencil_view && overlaps(input, *range_of(state.depth_stencil_view))) return true;
        for (ObjectBase *view : state.uavs)
            if (view && overlaps(input, *range_of(view))) return true;
        return false;
    }

    /// Binding an output unbinds the shader-resource views that read it, as Direct3D does.
    void unbind_inputs_of(ObjectBase *output)
    {
        if (!output) return;
        const ViewRange &range = *range_of(output);
        for (StageBindings &stage : state.stages)
            for (ObjectBase *&view : stage.resources)
                if (view && overlaps(*range_of(view), range)) view = nullptr;
    }

    // ---- Stage methods ---------------------------------------------------------------

    void VSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(Stage::vertex, s, n, b); }
    void HSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(Stage::hull, s, n, b); }
    void DSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(Stage::domain, s, n, b); }
    void GSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(Stage::geometry, s, n, b); }
    void PSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(Stage::pixel, s, n, b); }
    void CSSetConstantBuffers(UINT s, UINT n, ID3D11Buffer *const *b) override { set_constant_buffers(Stage::compute, s, n, b); }

    void VSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(Stage::vertex, s, n, v); }
    void HSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(Stage::hull, s, n, v); }
    void DSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(Stage::domain, s, n, v); }
    void GSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(Stage::geometry, s, n, v); }
    void PSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(Stage::pixel, s, n, v); }
    void CSSetShaderResources(UINT s, UINT n, ID3D11ShaderResourceView *const *v) override { set_resources(Stage::compute, s, n, v); }

    void VSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *v) override { set_samplers(Stage::vertex, s, n, v); }
    void HSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *v) override { set_samplers(Stage::hull, s, n, v); }
    void DSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *v) override { set_samplers(Stage::domain, s, n, v); }
    void GSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *v) override { set_samplers(Stage::geometry, s, n, v); }
    void PSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *v) override { set_samplers(Stage::pixel, s, n, v); }
    void CSSetSamplers(UINT s, UINT n, ID3D11SamplerState *const *v) override { set_samplers(Stage::compute, s, n, v); }

    void VSSetShader(ID3D11VertexShader *shader, ID3D11ClassInstance *const *, UINT) override { set_shader(Stage::vertex, shader); }
    void HSSetShader(ID3D11HullShader *shader, ID3D11ClassInstance *const *, UINT) override { set_shader(Stage::hull, shader); }
    void DSSetShader(ID3D11DomainShader *shader, ID3D11ClassInstance *const *, UINT) override { set_shader(Stage::domain, shader); }
    void GSSetShader(ID3D11GeometryShader *shader, ID3D11ClassInstance *const *, UINT) override { set_shader(Stage::geometry, shader); }
    void PSSetShader(ID3D11PixelShader *shader, ID3D11ClassInstance *const *, UINT) override { set_shader(Stage::pixel, shader); }
    void CSSetShader(ID3D11ComputeShader *shader, ID3D11ClassInstance *const *, UINT) override { set_shader(Stage::compute, shader); }

    void CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView *const *views,
                                   const UINT *initial_counts) override
    {
        Enter enter(*this);
        if (bad_range("CSSetUnorderedAccessViews", start, count, uav_slots)) return;
        std::vector<u64> ids;
        std::vector<ID3D11UnorderedAccessView *> kept;
        for (UINT i = 0; i < count; ++i) {
            ID3D11UnorderedAccessView *view = views ? views[i] : nullptr;
            kept.push_back(view);
            state.uavs[start + i] = base_of(view);
            unbind_inputs_of(state.uavs[start + i]);
            ids.push_back(id_of(view));
        }
        (void)initial_counts;
        log(ContextOp::set_unordered_access_views, ids, {f64(start), f64(count)});
        defer([start, count, kept](HeadlessContext &c) {
            c.CSSetUnorderedAccessViews(start, count, kept.data(), nullptr);
        });
    }

    // ---- Input assembler -------------------------------------------------------------

    void IASetInputLayout(ID3D11InputLayout *layout) override
    {
        Enter enter(*this);
        state.input_layout = base_of(layout);
        log(ContextOp::set_input_layout, {id_of(layout)}, {});
        defer([layout](HeadlessContext &c) { c.IASetInputLayout(layout); });
    }

    void IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides,
                            const UINT *offsets) override
    {
        Enter enter(*this);
        if (bad_range("IASetVertexBuffers", start, count, vb_slots)) return;
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
            kept_strides.push_back(stride);
            kept_offsets.push_back(offset);
        }
        log(ContextOp::set_vertex_buffers, ids, args);
        defer([start, count, kept_buffers, kept_strides, kept_offsets](HeadlessContext &c) {
            c.IASetVertexBuffers(start, count, kept_buffers.data(), kept_strides.data(), kept_offsets.data());
        });
    }

    void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset) override
    {
        Enter enter(*this);
        state.index_buffer = base_of(buffer);
        state.index_format = format;
        state.index_offset = offset;
        log(ContextOp::set_index_buffer, {id_of(buffer)}, {f64(format), f64(offset)});
        defer([buffer, format, offset](HeadlessContext &c) { c.IASetIndexBuffer(buffer, format, offset); });
    }

    void IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) override
    {
        Enter enter(*this);
        state.topology = topology;
        log(ContextOp::set_primitive_topology, {}, {f64(topology)});
        defer([topology](HeadlessContext &c) { c.IASetPrimitiveTopology(topology); });
    }

    // ---- Output merger and rasteriser ------------------------------------------------

    static bool view_size(ObjectBase *view, u32 &out_width, u32 &out_height)
    {
        const ViewRange *range = range_of(view);
        if (!range || range->data->is_buffer) return false;
        u32 index = range->mip + range->first_slice * range->data->mip_levels;
        if (index >= range->data->subresources.size()) return false;
        out_width = range->data->subresources[index].width;
        out_height = range->data->subresources[index].height;
        return true;
    }

    void OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth) override
    {
        Enter enter(*this);
        if (bad_range("OMSetRenderTargets", 0, count, rt_slots)) return;
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
        // All outputs must share one size.
        u32 width = 0, height = 0;
        bool have_size = false;
        for (u32 i = 0; i <= rt_slots; ++i) {
            ObjectBase *view = i < rt_slots ? state.render_targets[i] : state.depth_stencil_view;
            u32 w, h;
            if (!view || !view_size(view, w, h)) continue;
            if (!have_size) {
                width = w, height = h, have_size = true;
            } else if (w != width || h != height) {
                report(Rule::target_size_mismatch, "output #%llu is %ux%u, the first output is %ux%u",
                       (unsigned long long)view->id, w, h, width, height);
            }
        }
        for (ObjectBase *view : state.render_targets) unbind_inputs_of(view);
        unbind_inputs_of(state.depth_stencil_view);
        log(ContextOp::set_render_targets, ids, {f64(count)});
        defer([count, kept, depth](HeadlessContext &c) { c.OMSetRenderTargets(count, kept.data(), depth); });
    }

    void OMSetBlendState(ID3D11BlendState *blend, const FLOAT blend_factor[4], UINT sample_mask) override
    {
        Enter enter(*this);
        state.blend = base_of(blend);
        std::array<f32, 4> factor{1, 1, 1, 1};
        if (blend_factor) factor = {blend_factor[0], blend_factor[1], blend_factor[2], blend_factor[3]};
        state.blend_factor = factor;
        state.sample_mask = sample_mask;
        log(ContextOp::set_blend_state, {id_of(blend)}, {factor[0], factor[1], factor[2], factor[3], f64(sample_mask)});
        defer([blend, factor, sample_mask](HeadlessContext &c) { c.OMSetBlendState(blend, factor.data(), sample_mask); });
    }

    void OMSetDepthStencilState(ID3D11DepthStencilState *depth_stencil, UINT stencil_ref) override
    {
        Enter enter(*this);
        state.depth_stencil = base_of(depth_stencil);
        state.stencil_ref = stencil_ref;
        log(ContextOp::set_depth_stencil_state, {id_of(depth_stencil)}, {f64(stencil_ref)});
        defer([depth_stencil, stencil_ref](HeadlessContext &c) { c.OMSetDepthStencilState(depth_stencil, stencil_ref); });
    }

    void RSSetState(ID3D11RasterizerState *rasterizer) override
    {
        Enter enter(*this);
        state.rasterizer = base_of(rasterizer);
        log(ContextOp::set_rasterizer_state, {id_of(rasterizer)}, {});
        defer([rasterizer](HeadlessContext &c) { c.RSSetState(rasterizer); });
    }

    void RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports) override
    {
        Enter enter(*this);
        if (bad_range("RSSetViewports", 0, count, viewport_slots) || (count && !viewports)) return;
        state.viewports.assign(viewports, viewports + count);
        std::vector<f64> args = {f64(count)};
        for (const D3D11_VIEWPORT &v : state.viewports)
            args.insert(args.end(), {v.TopLeftX, v.TopLeftY, v.Width, v.Height, v.MinDepth, v.MaxDepth});
        log(ContextOp::set_viewports, {}, args);
        defer([kept = state.viewports](HeadlessContext &c) { c.RSSetViewports(UINT(kept.size()), kept.data()); });
    }

    void RSSetScissorRects(UINT count, const D3D11_RECT *rects) override
    {
        Enter enter(*this);
        if (bad_range("RSSetScissorRects", 0, count, viewport_slots) || (count && !rects)) return;
        state.scissors.assign(rects, rects + count);
        std::vector<f64> args = {f64(count)};
        for (const D3D11_RECT &r : state.scissors)
            args.insert(args.end(), {f64(r.left), f64(r.top), f64(r.right), f64(r.bottom)});
        log(ContextOp::set_scissor_rects, {}, args);
        defer([kept = state.scissors](HeadlessContext &c) { c.RSSetScissorRects(UINT(kept.size()), kept.data()); });
    }

    // ---- Draws -------------------------------------------------------------------------

    void record_draw(DrawRecord record)
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

    void Draw(UINT vertex_count, UINT start_vertex) override
    {
        Enter enter(*this);
        log(ContextOp::draw, {}, {f64(vertex_count), f64(start_vertex)});
        DrawRecord record;
        record.op = ContextOp::draw;
        record.vertex_count = vertex_count;
        record.start = start_vertex;
        record_draw(std::move(record));
        defer([=](HeadlessContext &c) { c.Draw(vertex_count, start_vertex); });
    }

    void DrawIndexed(UINT index_count, UINT start_index, INT base_vertex) override
    {
        Enter enter(*this);
        log(ContextOp::draw_indexed, {}, {f64(index_count), f64(start_index), f64(base_vertex)});
        DrawRecord record;
        record.op = ContextOp::draw_indexed;
        record.vertex_count = index_count;
        record.start = start_index;
        record.base_vertex = base_vertex;
        record_draw(std::move(record));
        defer([=](HeadlessContext &c) { c.DrawIndexed(index_count, start_index, base_vertex); });
    }

    void DrawInstanced(UINT per_instance, UINT instances, UINT start_vertex, UINT start_instance) override
    {
        Enter enter(*this);
        log(ContextOp::draw_instanced, {}, {f64(per_instance), f64(instances), f64(start_vertex), f64(start_instance)});
        DrawRecord record;
        record.op = ContextOp::draw_instanced;
        record.vertex_count = per_instance;
        record.instance_count = instances;
        record.start = start_vertex;
        record.start_instance = start_instance;
        record_draw(std::move(record));
        defer([=](HeadlessContext &c) { c.DrawInstanced(per_instance, instances, start_vertex, start_instance); });
    }

    void DrawIndexedInstanced(UINT per_instance, UINT instances, UINT start_index, INT base_vertex,
                              UINT start_instance) override
    {
        Enter enter(*this);
        log(ContextOp::draw_indexed_instanced, {},
            {f64(per_instance), f64(instances), f64(start_index), f64(base_vertex), f64(start_instance)});
        DrawRecord record;
        record.op = ContextOp::draw_indexed_instanced;
        record.vertex_count = per_instance;
        record.instance_count = instances;
        record.start = start_index;
        record.base_vertex = base_vertex;
        record.start_instance = start_instance;
        record_draw(std::move(record));
        defer([=](HeadlessContext &c) {
            c.DrawIndexedInstanced(per_instance, instances, start_index, base_vertex, start_instance);
        });
    }

    void Dispatch(UINT x, UINT y, UINT z) override
    {
        Enter enter(*this);
        log(ContextOp::dispatch, {}, {f64(x), f64(y), f64(z)});
        DrawRecord record;
        record.op = ContextOp::dispatch;
        record.vertex_count = 0;
        record.instance_count = 0;
        record.groups[0] = x, record.groups[1] = y, record.groups[2] = z;
        record_draw(std::move(record));
        defer([=](HeadlessContext &c) { c.Dispatch(x, y, z); });
    }

    // ---- Data --------------------------------------------------------------------------

    HRESULT Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT, D3D11_MAPPED_SUBRESOURCE *out) override
    {
        Enter enter(*this);
        if (out) *out = {};
        ObjectBase *object = base_of(resource);
        ResourceData *data = data_of(object);
        if (!data || !out || subresource >= data->subresources.size()) {
            report(Rule::invalid_call, "Map with no resource of this backend, no output or subresource %u", subresource);
            return E_INVALIDARG;
        }
        if (type != D3D11_MAP_WRITE_DISCARD && type != D3D11_MAP_WRITE_NO_OVERWRITE) {
            report(Rule::invalid_call, "Map type %u on %s #%llu: only write maps are supported", type,
                   to_string(object->kind), (unsigned long long)object->id);
            return E_INVALIDARG;
        }
        if (data->usage != D3D11_USAGE_DYNAMIC || !(data->cpu_access & D3D11_CPU_ACCESS_WRITE)) {
            report(Rule::map_not_dynamic, "Map on %s #%llu with usage %u and CPU access 0x%x", to_string(object->kind),
                   (unsigned long long)object->id, data->usage, data->cpu_access);
            return E_INVALIDARG;
        }
        for (const PendingMap &pending : maps)
            if (pending.resource == object && pending.subresource == subresource) {
                report(Rule::invalid_call, "%s #%llu mapped twice", to_string(object->kind), (unsigned long long)object->id);
                return E_INVALIDARG;
            }
        if (object->refs.load() <= 0 && !deferred && !replaying) {
            report(Rule::invalid_call, "Map on %s #%llu after its last Release", to_string(object->kind),
                   (unsigned long long)object->id);
            return E_INVALIDARG;
        }
        ResourceData::Subresource &sub = data->subresources[subresource];
        log(ContextOp::map, {object->id}, {f64(subresource), f64(type)});
        PendingMap pending{object, subresource, type, {}, {}};
        if (deferred) {
            if (type == D3D11_MAP_WRITE_NO_OVERWRITE && !discarded.count(object))
                report(Rule::no_overwrite_before_discard,
                       "%s #%llu mapped NO_OVERWRITE in a command list before any DISCARD of it",
                       to_string(object->kind), (unsigned long long)object->id);
            if (type == D3D11_MAP_WRITE_DISCARD) discarded.insert(object);
            {
                std::lock_guard lock(data->bytes_mutex);
                pending.baseline = sub.bytes;
            }
            pending.scratch = pending.baseline;
        }
        maps.push_back(std::move(pending));
        out->pData = deferred ? maps.back().scratch.data() : sub.bytes.data();
        out->RowPitch = sub.row_pitch;
        out->DepthPitch = sub.row_pitch * sub.rows;
        return S_OK;
    }

    void Unmap(ID3D11Resource *resource, UINT subresource) override
    {
        Enter enter(*this);
        ObjectBase *object = base_of(resource);
        size_t at = 0;
        while (at < maps.size() && !(maps[at].resource == object && maps[at].subresource == subresource)) ++at;
        if (at == maps.size()) {
            report(Rule::invalid_call, "Unmap of %s #%llu subresource %u that is not mapped",
                   object ? to_string(object->kind) : "object", (unsigned long long)id_of(object), subresource);
            return;
        }
        PendingMap pending = std::move(maps[at]);
        maps.erase(maps.begin() + static_cast<std::ptrdiff_t>(at));
        log(ContextOp::unmap, {object->id}, {f64(subresource)});
        if (!deferred) return;
        // Keep only what the caller changed, so earlier lists' writes to the same ring survive.
        // A constant buffer can only be mapped with DISCARD and is rewritten whole: all of
        // it is kept, since bytes equal to the baseline here may differ at playback.
        std::vector<ByteRun> runs;
        const std::vector<u8> &before = pending.baseline, &after = pending.scratch;
        const ResourceData *data = data_of(object);
        const bool whole = pending.type == D3D11_MAP_WRITE_DISCARD && data &&
                           (data->bind_flags & D3D11_BIND_CONSTANT_BUFFER);
        if (whole)
            runs.push_back({0, after});
        for (size_t i = 0; !whole && i < after.size();) {
            if (after[i] == before[i]) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < after.size() && after[end] != before[end]) ++end;
            runs.push_back({static_cast<u32>(i), std::vector<u8>(after.begin() + i, after.begin() + end)});
            i = end;
        }
        D3D11_MAP type = pending.type;
        defer([resource, subresource, type, runs](HeadlessContext &c) {
            D3D11_MAPPED_SUBRESOURCE mapped;
            if (FAILED(c.Map(resource, subresource, type, 0, &mapped))) return;
            size_t size = mapped.pData ? data_of(base_of(resource))->subresources[subresource].bytes.size() : 0;
            for (const ByteRun &run : runs)
                if (run.offset + run.bytes.size() <= size)
                    std::memcpy(static_cast<u8 *>(mapped.pData) + run.offset, run.bytes.data(), run.bytes.size());
            c.Unmap(resource, subresource);
        });
    }

    /// Region of a subresource in blocks; false when it does not fit.
    struct Region {
        u32 x0, y0, x1, y1; // blocks (bytes for buffers in x)
    };
    static bool block_region(const ResourceData &data, const ResourceData::Subresource &sub, const D3D11_BOX *box,
                             Region &out)
    {
        if (!box) {
            out = {0, 0, data.is_buffer ? sub.width : sub.row_pitch / data.block_bytes, sub.rows};
            return true;
        }
        if (box->right <= box->left || box->bottom <= box->top || box->back <= box->front || box->front != 0 ||
            box->back != 1)
            return false;
        if (data.is_buffer) {
            out = {box->left, 0, box->right, 1};
            return box->right <= sub.width && box->top == 0 && box->bottom == 1;
        }
        if (box->right > sub.width || box->bottom > sub.height) return false;
        u32 b = data.block_size;
        out = {box->left / b, box->top / b, (box->right + b - 1) / b, (box->bottom + b - 1) / b};
        return true;
    }

    void UpdateSubresource(ID3D11Resource *resource, UINT subresource, const D3D11_BOX *box, const void *source,
                           UINT row_pitch, UINT) override
    {
        Enter enter(*this);
        ObjectBase *object = base_of(resource);
        ResourceData *data = data_of(object);
        if (!data || !source || subresource >= data->subresources.size()) {
            report(Rule::invalid_call, "UpdateSubresource with no resource of this backend, no data or subresource %u",
                   subresource);
            return;
        }
        if (data->usage == D3D11_USAGE_DYNAMIC) {
            report(Rule::update_dynamic, "UpdateSubresource on dynamic %s #%llu (use Map)", to_string(object->kind),
                   (unsigned long long)object->id);
            return;
        }
        ResourceData::Subresource &sub = data->subresources[subresource];
        Region region{};
        if (!block_region(*data, sub, box, region)) {
            report(Rule::copy_out_of_range, "UpdateSubresource box outside %s #%llu subresource %u",
                   to_string(object->kind), (unsigned long long)object->id, subresource);
            return;
        }
        u32 unit = data->is_buffer ? 1 : data->block_bytes;
        u32 row_bytes = (region.x1 - region.x0) * unit;
        if (data->is_buffer || row_pitch == 0) row_pitch = row_bytes;
        u32 rows = region.y1 - region.y0;
        log(ContextOp::update_subresource, {object->id}, {f64(subresource), f64(row_bytes * rows)});
        if (deferred) {
            // The caller's bytes are captured now and written when the list plays back.
            std::vector<u8> packed(static_cast<size_t>(row_bytes) * rows);
            for (u32 r = 0; r < rows; ++r)
                std::memcpy(packed.data() + r * row_bytes, static_cast<const u8 *>(source) + r * row_pitch, row_bytes);
            std::optional<D3D11_BOX> kept_box;
            if (box) kept_box = *box;
            defer([resource, subresource, kept_box, packed, row_bytes](HeadlessContext &c) {
                c.UpdateSubresource(resource, subresource, kept_box ? &*kept_box : nullptr, packed.data(), row_bytes, 0);
            });
            return;
        }
        std::lock_guard lock(data->bytes_mutex);
        if (sub.bytes.empty()) return; // released
        for (u32 r = 0; r < rows; ++r)
            std::memcpy(sub.bytes.data() + (region.y0 + r) * sub.row_pitch + region.x0 * unit,
                        static_cast<const u8 *>(source) + r * row_pitch, row_bytes);
    }

    void CopySubresourceRegion(ID3D11Resource *destination, UINT destination_subresource, UINT x, UINT y, UINT z,
                               ID3D11Resource *source, UINT source_subresource, const D3D11_BOX *source_box) override
    {
        Enter enter(*this);
        ObjectBase *to = base_of(destination), *from = base_of(source);
        ResourceData *to_data = data_of(to), *from_data = data_of(from);
        if (!to_data || !from_data || destination_subresource >= to_data->subresources.size() ||
            source_subresource >= from_data->subresources.size() || to_data->is_buffer != from_data->is_buffer ||
            to_data->block_bytes != from_data->block_bytes || to_data->block_size != from_data->block_size) {
            report(Rule::copy_out_of_range, "CopySubresourceRegion between unknown or unlike resources");
            return;
        }
        std::vector<f64> args = {f64(destination_subresource), f64(x), f64(y), f64(z), f64(source_subresource)};
        if (source_box)
            args.insert(args.end(), {f64(source_box->left), f64(source_box->top), f64(source_box->front),
                                     f64(source_box->right), f64(source_box->bottom), f64(source_box->back)});
        log(ContextOp::copy_subresource_region, {to->id, from->id}, args);
        if (deferred) {
            std::optional<D3D11_BOX> kept_box;
            if (source_box) kept_box = *source_box;
            defer([=](HeadlessContext &c) {
                c.CopySubresourceRegion(destination, destination_subresource, x, y, z, source, source_subresource,
                                        kept_box ? &*kept_box : nullptr);
            });
            return;
        }
        const ResourceData::Subresource &from_sub = from_data->subresources[source_subresource];
        ResourceData::Subresource &to_sub = to_data->subresources[destination_subresource];
        Region region{};
        bool fits = block_region(*from_data, from_sub, source_box, region) && z == 0;
        u32 b = to_data->is_buffer ? 1 : to_data->block_size;
        u32 unit = to_data->is_buffer ? 1 : to_data->block_bytes;
        u32 dx = x / b, dy = y / b;
        u32 width = region.x1 - region.x0, rows = region.y1 - region.y0;
        u32 to_width = to_data->is_buffer ? to_sub.width : to_sub.row_pitch / unit;
        // Written as differences so a position near the top of the range cannot wrap past the check.
        if (fits) fits = dx <= to_width && width <= to_width - dx && dy <= to_sub.rows && rows <= to_sub.rows - dy;
        if (!fits) {
            report(Rule::copy_out_of_range, "copy from %s #%llu subresource %u to #%llu subresource %u at %u,%u,%u is out of range",
                   to_string(from->kind), (unsigned long long)from->id, source_subresource, (unsigned long long)to->id,
                   destination_subresource, x, y, z);
            return;
        }
        // Copy through a scratch block, since source and destination may be one resource.
        std::vector<u8> rows_bytes(static_cast<size_t>(width) * unit * rows);
        {
            std::lock_guard lock(from_data->bytes_mutex);
            if (from_sub.bytes.empty()) return;
            for (u32 r = 0; r < rows; ++r)
                std::memcpy(rows_bytes.data() + r * width * unit,
                            from_sub.bytes.data() + (region.y0 + r) * from_sub.row_pitch + region.x0 * unit, width * unit);
        }
        std::lock_guard lock(to_data->bytes_mutex);
        if (to_sub.bytes.empty()) return;
        for (u32 r = 0; r < rows; ++r)
            std::memcpy(to_sub.bytes.data() + (dy + r) * to_sub.row_pitch + dx * unit,
                        rows_bytes.data() + r * width * unit, width * unit);
    }

    void CopyResource(ID3D11Resource *destination, ID3D11Resource *source) override
    {
        Enter enter(*this);
        ObjectBase *to = base_of(destination), *from = base_of(source);
        ResourceData *to_data = data_of(to), *from_data = data_of(from);
        bool alike = to_data && from_data && to != from && to_data->is_buffer == from_data->is_buffer &&
                     to_data->subresources.size() == from_data->subresources.size() &&
                     to_data->block_bytes == from_data->block_bytes;
        for (size_t i = 0; alike && i < to_data->subresources.size(); ++i)
            alike = to_data->subresources[i].width == from_data->subresources[i].width &&
                    to_data->subresources[i].height == from_data->subresources[i].height;
        if (!alike) {
            report(Rule::copy_out_of_range, "CopyResource between unlike resources #%llu and #%llu",
                   (unsigned long long)id_of(to), (unsigned long long)id_of(from));
            return;
        }
        log(ContextOp::copy_resource, {to->id, from->id}, {});
        if (deferred) {
            defer([destination, source](HeadlessContext &c) { c.CopyResource(destination, source); });
            return;
        }
        std::scoped_lock lock(to_data->bytes_mutex, from_data->bytes_mutex);
        for (size_t i = 0; i < to_data->subresources.size(); ++i)
            if (to_data->subresources[i].bytes.size() == from_data->subresources[i].bytes.size())
                to_data->subresources[i].bytes = from_data->subresources[i].bytes;
    }

    void ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4]) override
    {
        Enter enter(*this);
        ObjectBase *object = base_of(view);
        const ViewRange *range = range_of(object);
        if (!range || !color) {
            report(Rule::invalid_call, "ClearRenderTargetView without a view or a colour");
            return;
        }
        std::array<f32, 4> c4 = {color[0], color[1], color[2], color[3]};
        log(ContextOp::clear_render_target_view, {object->id}, {c4[0], c4[1], c4[2], c4[3]});
        if (deferred) {
            defer([view, c4](HeadlessContext &c) { c.ClearRenderTargetView(view, c4.data()); });
            return;
        }
        switch (range->format) {
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_UNORM_SRGB:
        case DXGI_FORMAT_B8G8R8A8_UNORM: {
            bool srgb = range->format == DXGI_FORMAT_R8G8B8A8_UNORM_SRGB;
            u8 texel[4];
            for (u32 i = 0; i < 4; ++i) texel[i] = unorm8(srgb && i < 3 ? linear_to_srgb(c4[i]) : c4[i]);
            if (range->format == DXGI_FORMAT_B8G8R8A8_UNORM) std::swap(texel[0], texel[2]);
            fill_view(*range, texel, 4);
            break;
        }
        case DXGI_FORMAT_R32G32B32A32_FLOAT: fill_view(*range, reinterpret_cast<const u8 *>(c4.data()), 16); break;
        case DXGI_FORMAT_R32G32_FLOAT: fill_view(*range, reinterpret_cast<const u8 *>(c4.data()), 8); break;
        case DXGI_FORMAT_R32_FLOAT: fill_view(*range, reinterpret_cast<const u8 *>(c4.data()), 4); break;
        default: break; // recorded only
        }
    }

    void ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil) override
    {
        Enter enter(*this);
        ObjectBase *object = base_of(view);
        const ViewRange *range = range_of(object);
        if (!range) {
            report(Rule::invalid_call, "ClearDepthStencilView without a view");
            return;
        }
        log(ContextOp::clear_depth_stencil_view, {object->id}, {f64(flags), depth, f64(stencil)});
        if (deferred) {
            defer([=](HeadlessContext &c) { c.ClearDepthStencilView(view, flags, depth, stencil); });
            return;
        }
        // Whole-texel fills only when every plane is cleared (or the format has one plane).
        if (range->format == DXGI_FORMAT_D32_FLOAT && (flags & D3D11_CLEAR_DEPTH)) {
            fill_view(*range, reinterpret_cast<const u8 *>(&depth), 4);
        } else if (range->format == DXGI_FORMAT_D24_UNORM_S8_UINT &&
                   (flags & (D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL)) == (D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL)) {
            f32 clamped = depth < 0 ? 0 : depth > 1 ? 1 : depth;
            u32 texel = static_cast<u32>(std::lround(clamped * 16777215.0)) | (u32(stencil) << 24);
            fill_view(*range, reinterpret_cast<const u8 *>(&texel), 4);
        } else if (range->format == DXGI_FORMAT_D16_UNORM && (flags & D3D11_CLEAR_DEPTH)) {
            f32 clamped = depth < 0 ? 0 : depth > 1 ? 1 : depth;
            u16 texel = static_cast<u16>(std::lround(clamped * 65535.0));
            fill_view(*range, reinterpret_cast<const u8 *>(&texel), 2);
        }
    }

    // ---- Control -----------------------------------------------------------------------

    void ClearState() override
    {
        Enter enter(*this);
        state = PipelineState{};
        log(ContextOp::clear_state, {}, {});
        defer([](HeadlessContext &c) { c.ClearState(); });
    }

    void Flush() override
    {
        Enter enter(*this);
        log(ContextOp::flush, {}, {});
    }

    D3D11_DEVICE_CONTEXT_TYPE GetType() override
    {
        return deferred ? D3D11_DEVICE_CONTEXT_DEFERRED : D3D11_DEVICE_CONTEXT_IMMEDIATE;
    }

    void ExecuteCommandList(ID3D11CommandList *list, BOOL restore_state) override
    {
        Enter enter(*this);
        ObjectBase *object = base_of(list);
        if (deferred || !object || object->kind != ObjectKind::command_list) {
            report(Rule::invalid_call, "ExecuteCommandList needs the immediate context and a command list");
            return;
        }
        log(ContextOp::execute_command_list, {object->id}, {f64(restore_state)});
        PipelineState saved;
        if (restore_state) saved = state;
        state = PipelineState{};
        // A list may name objects the engine released after recording (the list keeps them
        // in Direct3D); their bytes are gone, so a replayed Map writes nowhere.
        replaying = true;
        for (Command &command : static_cast<HeadlessCommandList *>(object)->commands) command(*this);
        replaying = false;
        state = restore_state ? saved : PipelineState{};
    }

    HRESULT FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list) override
    {
        Enter enter(*this);
        if (out_list) *out_list = nullptr;
        if (!deferred || !out_list) {
            report(Rule::invalid_call, "FinishCommandList needs a deferred context and an output");
            return DXGI_ERROR_INVALID_CALL;
        }
        if (!maps.empty()) {
            report(Rule::invalid_call, "FinishCommandList with %zu resources still mapped", maps.size());
            maps.clear();
        }
        if (!begin_create(ObjectKind::command_list)) return E_OUTOFMEMORY;
        auto *list = new HeadlessCommandList(device);
        list->commands = std::move(commands);
        commands.clear();
        discarded.clear();
        register_object(list);
        log(ContextOp::finish_command_list, {list->id}, {f64(restore_state)});
        if (!restore_state) state = PipelineState{};
        *out_list = list;
        return S_OK;
    }

    void on_final_release() override
    {
        std::vector<Command>().swap(commands);
        std::lock_guard lock(journal_mutex);
        std::vector<JournalEntry>().swap(journal);
        std::vector<DrawRecord>().swap(draws);
    }

    bool deferred;
    bool journal_on;
    bool replaying = false; // executing a command list
    std::atomic<u64> owner{0};
    PipelineState state;
    std::vector<Command> commands; // deferred: the list being recorded
    std::vector<PendingMap> maps;
    std::unordered_set<ObjectBase *> discarded; // resources DISCARDed in the list being recorded
    std::mutex journal_mutex;                   // tests read journals from other threads
    std::vector<JournalEntry> journal;
    std::vector<DrawRecord> draws;
};

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
    auto *context = new HeadlessContext(device, deferred);
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

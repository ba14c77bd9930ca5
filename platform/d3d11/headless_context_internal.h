#pragma once
// Internals of the headless contexts: the bound pipeline state, the command list of a deferred
// context and the context class. headless_context.cpp keeps the state machine, the journal and
// the draw records; headless_context_transfer.cpp moves bytes (Map, Update, Copy, clears).
//
// A deferred context runs the same state machine for its own journal and also keeps each call
// as a closure; executing its command list replays the closures through the immediate
// context, so both journals show the same calls.
#include "platform/d3d11/headless_internal.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

namespace tallow::d3d11 {

constexpr u32 stage_count = static_cast<u32>(Stage::count);
constexpr u32 srv_slots = D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT;
constexpr u32 cb_slots = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT;
constexpr u32 sampler_slots = D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT;
constexpr u32 uav_slots = D3D11_PS_CS_UAV_REGISTER_COUNT;
constexpr u32 vb_slots = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT;
constexpr u32 rt_slots = D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT;
constexpr u32 viewport_slots = D3D11_VIEWPORT_AND_SCISSORRECT_OBJECT_COUNT_PER_PIPELINE;

/// The object behind an interface of this backend; null for null or a foreign one. Each
/// thread keeps its recent finds and spares the cast, the costliest step of a call. A find
/// holds until a record is deleted (headless_internal.h): its address may then come back as
/// another object, ours of another kind (whose base may lie elsewhere) or a foreign one, so
/// finds of an older epoch are cast again.
inline ObjectBase *base_of(IUnknown *object)
{
    if (!object) return nullptr;
    struct Found {
        IUnknown *address;
        ObjectBase *base;
        u64 epoch;
    };
    // A frame names a few thousand objects (each particle effect has its own buffers).
    thread_local Found found[4096] = {};
    const u64 hash = (u64(reinterpret_cast<std::uintptr_t>(object)) >> 4) * 0x9E3779B97F4A7C15ull;
    Found &slot = found[hash >> 52];
    const u64 epoch = record_epoch.load(std::memory_order_acquire);
    if (slot.address == object && slot.epoch == epoch) return slot.base;
    ObjectBase *base = dynamic_cast<ObjectBase *>(object);
    if (base) slot = {object, base, epoch};
    return base;
}
inline u64 id_of(IUnknown *object)
{
    ObjectBase *base = base_of(object);
    return base ? base->id : 0;
}
inline u64 id_of(ObjectBase *object) { return object ? object->id : 0; }

inline ResourceData *data_of(ObjectBase *object) { return resource_data_of(object); }
inline const ViewRange *range_of(ObjectBase *object) { return view_range_of(object); }

// A context holds what it binds (Held), as a driver does, so a bound object released by the
// engine keeps its record until it is unbound.
struct StageBindings {
    Held shader;
    std::array<Held, srv_slots> resources{};
    std::array<Held, cb_slots> constant_buffers{};
    std::array<Held, sampler_slots> samplers{};
};

struct VertexSlot {
    Held buffer;
    u32 stride = 0;
    u32 offset = 0;
};

struct PipelineState {
    std::array<Held, rt_slots> render_targets{};
    Held depth_stencil_view;
    std::vector<D3D11_VIEWPORT> viewports;
    std::vector<D3D11_RECT> scissors;
    Held rasterizer;
    Held depth_stencil;
    u32 stencil_ref = 0;
    Held blend;
    std::array<f32, 4> blend_factor{1, 1, 1, 1};
    u32 sample_mask = 0xFFFFFFFF;
    StageBindings stages[stage_count];
    std::array<Held, uav_slots> uavs{};
    std::array<VertexSlot, vb_slots> vertex_buffers{};
    Held index_buffer;
    DXGI_FORMAT index_format = DXGI_FORMAT_UNKNOWN;
    u32 index_offset = 0;
    Held input_layout;
    u32 topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
};

class HeadlessContext;
using Command = std::function<void(HeadlessContext &)>;

class HeadlessCommandList final : public Child<ID3D11CommandList> {
public:
    explicit HeadlessCommandList(HeadlessDevice *device) : Child(ObjectKind::command_list, device) {}
    void on_final_release() override
    {
        std::vector<Command>().swap(commands);
        std::vector<Held>().swap(named);
    }
    std::vector<Command> commands;
    std::vector<Held> named; // what the commands name, held as the list is
};

/// A write map recorded on a deferred context: the caller writes into `scratch`, and Unmap
/// keeps the runs of bytes that changed from `baseline` for playback. On a context that keeps
/// no texels every map writes into `scratch`, a block lent from the context's spare blocks.
struct PendingMap {
    Held resource;
    u32 subresource = 0;
    D3D11_MAP type = D3D11_MAP_WRITE_DISCARD;
    std::vector<u8> baseline;
    std::vector<u8> scratch;
};

struct ByteRun {
    u32 offset;
    std::vector<u8> bytes;
};

/// Executes context calls the validation front (ContextFront in d3d11_validation.h) accepted.
class HeadlessContext : public Child<ID3D11DeviceContext> {
public:
    HeadlessContext(HeadlessDevice *device, bool deferred);
    bool owns_resource(ID3D11Resource *resource) { return data_of(base_of(resource)) != nullptr; }
    bool owns_command_list(ID3D11CommandList *list)
    {
        ObjectBase *object = base_of(list);
        return object && object->kind == ObjectKind::command_list;
    }
    /// Under tests objects outlive their last Release here (as zombies), so a later call can
    /// be told; in a program run a bound or listed object outlives it until let go.
    bool is_released(ID3D11Resource *resource)
    {
        ObjectBase *object = base_of(resource);
        return object && object->refs.load() <= 0;
    }
    void unbind_shader_resource(u32 stage, UINT slot);

    // ---- Entering: one thread at a time --------------------------------------------

    /// Marks the context as in use by this thread; a second thread waits (the front has
    /// reported it), so the context's state stays sound.
    class Enter {
    public:
        explicit Enter(HeadlessContext &context) : _context(context)
        {
            thread_local const u64 me = std::hash<std::thread::id>()(std::this_thread::get_id()) | 1;
            u64 expected = 0;
            if (_context.owner.compare_exchange_strong(expected, me, std::memory_order_acquire)) return;
            if (expected == me) {
                _nested = true; // a command list replaying through this context
                return;
            }
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

    void log(ContextOp op, std::vector<u64> objects, std::vector<f64> args);

    /// Deferred contexts: keeps a call for playback. A context with neither journal nor texels
    /// keeps none, since playing it back would change nothing.
    template <class Call> void defer(Call &&call)
    {
        if (deferred && (journal_on || keep_texels)) commands.emplace_back(std::forward<Call>(call));
    }
    /// Deferred contexts: holds an object a kept call names until the list made of it goes.
    void name(IUnknown *object)
    {
        if (object && deferred && (journal_on || keep_texels)) named.emplace_back(base_of(object));
    }

    // ---- Stage bindings ------------------------------------------------------------

    bool bad_range(UINT start, UINT count, UINT slots);

    /// Binds shader resources, constant buffers or samplers of one stage.
    template <class Interface, size_t slot_count>
    void set_slots(ContextOp op, Stage stage, std::array<Held, slot_count> StageBindings::*slots, UINT start,
                   UINT count, Interface *const *objects);

    void set_resources(Stage stage, UINT start, UINT count, ID3D11ShaderResourceView *const *views);
    void set_constant_buffers(Stage stage, UINT start, UINT count, ID3D11Buffer *const *buffers);
    void set_samplers(Stage stage, UINT start, UINT count, ID3D11SamplerState *const *samplers);

    void set_shader(Stage stage, IUnknown *shader);

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
                                   const UINT *initial_counts) override;

    // ---- Input assembler -------------------------------------------------------------

    void IASetInputLayout(ID3D11InputLayout *layout) override;

    void IASetVertexBuffers(UINT start, UINT count, ID3D11Buffer *const *buffers, const UINT *strides,
                            const UINT *offsets) override;

    void IASetIndexBuffer(ID3D11Buffer *buffer, DXGI_FORMAT format, UINT offset) override;

    void IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY topology) override;

    // ---- Output merger and rasteriser ------------------------------------------------


    void OMSetRenderTargets(UINT count, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *depth) override;

    void OMSetBlendState(ID3D11BlendState *blend, const FLOAT blend_factor[4], UINT sample_mask) override;

    void OMSetDepthStencilState(ID3D11DepthStencilState *depth_stencil, UINT stencil_ref) override;

    void RSSetState(ID3D11RasterizerState *rasterizer) override;

    void RSSetViewports(UINT count, const D3D11_VIEWPORT *viewports) override;

    void RSSetScissorRects(UINT count, const D3D11_RECT *rects) override;

    // ---- Draws -------------------------------------------------------------------------

    void record_draw(DrawRecord record);

    void Draw(UINT vertex_count, UINT start_vertex) override;

    void DrawIndexed(UINT index_count, UINT start_index, INT base_vertex) override;

    void DrawInstanced(UINT per_instance, UINT instances, UINT start_vertex, UINT start_instance) override;

    void DrawIndexedInstanced(UINT per_instance, UINT instances, UINT start_index, INT base_vertex,
                              UINT start_instance) override;

    void Dispatch(UINT x, UINT y, UINT z) override;

    // ---- Data --------------------------------------------------------------------------

    HRESULT Map(ID3D11Resource *resource, UINT subresource, D3D11_MAP type, UINT, D3D11_MAPPED_SUBRESOURCE *out) override;

    void Unmap(ID3D11Resource *resource, UINT subresource) override;

    /// Keeping no texels: lends `pending` a spare block of at least `bytes` (grown, never
    /// shrunk, so steady maps allocate nothing) and returns it.
    u8 *lend_scratch(PendingMap &pending, size_t bytes);
    /// Takes back what lend_scratch lent `pending` (nothing when it lent nothing).
    void take_back_scratch(PendingMap &pending);

    /// Region of a subresource in blocks; false when it does not fit.
    struct Region {
        u32 x0, y0, x1, y1; // blocks (bytes for buffers in x)
    };
    static bool block_region(const ResourceData &data, const ResourceData::Subresource &sub, const D3D11_BOX *box,
                             Region &out);

    void UpdateSubresource(ID3D11Resource *resource, UINT subresource, const D3D11_BOX *box, const void *source,
                           UINT row_pitch, UINT) override;

    void CopySubresourceRegion(ID3D11Resource *destination, UINT destination_subresource, UINT x, UINT y, UINT z,
                               ID3D11Resource *source, UINT source_subresource, const D3D11_BOX *source_box) override;

    void CopyResource(ID3D11Resource *destination, ID3D11Resource *source) override;

    void ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT color[4]) override;

    void ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8 stencil) override;

    // ---- Control -----------------------------------------------------------------------

    void ClearState() override;

    void Flush() override;

    D3D11_DEVICE_CONTEXT_TYPE GetType() override;

    void ExecuteCommandList(ID3D11CommandList *list, BOOL restore_state) override;

    HRESULT FinishCommandList(BOOL restore_state, ID3D11CommandList **out_list) override;

    void on_final_release() override;

    bool deferred;
    bool journal_on;
    bool keep_texels;
    std::vector<std::vector<u8>> spare_scratch; // keeping no texels: blocks for maps
    std::atomic<u64> owner{0};
    PipelineState state;
    std::vector<Command> commands; // deferred: the list being recorded
    std::vector<Held> named;       // deferred: what `commands` name
    std::vector<PendingMap> maps;
    std::mutex journal_mutex;                   // tests read journals from other threads
    std::vector<JournalEntry> journal;
    std::vector<DrawRecord> draws;
};

} // namespace tallow::d3d11

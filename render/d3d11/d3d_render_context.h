#pragma once
// Executes the front end's sorted render commands (records 0 to 12) on one Direct3D
// context: the immediate one, or a deferred one while a range of a parallel dispatch is
// recorded. It keeps what it has bound (targets, viewports, scissors, pass states,
// shaders, geometry) so a command that sets what is already bound costs no Direct3D call.
//
//   D3DRenderContext context(allocator, device, manager);
//   context.set_context(immediate);
//   context.execute(sorted.data(), sorted.size());
//   context.merge_input_layouts();
//
// Every record is read through the bounded cursor: a record that does not fit its entry
// ends the entry (logged), an unknown type is skipped, a bad payload is logged and
// skipped. One thread at a time per context.

#include "foundation/containers/array.h"
#include "foundation/types.h"
#include "platform/d3d11/d3d11_shim.h"
#include "render/d3d11/d3d_geometry_creator.h"
#include "render/d3d11/owned_com_ptr.h"
#include "render/commands/command_buffer.h"
#include "render/commands/render_records.h"

namespace tallow::render::d3d11 {

class D3DResourceManager;
class D3DShaderPass;
struct RenderTargetRecord;
struct D3DShaderStage;

constexpr u32 max_viewports = 6;
constexpr u32 context_unordered_slots = 8;

/// The target state that commands 5 to 8 and 12 leave behind; a range of a parallel
/// dispatch starts from the state the entries before it left. The last three fields tell
/// the dispatch whether the ranges can be recorded apart at all.
struct ContextTargetState {
    RenderTarget *colour[max_render_target_slots] = {};
    RenderTarget *depth = nullptr;
    u32 depth_view = 0;
    u32 viewport_count = 1;
    Viewport viewports[max_viewports] = {{0, 0, 1, 1, 0, 1}};
    u32 scissor_count = 1;
    ScissorRect scissors[max_viewports] = {{0, 0, 1, 1}};
    i32 copy_counter = -1;
    /// Set by the caller at a range start when `copy_counter` is above 0 there; the next
    /// command 12 clears it.
    bool carried_counter = false;
    /// A draw ran while `carried_counter` was set: how far the counter had run down
    /// depends on the copies made before the range.
    bool carried_counter_drawn = false;
    u32 buffer_updates = 0; ///< vertex and index buffer updates (commands 0 and 1) seen
};

/// Folds the commands of one sort entry into `state`.
void track_target_state(ContextTargetState &state, const RenderSortEntry &entry);

/// True when a vertex or index buffer that a command updates is also updated or drawn
/// (any draw batch naming it) by an entry of another range, ranges being `range_size`
/// entries long. Such ranges cannot be recorded apart: an update rewrites the buffer's
/// record while it is recorded, and draws read the record as they are recorded. Scratch
/// from the calling thread's temp allocator; true when it runs out.
bool buffer_updates_cross_ranges(const RenderSortEntry *entries, u32 count, u32 range_size);

/// True when no draw batch names a vertex or index buffer before a command that updates it
/// (commands in entry order, and in order within an entry). Then performing every buffer
/// update of the entries first, in their order, gives each draw the record and contents the
/// serial order gives it. Scratch from the calling thread's temp allocator; false when it
/// runs out.
bool buffer_updates_precede_draws(const RenderSortEntry *entries, u32 count);

class D3DRenderContext {
  public:
    /// `device` and `manager` must outlive the context; its rings and lists come from
    /// `allocator`.
    D3DRenderContext(Allocator &allocator, ID3D11Device *device, D3DResourceManager &manager);
    ~D3DRenderContext();
    D3DRenderContext(const D3DRenderContext &) = delete;
    D3DRenderContext &operator=(const D3DRenderContext &) = delete;

    /// The Direct3D context to record into (no reference taken).
    void set_context(ID3D11DeviceContext *context) { _context = context; }
    ID3D11DeviceContext *context() const { return _context; }

    /// Performs the commands of each entry in order.
    void execute(const RenderSortEntry *entries, u32 count);
    /// Performs only the vertex and index buffer updates (commands 0 and 1) of the entries,
    /// in order: a parallel dispatch's updates made ahead of its ranges.
    void execute_buffer_updates(const RenderSortEntry *entries, u32 count);
    /// With `done` set, execute() skips commands 0 and 1: they were made ahead.
    void set_buffer_updates_done(bool done) { _buffer_updates_done = done; }
    /// Forgets everything bound, target slots included: the next command binds again.
    /// Call it whenever the Direct3D context was cleared behind this cache.
    void reset();
    /// Takes `state` as if its commands had just run (targets become dirty).
    void restore_target_state(const ContextTargetState &state);
    /// The rings start over (after every present, and at the start of a deferred range).
    void begin_frame();
    /// Deferred contexts: ends recording into a new command list (a previous one is
    /// released) and forgets the bound state, which the list does not keep.
    bool finish_command_list();
    ID3D11CommandList *command_list() const { return _command_list.get(); }
    /// Releases the finished command list.
    void release_command_list() { _command_list.reset(); }
    /// Hands every input layout made while recording to the resource manager; on the
    /// thread that dispatches, after recording.
    void merge_input_layouts();

    i32 copy_counter() const { return _copy_counter; }
    /// The ring CPU-side vertices are drawn from (tests read what reached it).
    const DynamicBufferRing &vertex_ring() const { return _vertex_ring; }
    u32 viewport_count() const { return _viewport_count; }
    const D3D11_VIEWPORT &viewport(u32 i) const { return _viewports[i]; }

  private:
    // A bound target is kept by handle and the serial of the record it named, never by
    // pointer: a slot lives from one frame to the next, and between frames the target's
    // record may move (the manager's table grows), be released, or be made again, and its
    // front-end object may be freed (a template destroyed). Each use looks the record up.
    struct TargetSlot {
        bool used = false;                               // a target was set, record or not
        RenderResourceHandle handle = invalid_render_handle;
        u32 serial = 0;                                  // RenderTargetRecord::serial; 0: none
        u32 view = 0;
        f32 clear_color[4] = {0, 0, 0, 0};               // the target's, when it was set
    };
    struct NewInputLayout {
        RenderResourceHandle declaration;
        ID3D11VertexShader *vertex_shader;
        ID3D11InputLayout *layout;
    };

    void execute_entry(const RenderSortEntry &entry);
    void revalidate_targets();
    void set_render_target(u32 slot, RenderTarget *target, u32 view);
    void set_depth_stencil(RenderTarget *target, u32 view);
    void set_target_slot(TargetSlot &bound, f32 *size, RenderTarget *target, u32 view, bool depth);
    /// The record a slot bound, while it is still the one under the slot's handle.
    const RenderTargetRecord *record_of(const TargetSlot &slot) const;
    void unbind_record(const RenderTargetRecord *record);
    void apply_targets(const D3DShaderPass *pass);
    void set_viewports(u32 count, const Viewport *items);
    void set_scissors(u32 count, const ScissorRect *items);
    void apply_viewports();
    void apply_scissors();
    void reference_size(f32 &out_width, f32 &out_height) const;
    void clear(u32 flags);
    void draw_batch(const CommandView &command, i64 key);
    void bind_stage(u32 stage, const D3DShaderStage &binding, const u8 *block, u32 block_size);
    void bind_samplers(u32 stage, const D3DShaderStage &binding);
    void bind_unordered_views(const D3DShaderStage &binding, const u8 *block, u32 block_size);
    void unbind_record_unordered(const RenderTargetRecord *record);
    void unbind_stage(u32 stage);
    bool bind_geometry(const DrawBatchRecord &batch, const CommandView &command, const D3DShaderPass &pass,
                       bool &out_indexed);
    ID3D11InputLayout *input_layout_for(RenderResourceHandle declaration, const D3DShaderPass &pass);
    const RenderTargetRecord *copy_of(const RenderTargetRecord &record);
    bool is_bound_as_output(const RenderTargetRecord *record) const;

    Allocator &_allocator;
    ID3D11Device *_device;
    D3DResourceManager &_manager;
    ID3D11DeviceContext *_context = nullptr;
    OwnedComPtr<ID3D11CommandList> _command_list;

    bool _targets_dirty = false;
    TargetSlot _colour[max_render_target_slots];
    TargetSlot _depth;
    f32 _colour_size[2] = {0, 0};
    f32 _depth_size[2] = {0, 0};
    ID3D11RenderTargetView *_bound_views[max_render_target_slots] = {};
    ID3D11DepthStencilView *_bound_depth = nullptr;
    bool _targets_bound = false; // OMSetRenderTargets ran since the last reset

    ID3D11Buffer *_vertex_buffers[max_vertex_streams] = {};
    UINT _strides[max_vertex_streams] = {};
    UINT _offsets[max_vertex_streams] = {};

    u32 _viewport_count = 1;
    Viewport _relative_viewports[max_viewports] = {};
    D3D11_VIEWPORT _viewports[max_viewports] = {};
    u32 _scissor_count = 1;
    ScissorRect _relative_scissors[max_viewports] = {};
    D3D11_RECT _scissors[max_viewports] = {};

    bool _viewports_applied = false;
    bool _scissors_applied = false;
    const D3DShaderPass *_pass = nullptr;
    ID3D11RasterizerState *_rasterizer = nullptr;
    ID3D11DepthStencilState *_depth_state = nullptr;
    u32 _stencil_ref = 0;
    ID3D11BlendState *_blend = nullptr;
    u32 _constant_slots[6] = {}; // slots bound per stage
    u32 _sampler_slots[6] = {};
    ID3D11DeviceChild *_shaders[6] = {};
    ID3D11InputLayout *_input_layout = nullptr;
    i32 _topology = -1;
    ID3D11Buffer *_index_buffer = nullptr;
    DXGI_FORMAT _index_format = DXGI_FORMAT_UNKNOWN;
    u32 _index_offset = 0;

    Array<ID3D11ShaderResourceView *> _stage_views[6];
    ID3D11UnorderedAccessView *_unordered_views[context_unordered_slots] = {};
    u32 _unordered_serials[context_unordered_slots] = {}; // RenderTargetRecord::serial per slot
    u32 _unordered_count = 0;
    Array<NewInputLayout> _new_layouts;
    DynamicBufferRing _vertex_ring;
    DynamicBufferRing _index_ring;
    i32 _copy_counter = -1;
    bool _buffer_updates_done = false;
};

} // namespace tallow::render::d3d11

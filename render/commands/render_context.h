#pragma once
// The unit in which drawing work reaches the device: typed commands in one stream, each
// command (or run of commands that must stay together) filed under a 64-bit sort key.
//
//   RenderContext *c = device.alloc_render_context();
//   c->bind_layer_config(&layer_config, &resource_set);
//   c->submit_layers(device, resource_set, layer_config, viewport);   // a set-up segment per layer
//   c->render_batch(batch, slot, caller_bits);            // one record, one entry per pass
//   c->begin_segment(key); c->set_viewports(1, &vp); ... c->end_segment();
//   ... frame list -> device.dispatch(n, contexts); device.release_render_context(c);
//
// Nothing is executed while a context is written; the stream is plain data the device
// reads (render_records.h). Segments do not nest: begin_segment while one is open closes
// that one first. One thread writes a context at a time.

#include "foundation/containers/array.h"
#include "foundation/memory/trace_allocator.h"
#include "render/commands/command_buffer.h"
#include "render/commands/layer_config.h"

namespace tallow {

class RenderDevice;
class RenderResourceSet;

/// What a shader pass files its draws under, per layer configuration: the layer's key ORed
/// with the pass bits (0 when the pass does not draw in that configuration) and the mode.
struct ShaderPassKeys {
    u64 sort_bits[max_layer_configs] = {};
    SortMode sort_mode[max_layer_configs] = {};
};

/// The slot entry of a draw: the shader (by handle, with its passes' keys) and the
/// constant block its shader context holds for this context's slot.
struct ShaderSlotEntry {
    RenderResourceHandle shader = invalid_render_handle;
    const ShaderPassKeys *passes = nullptr;
    u32 pass_count = 0;
    const void *constant_block = nullptr;
    u32 constant_size_bytes = 0;
};

/// What callers describe a draw (or compute dispatch) with.
struct RenderBatch {
    const GeometryBinding *bindings = nullptr;
    u32 binding_count = 0;
    u32 primitive_type = 0;
    f32 sort_depth = 0.0f;
    u32 start_vertex = 0;
    u32 primitive_count = 0;
    u32 start_index = 0;
    u32 vertex_count = 0;
    u32 instance_count = 1;
    const void *extra_data = nullptr;
    u32 extra_size_bytes = 0;
    bool copy_constants = false; // copy the slot's constant block into the record
    u32 thread_groups[3] = {0, 0, 0};
};

/// The viewport rectangle of a layer set-up, fractions of the target.
struct ViewportRect {
    f32 x = 0, y = 0, width = 1, height = 1;
};

class RenderContext {
  public:
    /// Buffers start at 10240 bytes, drawn through the context's own allocator.
    explicit RenderContext(Allocator &parent);

    /// Write offset back to the start, no entries (capacity kept), slot index 0, no
    /// bindings, segment closed.
    void reset();

    /// Stores the layer config and resource set; must precede render_batch and submit_layers.
    void bind_layer_config(const LayerConfig *config, const RenderResourceSet *resources);

    /// Opens a segment under `key`: every command until end_segment executes as one run.
    /// False (logged) when the sort-key module refuses `key` (make_segment_key: it carries
    /// pass bits) or the entry cannot be filed; then no segment is open, and commands
    /// written until the next segment belong to no entry and never execute.
    bool begin_segment(u64 key);
    /// Closes the open segment (its entry covers everything written since begin_segment).
    void end_segment();

    /// Writes a command record of `type` with room for `payload_size` bytes and files no
    /// entry (for use inside a segment, like the set-up commands 5 and 6 that generators
    /// write themselves). Returns the payload to fill (valid until the next write), or null
    /// when the stream cannot grow.
    void *alloc_command(RenderCommand type, u32 payload_size);
    /// alloc_command, then copies `size` bytes of `payload` into it.
    bool write_command(RenderCommand type, const void *payload, u32 size);

    /// Command 7; files no entry, so only inside a segment.
    void set_viewports(u32 count, const Viewport *items);
    /// Command 8; files no entry.
    void set_scissors(u32 count, const ScissorRect *items);
    /// Command 9; files no entry.
    void clear(u32 flags);
    /// Command 4 under `key`; `box` (six u32) may be null.
    void copy_target(RenderResourceHandle destination, RenderResourceHandle source, u64 key, const u32 *box);
    /// Commands 3, 0, 1 or 2 for a texture, vertex buffer, index buffer or vertex
    /// declaration whose data the caller changed; others write nothing.
    void update_resource(const RenderResource *resource, u64 key);

    /// Files one draw record for every pass of the slot's shader that takes part in the
    /// bound layer config, one entry per pass sharing the record. Writes nothing when no
    /// pass takes part. False when no layer config is bound or the stream cannot grow.
    bool render_batch(const RenderBatch &batch, const ShaderSlotEntry &slot, u64 caller_bits);

    /// A pipeline step's draw (or compute dispatch): one record, filed once for every pass
    /// of the slot's shader that takes part in the bound layer config, under `step_key`
    /// (a generator key, sort_key.h) with that pass's number and no depth, so the step's
    /// place in the layer holds whatever layer the shader's passes name. Writes nothing
    /// when no pass takes part. False when no layer config is bound, `step_key` has bits in
    /// a pass field (logged) or the stream cannot grow.
    bool render_step_batch(const RenderBatch &batch, const ShaderSlotEntry &slot, u64 step_key);

    /// The set-up segment of every layer of `config`: viewport, colour targets 0 to 7,
    /// depth-stencil, resolve count. Target names are looked up in `resources` and their
    /// instances for the current window in `device`; a name the set lacks, or a target
    /// with no instance, binds nothing (logged).
    void submit_layers(RenderDevice &device, const RenderResourceSet &resources, const LayerConfig &config,
                       const ViewportRect &viewport);

    const Array<RenderSortEntry> &entries() const { return _entries; }
    const CommandBuffer &stream() const { return _stream; }
    const LayerConfig *layer_config() const { return _layer_config; }
    u32 shader_slot_index() const { return _shader_slot_index; }
    void set_shader_slot_index(u32 index) { _shader_slot_index = index; }
    bool is_segment_open() const { return _segment_open; }
    TraceAllocator &allocator() { return _allocator; }

  private:
    void file_entry(u64 key, u32 offset, u32 length);
    u32 passes_taking_part(const ShaderSlotEntry &slot) const;
    /// Writes the draw record; returns its length (0 when it could not be written).
    u32 write_batch(const RenderBatch &batch, const ShaderSlotEntry &slot, u32 *out_offset);
    void write_items(RenderCommand type, u32 count, const void *items, u32 item_size);
    RenderTarget *layer_target(RenderDevice &device, const RenderResourceSet &resources, u32 name);

    TraceAllocator _allocator;
    CommandBuffer _stream;
    Array<RenderSortEntry> _entries;
    const LayerConfig *_layer_config = nullptr;
    const RenderResourceSet *_resources = nullptr;
    u32 _segment_entry = 0; // index of the open segment's entry
    bool _segment_open = false;
    u32 _shader_slot_index = 0;
};

} // namespace tallow

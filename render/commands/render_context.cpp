#include "render/commands/render_context.h"

#include "foundation/log.h"
#include "render/device/render_device.h"
#include "render/resources/render_resource_set.h"

#include <cstring>

namespace tallow {

namespace {
constexpr u32 context_stream_bytes = 10240;

bool is_target_type(RenderResourceType type)
{
    return type == RenderResourceType::RenderTarget || type == RenderResourceType::DependentRenderTarget ||
           type == RenderResourceType::BackBuffer;
}
} // namespace

RenderContext::RenderContext(Allocator &parent)
    : _allocator("RenderContext", parent), _stream(_allocator, context_stream_bytes), _entries(_allocator)
{
}

void RenderContext::reset()
{
    _stream.reset();
    _entries.clear();
    _layer_config = nullptr;
    _resources = nullptr;
    _segment_open = false;
    _segment_entry = 0;
    _shader_slot_index = 0;
}

void RenderContext::bind_layer_config(const LayerConfig *config, const RenderResourceSet *resources)
{
    _layer_config = config;
    _resources = resources;
}

void RenderContext::file_entry(u64 key, u32 offset, u32 length)
{
    RenderSortEntry entry{};
    entry.key = i64(key);
    entry.buffer = &_stream;
    entry.offset = offset;
    entry.length = length;
    entry.segment = 0;
    _entries.push_back(entry);
}

bool RenderContext::begin_segment(u64 key)
{
    if (_segment_open)
        end_segment();
    u64 segment_key = 0;
    if (!make_segment_key(key, &segment_key))
        return false;
    RenderSortEntry entry{};
    entry.key = i64(segment_key);
    entry.buffer = &_stream;
    entry.offset = _stream.write_offset();
    entry.length = 0;
    entry.segment = 1;
    if (!_entries.push_back(entry))
        return false;
    // Entries filed while the segment is open (draws, copies) come after this one, so the
    // segment keeps its own index rather than "the last entry".
    _segment_entry = _entries.size() - 1;
    _segment_open = true;
    return true;
}

void RenderContext::end_segment()
{
    if (!_segment_open)
        return;
    RenderSortEntry &entry = _entries[_segment_entry];
    entry.length = _stream.write_offset() - entry.offset;
    _segment_open = false;
}

void *RenderContext::alloc_command(RenderCommand type, u32 payload_size)
{
    return _stream.append(u32(type), payload_size);
}

bool RenderContext::write_command(RenderCommand type, const void *payload, u32 size)
{
    return _stream.write(u32(type), payload, size);
}

void RenderContext::write_items(RenderCommand type, u32 count, const void *items, u32 item_size)
{
    const CommandItems header{count, u32(sizeof(CommandItems))};
    const u64 bytes = u64(count) * item_size;
    if (bytes > 0x10000000ull)
        return;
    u8 *payload = static_cast<u8 *>(_stream.append(u32(type), u32(sizeof header + bytes)));
    if (!payload)
        return;
    memcpy(payload, &header, sizeof header);
    if (bytes)
        memcpy(payload + sizeof header, items, bytes);
}

void RenderContext::set_viewports(u32 count, const Viewport *items)
{
    write_items(RenderCommand::SetViewports, count, items, sizeof(Viewport));
}

void RenderContext::set_scissors(u32 count, const ScissorRect *items)
{
    write_items(RenderCommand::SetScissors, count, items, sizeof(ScissorRect));
}

void RenderContext::clear(u32 flags)
{
    const CommandClear command{flags};
    _stream.write(u32(RenderCommand::Clear), &command, sizeof command);
}

void RenderContext::copy_target(RenderResourceHandle destination, RenderResourceHandle source, u64 key, const u32 *box)
{
    CommandCopyTarget command{destination, source, {0, 0, 0, 0, 0, 0}};
    if (box)
        memcpy(command.box, box, sizeof command.box);
    u32 record = 0;
    if (_stream.write(u32(RenderCommand::CopyTarget), &command, sizeof command, &record))
        file_entry(key, record, _stream.write_offset() - record);
}

void RenderContext::update_resource(const RenderResource *resource, u64 key)
{
    if (!resource)
        return;
    u32 record = 0;
    bool written = false;
    switch (resource->type) {
    case RenderResourceType::Texture: {
        const Texture &texture = *static_cast<const Texture *>(resource);
        UpdateTexture header;
        header.type = texture.type;
        header.handle = texture.handle;
        header.description = texture.description;
        header.data_count = texture.data.size();
        header.data_offset = sizeof header;
        const u64 bytes = sizeof header + u64(header.data_count) * sizeof(const void *);
        u8 *payload = static_cast<u8 *>(_stream.append(u32(RenderCommand::UpdateTexture), u32(bytes), &record));
        if (payload) {
            memcpy(payload, &header, sizeof header);
            if (header.data_count)
                memcpy(payload + sizeof header, texture.data.data(), header.data_count * sizeof(const void *));
            written = true;
        }
        break;
    }
    case RenderResourceType::VertexBuffer:
    case RenderResourceType::IndexBuffer: {
        const BufferDescription &d = *reinterpret_cast<const BufferDescription *>(resource);
        const UpdateCreateBuffer command{d, d.data ? d.data->data() : nullptr};
        const RenderCommand type = resource->type == RenderResourceType::VertexBuffer ? RenderCommand::UpdateVertexBuffer
                                                                                       : RenderCommand::UpdateIndexBuffer;
        written = _stream.write(u32(type), &command, sizeof command, &record);
        break;
    }
    case RenderResourceType::VertexDeclaration:
        written = _stream.write(u32(RenderCommand::UpdateVertexDeclaration), resource, sizeof(VertexDeclaration), &record);
        break;
    default: break;
    }
    if (written)
        file_entry(key, record, _stream.write_offset() - record);
}

u32 RenderContext::write_batch(const RenderBatch &batch, const ShaderSlotEntry &slot, u32 *out_offset)
{
    DrawBatchRecord record{};
    const u32 constant_bytes = batch.copy_constants && slot.constant_block ? slot.constant_size_bytes : 0;
    const u64 bindings_bytes = u64(batch.binding_count) * sizeof(GeometryBinding);
    const u64 payload_bytes = sizeof record + bindings_bytes + constant_bytes + batch.extra_size_bytes;
    if (payload_bytes > 0x10000000ull) {
        log_message("render", "draw batch of %llu bytes is too large; dropped", (unsigned long long)payload_bytes);
        return 0;
    }
    record.shader = slot.shader;
    record.binding_count = batch.binding_count;
    record.bindings_offset = sizeof record;
    record.constants_offset = constant_bytes ? u32(sizeof record + bindings_bytes) : 0;
    record.extra_offset = batch.extra_size_bytes ? u32(sizeof record + bindings_bytes + constant_bytes) : 0;
    record.primitive_type = batch.primitive_type;
    record.sort_depth = batch.sort_depth;
    record.start_vertex = batch.start_vertex;
    record.primitive_count = batch.primitive_count;
    record.start_index = batch.start_index;
    record.vertex_count = batch.vertex_count;
    record.instance_count = batch.instance_count;
    memcpy(record.thread_groups, batch.thread_groups, sizeof record.thread_groups);
    // The size of the slot's block goes with its pointer too, so the device can bound it.
    record.constant_size_bytes = constant_bytes ? constant_bytes : slot.constant_block ? slot.constant_size_bytes : 0;
    record.extra_size_bytes = batch.extra_size_bytes;
    record.constant_block = slot.constant_block;

    u32 offset = 0;
    u8 *payload = static_cast<u8 *>(_stream.append(u32(RenderCommand::DrawBatch), u32(payload_bytes), &offset));
    if (!payload)
        return 0;
    memcpy(payload, &record, sizeof record);
    u8 *at = payload + sizeof record;
    if (bindings_bytes) {
        memcpy(at, batch.bindings, bindings_bytes);
        at += bindings_bytes;
    }
    if (constant_bytes) {
        memcpy(at, slot.constant_block, constant_bytes);
        at += constant_bytes;
    }
    if (batch.extra_size_bytes)
        memcpy(at, batch.extra_data, batch.extra_size_bytes);

    *out_offset = offset;
    return _stream.write_offset() - offset;
}

u32 RenderContext::passes_taking_part(const ShaderSlotEntry &slot) const
{
    const u32 config = _layer_config->index;
    u32 taking_part = 0;
    for (u32 p = 0; p < slot.pass_count; ++p)
        if (slot.passes[p].sort_bits[config] != 0)
            ++taking_part;
    return taking_part;
}

bool RenderContext::render_batch(const RenderBatch &batch, const ShaderSlotEntry &slot, u64 caller_bits)
{
    if (!_layer_config) {
        log_message("render", "render_batch before bind_layer_config; draw dropped");
        return false;
    }
    const u32 config = _layer_config->index;
    if (config >= max_layer_configs || !slot.passes)
        return false;
    if (passes_taking_part(slot) == 0)
        return true;
    u32 offset = 0;
    const u32 length = write_batch(batch, slot, &offset);
    if (length == 0)
        return false;
    for (u32 p = 0; p < slot.pass_count; ++p) {
        const u64 bits = slot.passes[p].sort_bits[config];
        if (bits != 0)
            file_entry(u64(draw_sort_key(bits, slot.passes[p].sort_mode[config], batch.sort_depth, caller_bits)), offset,
                       length);
    }
    return true;
}

bool RenderContext::render_step_batch(const RenderBatch &batch, const ShaderSlotEntry &slot, u64 step_key)
{
    if (!_layer_config) {
        log_message("render", "render_step_batch before bind_layer_config; draw dropped");
        return false;
    }
    if ((step_key & (sort_key::pass_mask | sort_key::high_pass_mask)) != 0) {
        log_message("render", "step key 0x%016llx has pass bits; draw dropped", (unsigned long long)step_key);
        return false;
    }
    const u32 config = _layer_config->index;
    if (config >= max_layer_configs || !slot.passes)
        return false;
    if (passes_taking_part(slot) == 0)
        return true;
    u32 offset = 0;
    const u32 length = write_batch(batch, slot, &offset);
    if (length == 0)
        return false;
    for (u32 p = 0; p < slot.pass_count; ++p) {
        const u64 bits = slot.passes[p].sort_bits[config];
        if (bits != 0)
            file_entry(step_key | (bits & (sort_key::pass_mask | sort_key::high_pass_mask)), offset, length);
    }
    return true;
}

RenderTarget *RenderContext::layer_target(RenderDevice &device, const RenderResourceSet &resources, u32 name)
{
    const RenderResource *resource = resources.find(name);
    if (!resource || !is_target_type(resource->type)) {
        log_message("render", "layer render target 0x%08x is not a render target of the resource set; slot unbound", name);
        return nullptr;
    }
    RenderTarget *instance = device.render_target(static_cast<const RenderTarget *>(resource), template_window_index);
    if (!instance)
        log_message("render", "layer render target 0x%08x has no instance for window %u; slot unbound", name,
                    device.current_swap_chain());
    return instance;
}

void RenderContext::submit_layers(RenderDevice &device, const RenderResourceSet &resources, const LayerConfig &config,
                                  const ViewportRect &viewport)
{
    for (const Layer &layer : config.layers) {
        if (!begin_segment(layer.key))
            continue; // logged: nothing of this layer could execute
        const Viewport item{viewport.x, viewport.y, viewport.width, viewport.height, 0.0f, 1.0f};
        set_viewports(1, &item);
        u32 slot = 0;
        for (; slot < max_render_target_slots && layer.render_targets[slot] != 0; ++slot) {
            const CommandSetRenderTarget command{slot, 0, layer_target(device, resources, layer.render_targets[slot])};
            _stream.write(u32(RenderCommand::SetRenderTarget), &command, sizeof command);
        }
        for (; slot < max_render_target_slots; ++slot) {
            const CommandSetRenderTarget command{slot, 0, nullptr};
            _stream.write(u32(RenderCommand::SetRenderTarget), &command, sizeof command);
        }
        const CommandSetDepthStencil depth{
            layer.depth_stencil ? layer_target(device, resources, layer.depth_stencil) : nullptr, 0, 0};
        _stream.write(u32(RenderCommand::SetDepthStencil), &depth, sizeof depth);
        const CommandResolveCount resolve{layer.max_resolve_count};
        _stream.write(u32(RenderCommand::ResolveCount), &resolve, sizeof resolve);
        end_segment();
    }
}

} // namespace tallow

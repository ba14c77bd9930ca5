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

// The items of commands 7 and 8, at most `max_viewports` of them (more are dropped, logged).
template <typename T> u32 read_items(const CommandView &command, T *out)
{
    CommandItems items;
    if (!read_payload(command, &items))
        return 0;
    u32 count = items.count;
    if (count > max_viewports) {
        log_message(log_category, "command %u names %u rectangles; the first %u are used", command.type, count,
                    max_viewports);
        count = max_viewports;
    }
    for (u32 i = 0; i < count; ++i)
        if (!read_payload(command, &out[i], items.items_offset + i * u32(sizeof(T))))
            return i;
    return count;
}

bool entry_fits(const RenderSortEntry &entry)
{
    if (!entry.buffer || entry.length == 0)
        return false;
    const u32 end = entry.buffer->write_offset();
    if (entry.offset > end || entry.length > end - entry.offset) {
        log_message(log_category, "sort entry [%u, +%u) runs past its buffer (%u bytes); skipped", entry.offset,
                    entry.length, end);
        return false;
    }
    return true;
}

} // namespace

void track_target_state(ContextTargetState &state, const RenderSortEntry &entry)
{
    if (!entry_fits(entry))
        return;
    CommandCursor cursor(entry.buffer->data(), entry.offset, entry.offset + entry.length);
    CommandView command;
    while (cursor.next(&command)) {
        switch (RenderCommand(command.type)) {
        case RenderCommand::SetRenderTarget: {
            CommandSetRenderTarget set;
            if (read_payload(command, &set) && set.slot < max_render_target_slots)
                state.colour[set.slot] = set.target;
            break;
        }
        case RenderCommand::SetDepthStencil: {
            CommandSetDepthStencil set;
            if (read_payload(command, &set)) {
                state.depth = set.target;
                state.depth_view = set.face;
            }
            break;
        }
        case RenderCommand::SetViewports: state.viewport_count = read_items(command, state.viewports); break;
        case RenderCommand::SetScissors: state.scissor_count = read_items(command, state.scissors); break;
        case RenderCommand::ResolveCount: {
            CommandResolveCount count;
            if (read_payload(command, &count)) {
                state.copy_counter = count.max_resolve_count;
                state.carried_counter = false;
            }
            break;
        }
        case RenderCommand::DrawBatch: state.carried_counter_drawn |= state.carried_counter; break;
        case RenderCommand::UpdateVertexBuffer:
        case RenderCommand::UpdateIndexBuffer: ++state.buffer_updates; break;
        default: break;
        }
    }
}

namespace {

// Calls `visit(handle, is_update)` for every vertex or index buffer the entry's commands
// update (commands 0 and 1) or name in a draw batch's geometry.
template <typename Visit> void for_each_buffer_use(const RenderSortEntry &entry, Visit &&visit)
{
    if (!entry_fits(entry))
        return;
    CommandCursor cursor(entry.buffer->data(), entry.offset, entry.offset + entry.length);
    CommandView command;
    while (cursor.next(&command)) {
        const RenderCommand type = RenderCommand(command.type);
        if (type == RenderCommand::UpdateVertexBuffer || type == RenderCommand::UpdateIndexBuffer) {
            UpdateCreateBuffer update;
            if (read_payload(command, &update))
                visit(update.description.resource.handle, true);
        } else if (type == RenderCommand::DrawBatch) {
            DrawBatchRecord batch;
            if (!read_payload(command, &batch))
                continue;
            for (u32 i = 0; i < batch.binding_count; ++i) {
                GeometryBinding item;
                if (!read_payload(command, &item, batch.bindings_offset + i * u32(sizeof(GeometryBinding))))
                    break;
                if (item.kind == u32(RenderResourceType::VertexBuffer) ||
                    item.kind == u32(RenderResourceType::IndexBuffer))
                    visit(item.handle, false);
            }
        }
    }
}

} // namespace

bool buffer_updates_cross_ranges(const RenderSortEntry *entries, u32 count, u32 range_size)
{
    if (range_size == 0 || count <= range_size)
        return false;
    struct Updated {
        RenderResourceHandle handle;
        u32 range;
    };
    TempAllocator scratch;
    Array<Updated> updated(scratch);
    bool crossed = false;
    // Updates are few: each is looked up among the ones before it.
    for (u32 i = 0; i < count && !crossed; ++i) {
        const u32 range = i / range_size;
        for_each_buffer_use(entries[i], [&](RenderResourceHandle handle, bool is_update) {
            if (!is_update)
                return;
            for (const Updated &u : updated) {
                if (u.handle == handle) {
                    crossed |= u.range != range;
                    return;
                }
            }
            if (!updated.push_back({handle, range}))
                crossed = true; // out of scratch: assume the worst
        });
    }
    if (crossed || updated.empty())
        return crossed;
    // Draws are many: the updated buffers are searched by handle.
    const auto by_handle = [](const Updated &a, const Updated &b) { return a.handle < b.handle; };
    std::sort(updated.begin(), updated.end(), by_handle);
    for (u32 i = 0; i < count && !crossed; ++i) {
        const u32 range = i / range_size;
        for_each_buffer_use(entries[i], [&](RenderResourceHandle handle, bool) {
            const Updated key{handle, 0};
            const Updated *found = std::lower_bound(updated.begin(), updated.end(), key, by_handle);
            if (found != updated.end() && found->handle == handle && found->range != range)
                crossed = true;
        });
    }
    return crossed;
}

bool buffer_updates_precede_draws(const RenderSortEntry *entries, u32 count)
{
    // Each buffer's last update, by handle; a use is placed by its rank among all uses.
    struct LastUpdate {
        RenderResourceHandle handle;
        u64 position;
    };
    const auto by_handle = [](const LastUpdate &a, const LastUpdate &b) { return a.handle < b.handle; };
    TempAllocator scratch;
    Array<LastUpdate> updated(scratch);
    u64 position = 0;
    bool fits = true;
    for (u32 i = 0; i < count && fits; ++i) {
        for_each_buffer_use(entries[i], [&](RenderResourceHandle handle, bool is_update) {
            ++position;
            if (is_update)
                fits = fits && updated.push_back({handle, position});
        });
    }
    if (!fits)
        return false;
    // Stable, so among one handle's updates the last one stays last.
    std::stable_sort(updated.begin(), updated.end(), by_handle);
    position = 0;
    bool precede = true;
    for (u32 i = 0; i < count && precede; ++i) {
        for_each_buffer_use(entries[i], [&](RenderResourceHandle handle, bool is_update) {
            ++position;
            if (is_update)
                return;
            const LastUpdate key{handle, 0};
            const LastUpdate *end = std::upper_bound(updated.begin(), updated.end(), key, by_handle);
            if (end != updated.begin() && (end - 1)->handle == handle && (end - 1)->position > position)
                precede = false;
        });
    }
    return precede;
}

D3DRenderContext::D3DRenderContext(Allocator &allocator, ID3D11Device *device, D3DResourceManager &manager)
    : _allocator(allocator), _device(device), _manager(manager),
      _stage_views{Array<ID3D11ShaderResourceView *>(allocator), Array<ID3D11ShaderResourceView *>(allocator),
                   Array<ID3D11ShaderResourceView *>(allocator), Array<ID3D11ShaderResourceView *>(allocator),
                   Array<ID3D11ShaderResourceView *>(allocator), Array<ID3D11ShaderResourceView *>(allocator)},
      _new_layouts(allocator), _vertex_ring(device, D3D11_BIND_VERTEX_BUFFER),
      _index_ring(device, D3D11_BIND_INDEX_BUFFER)
{
    reset();
}

D3DRenderContext::~D3DRenderContext()
{
    // Layouts never merged are given back, so the caches' counts stay right.
    for (const NewInputLayout &entry : _new_layouts)
        _manager.caches().release_input_layout(entry.layout);
}

void D3DRenderContext::reset()
{
    memset(_vertex_buffers, 0, sizeof _vertex_buffers);
    memset(_strides, 0, sizeof _strides);
    memset(_offsets, 0, sizeof _offsets);
    _viewport_count = 1;
    _relative_viewports[0] = {0, 0, 1, 1, 0, 1};
    memset(_viewports, 0, sizeof _viewports);
    _scissor_count = 1;
    _relative_scissors[0] = {0, 0, 1, 1};
    memset(_scissors, 0, sizeof _scissors);
    _viewports_applied = false;
    _scissors_applied = false;
    _pass = nullptr;
    memset(_shaders, 0, sizeof _shaders);
    _rasterizer = nullptr;
    _depth_state = nullptr;
    _stencil_ref = 0;
    _blend = nullptr;
    _input_layout = nullptr;
    _topology = -1;
    _index_buffer = nullptr;
    _index_format = DXGI_FORMAT_UNKNOWN;
    _index_offset = 0;
    for (u32 s = 0; s < stage_count; ++s) {
        _stage_views[s].clear();
        _constant_slots[s] = 0;
        _sampler_slots[s] = 0;
    }
    // The target slots are forgotten too: after a ClearState (a resize) or a finished
    // command list, a command naming the target that was bound must bind it again.
    for (TargetSlot &slot : _colour)
        slot = {};
    _depth = {};
    _targets_dirty = false;
    memset(_bound_views, 0, sizeof _bound_views);
    _bound_depth = nullptr;
    _targets_bound = false;
    memset(_unordered_views, 0, sizeof _unordered_views);
    memset(_unordered_serials, 0, sizeof _unordered_serials);
    _unordered_count = 0;
}

void D3DRenderContext::restore_target_state(const ContextTargetState &state)
{
    reset();
    for (u32 i = 0; i < max_render_target_slots; ++i)
        if (state.colour[i])
            set_render_target(i, state.colour[i], 0);
    if (state.depth)
        set_depth_stencil(state.depth, state.depth_view);
    set_viewports(state.viewport_count, state.viewports);
    set_scissors(state.scissor_count, state.scissors);
    _copy_counter = state.copy_counter;
}

void D3DRenderContext::begin_frame()
{
    _vertex_ring.restart();
    _index_ring.restart();
}

bool D3DRenderContext::finish_command_list()
{
    _command_list.reset();
    if (!_context)
        return false;
    const HRESULT result = _context->FinishCommandList(FALSE, _command_list.put());
    reset(); // FinishCommandList(FALSE) leaves the deferred context in its default state
    if (FAILED(result)) {
        log_message(log_category, "FinishCommandList failed (0x%08x)", u32(result));
        return false;
    }
    return true;
}

void D3DRenderContext::merge_input_layouts()
{
    for (const NewInputLayout &entry : _new_layouts)
        _manager.note_input_layout(entry.declaration, entry.vertex_shader, entry.layout);
    _new_layouts.clear();
}

void D3DRenderContext::execute(const RenderSortEntry *entries, u32 count)
{
    if (!_context)
        return;
    revalidate_targets();
    for (u32 i = 0; i < count; ++i)
        execute_entry(entries[i]);
}

void D3DRenderContext::execute_buffer_updates(const RenderSortEntry *entries, u32 count)
{
    if (!_context)
        return;
    for (u32 i = 0; i < count; ++i) {
        if (!entry_fits(entries[i]))
            continue;
        CommandCursor cursor(entries[i].buffer->data(), entries[i].offset, entries[i].offset + entries[i].length);
        CommandView command;
        while (cursor.next(&command))
            if (command.type == u32(RenderCommand::UpdateVertexBuffer) ||
                command.type == u32(RenderCommand::UpdateIndexBuffer))
                _manager.update_resource(_context, command.type, command.payload, command.payload_size);
    }
}

void D3DRenderContext::execute_entry(const RenderSortEntry &entry)
{
    if (!entry_fits(entry))
        return;
    CommandCursor cursor(entry.buffer->data(), entry.offset, entry.offset + entry.length);
    CommandView command;
    while (cursor.next(&command)) {
        switch (RenderCommand(command.type)) {
        case RenderCommand::UpdateVertexBuffer:
        case RenderCommand::UpdateIndexBuffer:
            if (!_buffer_updates_done)
                _manager.update_resource(_context, command.type, command.payload, command.payload_size);
            break;
        case RenderCommand::UpdateVertexDeclaration:
        case RenderCommand::UpdateTexture:
            _manager.update_resource(_context, command.type, command.payload, command.payload_size);
            break;
        case RenderCommand::CopyTarget: {
            CommandCopyTarget copy;
            if (read_payload(command, &copy))
                _manager.copy_texture_region(_context, copy);
            break;
        }
        case RenderCommand::SetRenderTarget: {
            CommandSetRenderTarget set;
            if (!read_payload(command, &set) || set.slot >= max_render_target_slots) {
                log_message(log_category, "set render target: bad payload or slot; skipped");
                break;
            }
            set_render_target(set.slot, set.target, 0);
            break;
        }
        case RenderCommand::SetDepthStencil: {
            CommandSetDepthStencil set;
            if (read_payload(command, &set))
                set_depth_stencil(set.target, set.face);
            break;
        }
        case RenderCommand::SetViewports: {
            Viewport items[max_viewports];
            const u32 count = read_items(command, items);
            set_viewports(count, items);
            break;
        }
        case RenderCommand::SetScissors: {
            ScissorRect items[max_viewports];
            const u32 count = read_items(command, items);
            set_scissors(count, items);
            break;
        }
        case RenderCommand::Clear: {
            CommandClear clear_command;
            if (read_payload(command, &clear_command))
                clear(clear_command.flags);
            break;
        }
        case RenderCommand::DrawBatch: draw_batch(command, entry.key); break;
        case RenderCommand::ResolveCount: {
            CommandResolveCount resolve;
            if (read_payload(command, &resolve))
                _copy_counter = resolve.max_resolve_count;
            break;
        }
        default: break; // 11 and unknown types: skipped by their size
        }
    }
    if (cursor.failed())
        log_message(log_category, "a render command does not fit its entry; the rest of the entry is skipped");
}

// ---- Targets, viewports, scissors, clears ---------------------------------------------

void D3DRenderContext::set_render_target(u32 slot, RenderTarget *target, u32 view)
{
    set_target_slot(_colour[slot], _colour_size, target, view, false);
}

void D3DRenderContext::set_depth_stencil(RenderTarget *target, u32 view)
{
    set_target_slot(_depth, _depth_size, target, view, true);
}

void D3DRenderContext::set_target_slot(TargetSlot &bound, f32 *size, RenderTarget *target, u32 view, bool)
{
    // The target object is read here only: the command that names it belongs to this frame.
    const RenderResourceHandle handle = target ? target->handle : invalid_render_handle;
    const RenderTargetRecord *record = target ? _manager.render_target(handle) : nullptr;
    const u32 serial = record ? record->serial : 0;
    if (target)
        memcpy(bound.clear_color, target->clear_color, sizeof bound.clear_color);
    // The same record (a target made again under its handle has a new serial) and view:
    // nothing to bind.
    if (bound.used == (target != nullptr) && bound.handle == handle && bound.serial == serial && bound.view == view &&
        (serial != 0 || !target))
        return;
    if (target) {
        size[0] = f32(target->description.width);
        size[1] = f32(target->description.height);
    }
    unbind_record(record);
    bound.used = target != nullptr;
    bound.handle = handle;
    bound.serial = serial;
    bound.view = view;
    _targets_dirty = true;
}

void D3DRenderContext::revalidate_targets()
{
    // Between two executions targets may have been released or made again: a slot whose
    // record is gone binds nothing from now on, so the next draw must bind again rather
    // than draw into what the slot named.
    if (!_targets_bound)
        return;
    for (const TargetSlot &slot : _colour)
        if (slot.serial != 0 && !record_of(slot))
            _targets_dirty = true;
    if (_depth.serial != 0 && !record_of(_depth))
        _targets_dirty = true;
}

const RenderTargetRecord *D3DRenderContext::record_of(const TargetSlot &slot) const
{
    if (slot.serial == 0)
        return nullptr;
    const RenderTargetRecord *record = _manager.render_target(slot.handle);
    return record && record->serial == slot.serial ? record : nullptr;
}

void D3DRenderContext::unbind_record(const RenderTargetRecord *record)
{
    if (!record)
        return;
    ID3D11ShaderResourceView *const views[2] = {record->linear_view.get(), record->srgb_view.get()};
    for (u32 s = 0; s < stage_count; ++s) {
        Array<ID3D11ShaderResourceView *> &bound = _stage_views[s];
        for (u32 i = 0; i < bound.size(); ++i) {
            if (bound[i] && (bound[i] == views[0] || bound[i] == views[1])) {
                bound[i] = nullptr;
                ID3D11ShaderResourceView *none = nullptr;
                set_stage_views(_context, s, i, 1, &none);
            }
        }
    }
    unbind_record_unordered(record);
}

bool D3DRenderContext::is_bound_as_output(const RenderTargetRecord *record) const
{
    if (!record || record->serial == 0)
        return false;
    if (_depth.serial == record->serial)
        return true;
    for (const TargetSlot &slot : _colour)
        if (slot.serial == record->serial)
            return true;
    return false;
}

void D3DRenderContext::apply_targets(const D3DShaderPass *pass)
{
    ID3D11RenderTargetView *views[max_render_target_slots] = {};
    for (u32 i = 0; i < max_render_target_slots; ++i) {
        const TargetSlot &slot = _colour[i];
        const RenderTargetRecord *record = record_of(slot);
        if (!record)
            continue;
        const bool srgb = pass && pass->blend && pass->blend->srgb[i];
        const auto &list = srgb ? record->srgb_targets : record->linear_targets;
        if (slot.view < list.size())
            views[i] = list[slot.view].get();
    }
    ID3D11DepthStencilView *depth = nullptr;
    const RenderTargetRecord *depth_record = record_of(_depth);
    if (depth_record && _depth.view < depth_record->depth_targets.size())
        depth = depth_record->depth_targets[_depth.view].get();
    if (!_targets_bound || memcmp(views, _bound_views, sizeof views) != 0 || depth != _bound_depth) {
        _context->OMSetRenderTargets(max_render_target_slots, views, depth);
        memcpy(_bound_views, views, sizeof views);
        _bound_depth = depth;
        _targets_bound = true;
    }
    _targets_dirty = false;
    // Viewports and scissors are fractions of the target size.
    apply_viewports();
    apply_scissors();
}

void D3DRenderContext::reference_size(f32 &out_width, f32 &out_height) const
{
    const bool colour = _colour[0].used;
    out_width = colour ? _colour_size[0] : _depth_size[0];
    out_height = colour ? _colour_size[1] : _depth_size[1];
}

void D3DRenderContext::set_viewports(u32 count, const Viewport *items)
{
    _viewport_count = count;
    for (u32 i = 0; i < count; ++i)
        _relative_viewports[i] = items[i];
    _viewports_applied = false;
    apply_viewports();
}

void D3DRenderContext::set_scissors(u32 count, const ScissorRect *items)
{
    _scissor_count = count;
    for (u32 i = 0; i < count; ++i)
        _relative_scissors[i] = items[i];
    _scissors_applied = false;
    apply_scissors();
}

void D3DRenderContext::apply_viewports()
{
    f32 w, h;
    reference_size(w, h);
    D3D11_VIEWPORT computed[max_viewports] = {};
    for (u32 i = 0; i < _viewport_count; ++i) {
        const Viewport &r = _relative_viewports[i];
        computed[i] = {std::trunc(r.x * w), std::trunc(r.y * h), std::trunc(r.width * w), std::trunc(r.height * h),
                       r.min_depth, r.max_depth};
    }
    if (_viewports_applied && memcmp(computed, _viewports, sizeof computed) == 0)
        return;
    memcpy(_viewports, computed, sizeof computed);
    _viewports_applied = true;
    _context->RSSetViewports(_viewport_count, _viewports);
}

void D3DRenderContext::apply_scissors()
{
    f32 w, h;
    reference_size(w, h);
    D3D11_RECT computed[max_viewports] = {};
    for (u32 i = 0; i < _scissor_count; ++i) {
        const ScissorRect &r = _relative_scissors[i];
        const LONG left = LONG(std::trunc(r.x * w));
        const LONG top = LONG(std::trunc(r.y * h));
        computed[i] = {left, top, left + LONG(std::trunc(r.width * w)), top + LONG(std::trunc(r.height * h))};
    }
    if (_scissors_applied && memcmp(computed, _scissors, sizeof computed) == 0)
        return;
    memcpy(_scissors, computed, sizeof computed);
    _scissors_applied = true;
    _context->RSSetScissorRects(_scissor_count, _scissors);
}

void D3DRenderContext::clear(u32 flags)
{
    // The slots may have been set in an earlier frame: their records are looked up again,
    // and a target released since then is not cleared.
    if (flags & clear_flags::color) {
        for (const TargetSlot &slot : _colour) {
            if (!slot.used)
                break;
            const RenderTargetRecord *record = record_of(slot);
            if (record && slot.view < record->linear_targets.size())
                if (ID3D11RenderTargetView *view = record->linear_targets[slot.view].get())
                    _context->ClearRenderTargetView(view, slot.clear_color);
        }
    }
    const u32 depth_flags = (flags >> 1) & 3;
    const RenderTargetRecord *depth = depth_flags ? record_of(_depth) : nullptr;
    if (depth && _depth.view < depth->depth_targets.size())
        if (ID3D11DepthStencilView *view = depth->depth_targets[_depth.view].get())
            _context->ClearDepthStencilView(view, depth_flags, 1.0f, 0);
}

} // namespace tallow::render::d3d11

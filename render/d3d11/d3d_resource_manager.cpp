#include "render/d3d11/d3d_resource_manager.h"

#include "foundation/log.h"
#include "foundation/memory/temp_allocator.h"
#include "render/commands/command_buffer.h"
#include "render/device/render_device.h"

#include <cstring>

namespace tallow::render::d3d11 {
namespace {

const char *const log_category = "d3d11";
constexpr u32 no_slot = 0xFFFFFFFFu;
constexpr u8 no_type = 0xFF;

bool is_target_type(RenderResourceType type)
{
    return type == RenderResourceType::RenderTarget || type == RenderResourceType::DependentRenderTarget ||
           type == RenderResourceType::BackBuffer;
}

TextureDesc texture_desc_of(const TextureDescription &d)
{
    return {d.format, d.image_type, d.width, d.height, d.face_count, d.mip_count};
}

RenderTargetDesc target_desc_of(const RenderTarget &target)
{
    RenderTargetDesc desc;
    desc.format = target.description.format;
    desc.image_type = target.description.image_type;
    desc.width = target.description.width;
    desc.height = target.description.height;
    desc.array_size = target.array_size;
    desc.sample_count = target.sample_count;
    desc.sample_quality = target.sample_quality;
    desc.multisampled = target.multisampled != 0;
    return desc;
}

template <typename T> bool read_payload(const u8 *payload, u32 payload_size, T &out)
{
    if (payload_size < sizeof(T))
        return false;
    memcpy(&out, payload, sizeof(T));
    return true;
}

} // namespace

D3DResourceManager::D3DResourceManager(Allocator &parent, const D3DResourceManagerParams &params)
    : _allocator("D3DResourceManager", parent), _params(params),
      _caches(_allocator, params.device, params.feature_level),
      _texture_creator(_allocator, params.device, params.feature_level),
      _geometry_creator(_allocator, params.device, _caches), _copy_cache(_allocator, _texture_creator),
      _handles(_allocator), _textures(_allocator), _targets(_allocator), _vertex_buffers(_allocator),
      _index_buffers(_allocator), _declarations(_allocator), _shaders(_allocator),
      _free_slots{Array<u32>(_allocator), Array<u32>(_allocator), Array<u32>(_allocator),
                  Array<u32>(_allocator), Array<u32>(_allocator), Array<u32>(_allocator)}
{
}

D3DResourceManager::~D3DResourceManager()
{
    // Everything the front end left alive goes here, textures, buffers and declarations
    // included, while the creators and caches that made them still exist.
    for (u32 index = 0; index < _handles.size(); ++index) {
        const HandleEntry entry = _handles[index];
        if (entry.type == no_type)
            continue;
        // Entries are found by index; the handle's kind bits are not read.
        release(RenderResourceType(entry.type), make_render_handle(0, index));
    }
    _copy_cache.clear();
}

ProcessResult D3DResourceManager::process(const CommandBuffer &stream)
{
    return process(stream.data(), stream.start_offset(), stream.write_offset());
}

ProcessResult D3DResourceManager::process(const u8 *data, u32 begin, u32 end)
{
    ProcessResult result;
    if (!data || begin >= end)
        return result;
    // Records sit at 4-aligned places: a stream whose bytes start unaligned begins at the
    // first aligned address.
    const u32 misalignment = u32(reinterpret_cast<uintptr_t>(data + begin) & 3u);
    if (misalignment)
        begin += 4 - misalignment;
    if (begin >= end)
        return result;
    // Offsets count from the first record, whose address is aligned.
    CommandCursor cursor(data + begin, 0, end - begin);
    CommandView record;
    while (cursor.next(&record)) {
        if (execute(record))
            ++result.executed;
        else
            ++result.skipped;
    }
    if (cursor.failed()) {
        log_message(log_category, "resource stream ends in a record that does not fit; the rest is skipped");
        result.truncated = true;
    }
    return result;
}

bool D3DResourceManager::execute(const CommandView &record)
{
    const u8 *payload = record.payload;
    const u32 size = record.payload_size;
    if (record.type >= resource_update_type_count) {
        log_message(log_category, "resource update of unknown type %u skipped", record.type);
        return false;
    }
    const auto type = ResourceUpdate(record.type);
    if (record.type & 1) {
        UpdateRelease release_record;
        if (!read_payload(payload, size, release_record)) {
            log_message(log_category, "release record of %u bytes is too short; skipped", size);
            return false;
        }
        return release(release_record.type, release_record.handle);
    }
    switch (type) {
    case ResourceUpdate::CreateVertexBuffer:
    case ResourceUpdate::CreateIndexBuffer: {
        UpdateCreateBuffer buffer;
        if (!read_payload(payload, size, buffer)) {
            log_message(log_category, "buffer record of %u bytes is too short; skipped", size);
            return false;
        }
        const RenderResourceType expected = type == ResourceUpdate::CreateVertexBuffer
                                                ? RenderResourceType::VertexBuffer
                                                : RenderResourceType::IndexBuffer;
        if (buffer.description.resource.type != expected) {
            log_message(log_category, "buffer record %u names a resource of type %u; skipped", record.type,
                        u32(buffer.description.resource.type));
            return false;
        }
        return create_buffer(buffer.description, buffer.data);
    }
    case ResourceUpdate::CreateVertexDeclaration: {
        VertexDeclaration declaration;
        if (!read_payload(payload, size, declaration)) {
            log_message(log_category, "vertex declaration record of %u bytes is too short; skipped", size);
            return false;
        }
        return create_vertex_declaration(declaration);
    }
    case ResourceUpdate::CreateShader: {
        UpdateCreateShader shader;
        if (!read_payload(payload, size, shader) || !shader.shader) {
            log_message(log_category, "shader record without a shader; skipped");
            return false;
        }
        return create_shader(shader.shader, shader.handle);
    }
    case ResourceUpdate::CreateRenderTarget: {
        UpdateCreateRenderTarget target;
        if (!read_payload(payload, size, target) || !target.target) {
            log_message(log_category, "render target record without a target; skipped");
            return false;
        }
        return create_render_target(*target.target, target.handle);
    }
    case ResourceUpdate::CreateTexture: {
        UpdateTexture texture;
        if (!read_payload(payload, size, texture)) {
            log_message(log_category, "texture record of %u bytes is too short; skipped", size);
            return false;
        }
        if (texture.type != RenderResourceType::Texture) {
            log_message(log_category, "texture record names a resource of type %u; skipped", u32(texture.type));
            return false;
        }
        // The data pointers must lie inside the record.
        const u64 data_end = u64(texture.data_offset) + u64(texture.data_count) * sizeof(const void *);
        if (texture.data_count && (texture.data_offset < sizeof(UpdateTexture) || data_end > size)) {
            log_message(log_category, "texture record's %u data pointers at %u run past its %u bytes; skipped",
                        texture.data_count, texture.data_offset, size);
            return false;
        }
        TempAllocator scratch;
        Array<const void *> pointers(scratch);
        pointers.resize(texture.data_count);
        if (pointers.size() != texture.data_count)
            return false;
        if (texture.data_count)
            memcpy(pointers.data(), payload + texture.data_offset, texture.data_count * sizeof(const void *));
        return create_texture(texture.handle, texture_desc_of(texture.description),
                              texture.data_count ? pointers.data() : nullptr, texture.data_count);
    }
    default: break;
    }
    return false;
}

D3DResourceManager::Table D3DResourceManager::table_of(RenderResourceType type)
{
    switch (type) {
    case RenderResourceType::Texture: return Table::texture;
    case RenderResourceType::RenderTarget:
    case RenderResourceType::DependentRenderTarget:
    case RenderResourceType::BackBuffer: return Table::target;
    case RenderResourceType::VertexBuffer: return Table::vertex_buffer;
    case RenderResourceType::IndexBuffer: return Table::index_buffer;
    case RenderResourceType::VertexDeclaration: return Table::declaration;
    case RenderResourceType::Shader: return Table::shader;
    }
    return Table::count;
}

D3DResourceManager::HandleEntry *D3DResourceManager::live_entry(RenderResourceHandle handle, Table table)
{
    return const_cast<HandleEntry *>(static_cast<const D3DResourceManager *>(this)->live_entry(handle, table));
}

const D3DResourceManager::HandleEntry *D3DResourceManager::live_entry(RenderResourceHandle handle, Table table) const
{
    if (handle == invalid_render_handle)
        return nullptr;
    const u32 index = render_index_of(handle);
    if (index >= _handles.size() || _handles[index].type == no_type)
        return nullptr;
    const HandleEntry &entry = _handles[index];
    return table_of(RenderResourceType(entry.type)) == table ? &entry : nullptr;
}

u32 D3DResourceManager::take_slot(RenderResourceHandle handle, RenderResourceType type)
{
    const u32 index = render_index_of(handle);
    if (index < _handles.size() && _handles[index].type != no_type) {
        // A create for a handle that still holds objects makes them again: the old ones
        // go first, so nothing is left behind in an unreachable record.
        release(RenderResourceType(_handles[index].type), handle);
    }
    if (index >= _handles.size()) {
        _handles.resize(index + 1);
        if (_handles.size() != index + 1) {
            log_message(log_category, "no memory for resource handle %u", index);
            return no_slot;
        }
    }
    const Table table = table_of(type);
    if (u32(table) >= u32(Table::count))
        return no_slot;
    u32 table_size = 0;
    switch (table) {
    case Table::texture: table_size = _textures.size(); break;
    case Table::target: table_size = _targets.size(); break;
    case Table::vertex_buffer: table_size = _vertex_buffers.size(); break;
    case Table::index_buffer: table_size = _index_buffers.size(); break;
    case Table::declaration: table_size = _declarations.size(); break;
    case Table::shader: table_size = _shaders.size(); break;
    case Table::count: break;
    }
    Array<u32> &free_slots = _free_slots[u32(table)];
    u32 slot = no_slot;
    if (!free_slots.empty()) {
        slot = free_slots.back(); // last freed first
        free_slots.pop_back();
    } else {
        bool grown = false;
        switch (table) {
        case Table::texture: _textures.resize(table_size + 1); grown = _textures.size() > table_size; break;
        case Table::target: _targets.resize(table_size + 1); grown = _targets.size() > table_size; break;
        case Table::vertex_buffer:
            _vertex_buffers.resize(table_size + 1);
            grown = _vertex_buffers.size() > table_size;
            break;
        case Table::index_buffer:
            _index_buffers.resize(table_size + 1);
            grown = _index_buffers.size() > table_size;
            break;
        case Table::declaration:
            _declarations.resize(table_size + 1);
            grown = _declarations.size() > table_size;
            break;
        case Table::shader: grown = _shaders.push_back(nullptr); break;
        case Table::count: break;
        }
        if (!grown) {
            log_message(log_category, "no memory for another resource record");
            return no_slot;
        }
        slot = table_size;
    }
    _handles[index] = {slot, u8(type)};
    ++_live[u32(type)];
    return slot;
}

void D3DResourceManager::free_slot(RenderResourceHandle handle, Table table)
{
    HandleEntry &entry = _handles[render_index_of(handle)];
    if (!_free_slots[u32(table)].push_back(entry.slot))
        log_message(log_category, "no memory to keep free slot %u; the record is not reused", entry.slot);
    --_live[entry.type];
    entry = HandleEntry{};
}

bool D3DResourceManager::create_texture(RenderResourceHandle handle, const TextureDesc &desc,
                                        const void *const *data, u32 count)
{
    if (handle == invalid_render_handle || render_kind_of(handle) != render_handle_kind::texture) {
        log_message(log_category, "texture with handle 0x%08x of the wrong kind; skipped", handle);
        return false;
    }
    if (!D3DTextureCreator::is_valid_texture_desc(desc))
        return false;
    if (data && count != desc.array_size * desc.mip_levels) {
        log_message(log_category, "texture 0x%08x has %u data pointers for %u slices x %u mips; skipped", handle,
                    count, desc.array_size, desc.mip_levels);
        return false;
    }
    const u32 slot = take_slot(handle, RenderResourceType::Texture);
    if (slot == no_slot)
        return false;
    if (!_texture_creator.create_texture(_textures[slot], desc, data, count)) {
        free_slot(handle, Table::texture);
        return false;
    }
    return true;
}

bool D3DResourceManager::create_render_target(RenderTarget &target)
{
    return create_render_target(target, target.handle);
}

bool D3DResourceManager::create_render_target(RenderTarget &target, RenderResourceHandle handle)
{
    if (!is_target_type(target.type) || handle == invalid_render_handle ||
        render_kind_of(handle) != render_handle_kind::render_target) {
        log_message(log_category, "render target of type %u with handle 0x%08x; skipped", u32(target.type), handle);
        return false;
    }
    RenderTargetDesc desc;
    IDXGISwapChain *swap_chain = nullptr;
    if (target.type == RenderResourceType::BackBuffer) {
        swap_chain = _params.swap_chain ? _params.swap_chain(_params.swap_chain_user, target.window_index) : nullptr;
        if (!swap_chain) {
            log_message(log_category, "back buffer 0x%08x names swap chain %u, which does not exist; skipped",
                        handle, target.window_index);
            return false;
        }
    } else {
        if (target.type == RenderResourceType::DependentRenderTarget && _params.front_end)
            static_cast<DependentRenderTarget &>(target).resolve(*_params.front_end);
        desc = target_desc_of(target);
        if (!D3DTextureCreator::is_valid_target_desc(desc))
            return false;
    }
    const u32 slot = take_slot(handle, target.type);
    if (slot == no_slot)
        return false;
    RenderTargetRecord &record = _targets[slot];
    bool made;
    if (swap_chain) {
        made = _texture_creator.create_back_buffer(record, swap_chain, desc);
        if (made) {
            // The object follows its swap chain's buffers.
            target.description.format = 0;
            target.description.width = desc.width;
            target.description.height = desc.height;
            target.array_size = 1;
            target.description.face_count = 1;
        }
    } else {
        made = _texture_creator.create_render_target(record, desc);
    }
    if (!made) {
        free_slot(handle, Table::target);
        return false;
    }
    record.kind = u32(target.type);
    record.id = handle;
    if (++_target_serial == 0)
        _target_serial = 1;
    record.serial = _target_serial;
    clear_new_target(record);
    return true;
}

bool D3DResourceManager::create_buffer(const BufferDescription &description, const void *data)
{
    const RenderResourceHandle handle = description.resource.handle;
    const bool vertex = description.resource.type == RenderResourceType::VertexBuffer;
    const u32 kind = vertex ? render_handle_kind::vertex_buffer : render_handle_kind::index_buffer;
    if (handle == invalid_render_handle || render_kind_of(handle) != kind) {
        log_message(log_category, "buffer with handle 0x%08x of the wrong kind; skipped", handle);
        return false;
    }
    const u32 slot = take_slot(handle, description.resource.type);
    if (slot == no_slot)
        return false;
    const BufferDesc desc{description.mode, description.element_count, description.element_size};
    BufferRecord &record = vertex ? _vertex_buffers[slot] : _index_buffers[slot];
    const bool made = vertex ? _geometry_creator.create_vertex_buffer(record, desc, data)
                             : _geometry_creator.create_index_buffer(record, desc, data);
    if (!made) {
        free_slot(handle, vertex ? Table::vertex_buffer : Table::index_buffer);
        return false;
    }
    return true;
}

bool D3DResourceManager::create_vertex_declaration(const VertexDeclaration &declaration)
{
    const RenderResourceHandle handle = declaration.resource.handle;
    if (declaration.resource.type != RenderResourceType::VertexDeclaration || handle == invalid_render_handle ||
        render_kind_of(handle) != render_handle_kind::vertex_declaration) {
        log_message(log_category, "vertex declaration with handle 0x%08x of the wrong kind; skipped", handle);
        return false;
    }
    const u32 slot = take_slot(handle, RenderResourceType::VertexDeclaration);
    if (slot == no_slot)
        return false;
    if (!_geometry_creator.create_vertex_declaration(_declarations[slot], declaration.channels,
                                                     declaration.channel_count)) {
        free_slot(handle, Table::declaration);
        return false;
    }
    return true;
}

bool D3DResourceManager::create_shader(const RenderResource *resource, RenderResourceHandle handle)
{
    if (resource->type != RenderResourceType::Shader || handle == invalid_render_handle ||
        render_kind_of(handle) != render_handle_kind::shader) {
        log_message(log_category, "shader with handle 0x%08x of the wrong kind; skipped", handle);
        return false;
    }
    const ShaderDesc *desc = reinterpret_cast<const ShaderResourceRecord *>(resource)->desc;
    if (!desc) {
        log_message(log_category, "shader 0x%08x has no description; skipped", handle);
        return false;
    }
    if (!D3DShader::is_valid_desc(*desc))
        return false;
    const u32 slot = take_slot(handle, RenderResourceType::Shader);
    if (slot == no_slot)
        return false;
    _shaders[slot] = D3DShader::create(_allocator, _caches, _params.states, *desc);
    if (!_shaders[slot]) {
        free_slot(handle, Table::shader);
        return false;
    }
    return true;
}

void D3DResourceManager::release_slot(Table table, u32 slot)
{
    switch (table) {
    case Table::texture: _texture_creator.release_texture(_textures[slot]); break;
    case Table::target:
        _texture_creator.release_render_target(_targets[slot]);
        _targets[slot].serial = 0;
        break;
    case Table::vertex_buffer: _geometry_creator.release_buffer(_vertex_buffers[slot]); break;
    case Table::index_buffer: _geometry_creator.release_buffer(_index_buffers[slot]); break;
    case Table::declaration: _geometry_creator.release_vertex_declaration(_declarations[slot]); break;
    case Table::shader:
        D3DShader::destroy(_allocator, _caches, _params.states, _shaders[slot]);
        _shaders[slot] = nullptr;
        break;
    case Table::count: break;
    }
}

bool D3DResourceManager::release(RenderResourceType type, RenderResourceHandle handle)
{
    const Table table = table_of(type);
    if (table == Table::count)
        return u32(type) == 4 || u32(type) == 7; // types without device objects
    const HandleEntry *entry = live_entry(handle, table);
    if (!entry) {
        // A second release, or one for a handle that never held this type: the slot is
        // already free and must not go on the free list twice.
        log_message(log_category, "release of handle 0x%08x (type %u), which holds nothing of that type; skipped",
                    handle, u32(type));
        return false;
    }
    release_slot(table, entry->slot);
    free_slot(handle, table);
    return true;
}

void D3DResourceManager::release_all(const Array<RenderTarget *> &targets)
{
    for (RenderTarget *target : targets)
        if (target && target->handle != invalid_render_handle)
            release(target->type, target->handle);
}

void D3DResourceManager::create_all(const Array<RenderTarget *> &targets)
{
    for (RenderTarget *target : targets)
        if (target)
            create_render_target(*target);
}

void D3DResourceManager::clear_new_target(const RenderTargetRecord &record)
{
    ID3D11DeviceContext *context = _params.immediate;
    if (!context)
        return;
    if (record.is_depth) {
        if (!record.depth_targets.empty() && record.depth_targets[0])
            context->ClearDepthStencilView(record.depth_targets[0].get(), D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL,
                                           1.0f, 0);
    } else if (!record.linear_targets.empty() && record.linear_targets[0]) {
        const FLOAT black[4] = {0, 0, 0, 0};
        context->ClearRenderTargetView(record.linear_targets[0].get(), black);
    }
}

void D3DResourceManager::clear_flagged_targets(ID3D11DeviceContext *context, u32 window)
{
    if (!context || !_params.front_end)
        return;
    TempAllocator scratch;
    Array<RenderTarget *> targets(scratch);
    _params.front_end->render_target_list(targets, window);
    for (const RenderTarget *target : targets) {
        if (!target || target->handle == invalid_render_handle)
            continue;
        const RenderTargetRecord *record = render_target(target->handle);
        if (!record)
            continue;
        if (record->is_depth) {
            if (!record->depth_targets.empty() && record->depth_targets[0])
                context->ClearDepthStencilView(record->depth_targets[0].get(),
                                               D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1.0f, 0);
        } else if (!record->linear_targets.empty() && record->linear_targets[0] &&
                   (target->multisampled || target->hint_needs_clearing) && !target->suppress_clear) {
            context->ClearRenderTargetView(record->linear_targets[0].get(), target->clear_color);
        }
    }
}

void D3DResourceManager::update_resource(ID3D11DeviceContext *context, u32 command_type, const u8 *payload,
                                         u32 payload_size)
{
    if (!context || !payload)
        return;
    if (command_type == u32(RenderCommand::UpdateVertexBuffer) ||
        command_type == u32(RenderCommand::UpdateIndexBuffer)) {
        UpdateCreateBuffer update;
        if (!read_payload(payload, payload_size, update)) {
            log_message(log_category, "buffer update of %u bytes is too short; ignored", payload_size);
            return;
        }
        const bool vertex = command_type == u32(RenderCommand::UpdateVertexBuffer);
        const Table table = vertex ? Table::vertex_buffer : Table::index_buffer;
        const HandleEntry *entry = live_entry(update.description.resource.handle, table);
        if (!entry) {
            log_message(log_category, "update of buffer 0x%08x, which does not exist; ignored",
                        update.description.resource.handle);
            return;
        }
        const BufferDesc desc{update.description.mode, update.description.element_count,
                              update.description.element_size};
        if (vertex)
            _geometry_creator.update_vertex_buffer(context, _vertex_buffers[entry->slot], desc, update.data);
        else
            _geometry_creator.update_index_buffer(context, _index_buffers[entry->slot], desc, update.data);
        return;
    }
    if (command_type == u32(RenderCommand::UpdateTexture)) {
        UpdateTexture update;
        if (!read_payload(payload, payload_size, update))
            return;
        const HandleEntry *entry = live_entry(update.handle, Table::texture);
        const u64 data_end = u64(update.data_offset) + u64(update.data_count) * sizeof(const void *);
        if (!entry || (update.data_count && (update.data_offset < sizeof(UpdateTexture) || data_end > payload_size))) {
            log_message(log_category, "update of texture 0x%08x ignored: no such texture or its data runs past "
                        "the command", update.handle);
            return;
        }
        TempAllocator scratch;
        Array<const void *> pointers(scratch);
        pointers.resize(update.data_count);
        if (pointers.size() != update.data_count || update.data_count == 0)
            return;
        memcpy(pointers.data(), payload + update.data_offset, update.data_count * sizeof(const void *));
        _texture_creator.update_texture(context, _textures[entry->slot], pointers.data(), update.data_count);
    }
    // Command 2 (vertex declarations) and others change nothing here.
}

ID3D11Resource *D3DResourceManager::copy_resource_of(RenderResourceHandle handle, u32 &out_width,
                                                     u32 &out_height) const
{
    if (const TextureRecord *t = texture(handle)) {
        if (!t->object || t->desc.image_type != image_type_2d)
            return nullptr;
        out_width = t->desc.width;
        out_height = t->desc.height;
        return t->object->resource();
    }
    if (const RenderTargetRecord *r = render_target(handle)) {
        if (!r->object || r->byte_size) // buffer targets have no texels
            return nullptr;
        out_width = r->desc.width;
        out_height = r->desc.height;
        return r->object->resource();
    }
    return nullptr;
}

void D3DResourceManager::copy_texture_region(ID3D11DeviceContext *context, const CommandCopyTarget &copy)
{
    if (!context)
        return;
    u32 dst_width = 0, dst_height = 0, src_width = 0, src_height = 0;
    ID3D11Resource *destination = copy_resource_of(copy.destination, dst_width, dst_height);
    ID3D11Resource *source = copy_resource_of(copy.source, src_width, src_height);
    if (!destination || !source || destination == source)
        return;
    const bool whole = copy.box[0] == 0 && copy.box[1] == 0 && copy.box[2] == 0 && copy.box[3] == 0 &&
                       copy.box[4] == 0 && copy.box[5] == 0;
    D3D11_BOX box{copy.box[0], copy.box[1], 0, copy.box[3], copy.box[4], 1};
    if (whole) {
        box.right = src_width;
        box.bottom = src_height;
    }
    // The destination is written from (0, 0): the box may not reach past the source or
    // past what the destination holds.
    const u32 right_limit = src_width < box.left + dst_width ? src_width : box.left + dst_width;
    const u32 bottom_limit = src_height < box.top + dst_height ? src_height : box.top + dst_height;
    if (box.right > right_limit)
        box.right = right_limit;
    if (box.bottom > bottom_limit)
        box.bottom = bottom_limit;
    if (box.left >= box.right || box.top >= box.bottom)
        return;
    context->CopySubresourceRegion(destination, 0, 0, 0, 0, source, 0, &box);
}

void D3DResourceManager::note_input_layout(RenderResourceHandle declaration, ID3D11VertexShader *vertex_shader,
                                           ID3D11InputLayout *layout)
{
    HandleEntry *entry = live_entry(declaration, Table::declaration);
    if (!entry) {
        // Nobody will release this reference later: give it back now.
        _caches.release_input_layout(layout);
        return;
    }
    _geometry_creator.note_input_layout(_declarations[entry->slot], vertex_shader, layout);
}

const TextureRecord *D3DResourceManager::texture(RenderResourceHandle handle) const
{
    const HandleEntry *entry = live_entry(handle, Table::texture);
    return entry ? &_textures[entry->slot] : nullptr;
}

const RenderTargetRecord *D3DResourceManager::render_target(RenderResourceHandle handle) const
{
    const HandleEntry *entry = live_entry(handle, Table::target);
    return entry ? &_targets[entry->slot] : nullptr;
}

const BufferRecord *D3DResourceManager::vertex_buffer(RenderResourceHandle handle) const
{
    const HandleEntry *entry = live_entry(handle, Table::vertex_buffer);
    return entry ? &_vertex_buffers[entry->slot] : nullptr;
}

const BufferRecord *D3DResourceManager::index_buffer(RenderResourceHandle handle) const
{
    const HandleEntry *entry = live_entry(handle, Table::index_buffer);
    return entry ? &_index_buffers[entry->slot] : nullptr;
}

const VertexDeclarationRecord *D3DResourceManager::vertex_declaration(RenderResourceHandle handle) const
{
    const HandleEntry *entry = live_entry(handle, Table::declaration);
    return entry ? &_declarations[entry->slot] : nullptr;
}

const D3DShader *D3DResourceManager::shader(RenderResourceHandle handle) const
{
    const HandleEntry *entry = live_entry(handle, Table::shader);
    return entry ? _shaders[entry->slot] : nullptr;
}

u32 D3DResourceManager::live_count(RenderResourceType type) const
{
    return u32(type) < 10 ? _live[u32(type)] : 0;
}

u32 D3DResourceManager::slot_of(RenderResourceHandle handle) const
{
    if (handle == invalid_render_handle)
        return no_slot;
    const u32 index = render_index_of(handle);
    return index < _handles.size() ? _handles[index].slot : no_slot;
}

} // namespace tallow::render::d3d11

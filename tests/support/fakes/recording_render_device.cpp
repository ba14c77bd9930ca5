#include "tests/support/fakes/recording_render_device.h"

#include <cstdio>
#include <cstring>

namespace tallow::test {

namespace {
std::string describe(const char *what, u32 type, u32 offset)
{
    char text[160];
    snprintf(text, sizeof text, "%s (record type %u at offset %u)", what, type, offset);
    return text;
}

template <typename T> bool read_items(const CommandView &view, std::vector<T> &out)
{
    CommandItems items{};
    if (!read_payload(view, &items))
        return false;
    if (items.items_offset > view.payload_size || u64(items.count) * sizeof(T) > view.payload_size - items.items_offset)
        return false;
    out.resize(items.count);
    if (items.count)
        memcpy(out.data(), view.payload + items.items_offset, items.count * sizeof(T));
    return true;
}

bool read_bytes(const CommandView &view, u32 offset, u32 size, std::vector<u8> &out)
{
    if (offset > view.payload_size || size > view.payload_size - offset)
        return false;
    out.assign(view.payload + offset, view.payload + offset + size);
    return true;
}

bool read_texture(const CommandView &view, UpdateTexture *out, std::vector<const void *> *out_data)
{
    if (!read_payload(view, out))
        return false;
    if (out->data_offset > view.payload_size ||
        u64(out->data_count) * sizeof(const void *) > view.payload_size - out->data_offset)
        return false;
    if (out_data) {
        out_data->resize(out->data_count);
        if (out->data_count)
            memcpy(out_data->data(), view.payload + out->data_offset, out->data_count * sizeof(const void *));
    }
    return true;
}
} // namespace

std::vector<DecodedUpdate> decode_updates(const CommandBuffer &stream, std::vector<std::string> &errors)
{
    std::vector<DecodedUpdate> out;
    CommandCursor cursor(stream.data(), stream.start_offset(), stream.write_offset());
    CommandView view;
    while (cursor.next(&view)) {
        DecodedUpdate u;
        u.type = ResourceUpdate(view.type);
        bool ok = true;
        switch (u.type) {
        case ResourceUpdate::CreateVertexBuffer:
        case ResourceUpdate::CreateIndexBuffer: {
            UpdateCreateBuffer record{};
            ok = read_payload(view, &record);
            u.buffer = record.description;
            u.data = record.data;
            u.resource_type = record.description.resource.type;
            u.handle = record.description.resource.handle;
            break;
        }
        case ResourceUpdate::CreateVertexDeclaration: {
            VertexDeclaration record{};
            ok = read_payload(view, &record);
            u.resource_type = record.resource.type;
            u.handle = record.resource.handle;
            u.channel_count = record.channel_count;
            break;
        }
        case ResourceUpdate::CreateShader: {
            UpdateCreateShader record{};
            ok = read_payload(view, &record) && record.shader;
            if (ok) {
                u.shader = record.shader;
                u.resource_type = record.shader->type;
                u.handle = record.handle;
            }
            break;
        }
        case ResourceUpdate::CreateRenderTarget: {
            UpdateCreateRenderTarget record{};
            ok = read_payload(view, &record) && record.target;
            if (ok) {
                u.target = record.target;
                u.resource_type = record.target->type;
                u.handle = record.handle;
            }
            break;
        }
        case ResourceUpdate::CreateTexture: {
            UpdateTexture record;
            ok = read_texture(view, &record, &u.texture_data);
            u.resource_type = record.type;
            u.handle = record.handle;
            u.texture = record.description;
            break;
        }
        case ResourceUpdate::ReleaseVertexBuffer:
        case ResourceUpdate::ReleaseVertexDeclaration:
        case ResourceUpdate::ReleaseIndexBuffer:
        case ResourceUpdate::ReleaseShader:
        case ResourceUpdate::ReleaseRenderTarget:
        case ResourceUpdate::ReleaseTexture: {
            UpdateRelease record{};
            ok = read_payload(view, &record);
            u.resource_type = record.type;
            u.handle = record.handle;
            break;
        }
        default: ok = false; break;
        }
        if (!ok) {
            errors.push_back(describe("update record does not decode", view.type, view.offset));
            continue;
        }
        out.push_back(std::move(u));
    }
    if (cursor.failed())
        errors.push_back(describe("update stream broken", 0, 0));
    return out;
}

void decode_entry(const RenderSortEntry &entry, u32 entry_index, std::vector<DecodedCommand> &out,
                  std::vector<std::string> &errors)
{
    const CommandBuffer &buffer = *entry.buffer;
    if (u64(entry.offset) + entry.length > buffer.size_bytes()) {
        errors.push_back(describe("sort entry outside its buffer", 0, entry.offset));
        return;
    }
    CommandCursor cursor(buffer.data(), entry.offset, entry.offset + entry.length);
    CommandView view;
    u32 records = 0;
    while (cursor.next(&view)) {
        ++records;
        DecodedCommand c;
        c.type = RenderCommand(view.type);
        c.key = entry.key;
        c.segment = entry.segment != 0;
        c.entry_index = entry_index;
        bool ok = true;
        switch (c.type) {
        case RenderCommand::UpdateVertexBuffer:
        case RenderCommand::UpdateIndexBuffer: ok = read_payload(view, &c.buffer); break;
        case RenderCommand::UpdateVertexDeclaration: ok = view.payload_size >= sizeof(VertexDeclaration); break;
        case RenderCommand::UpdateTexture: ok = read_texture(view, &c.texture, nullptr); break;
        case RenderCommand::CopyTarget: ok = read_payload(view, &c.copy); break;
        case RenderCommand::SetRenderTarget: ok = read_payload(view, &c.set_target); break;
        case RenderCommand::SetDepthStencil: ok = read_payload(view, &c.depth); break;
        case RenderCommand::SetViewports: ok = read_items(view, c.viewports); break;
        case RenderCommand::SetScissors: ok = read_items(view, c.scissors); break;
        case RenderCommand::Clear: {
            CommandClear clear{};
            ok = read_payload(view, &clear);
            c.clear_flags = clear.flags;
            break;
        }
        case RenderCommand::DrawBatch: {
            ok = read_payload(view, &c.draw);
            if (ok && c.draw.binding_count) {
                std::vector<u8> bytes;
                ok = read_bytes(view, c.draw.bindings_offset, c.draw.binding_count * u32(sizeof(GeometryBinding)), bytes);
                c.bindings.resize(c.draw.binding_count);
                if (ok)
                    memcpy(c.bindings.data(), bytes.data(), bytes.size());
            }
            if (ok && c.draw.constants_offset)
                ok = read_bytes(view, c.draw.constants_offset, c.draw.constant_size_bytes, c.constants);
            if (ok && c.draw.extra_offset)
                ok = read_bytes(view, c.draw.extra_offset, c.draw.extra_size_bytes, c.extra);
            break;
        }
        case RenderCommand::Ignored: break;
        case RenderCommand::ResolveCount: {
            CommandResolveCount resolve{};
            ok = read_payload(view, &resolve);
            c.resolve_count = resolve.max_resolve_count;
            break;
        }
        default: ok = false; break;
        }
        if (!ok) {
            errors.push_back(describe("command does not decode", view.type, view.offset));
            continue;
        }
        out.push_back(std::move(c));
    }
    if (cursor.failed())
        errors.push_back(describe("command stream broken", 0, entry.offset));
    if (!entry.segment && records != 1)
        errors.push_back(describe("a single-command entry covers other than one record", records, entry.offset));
}

RecordingRenderDevice::RecordingRenderDevice(Allocator &parent, u64 shuffle_seed) : RenderDevice(parent), _sorted(parent)
{
    set_shuffle_equal_keys(shuffle_seed);
}

bool RecordingRenderDevice::initialize(const DeviceSettings &) { return true; }

void RecordingRenderDevice::present(u32) { ++_presents; }

void RecordingRenderDevice::execute_resource_updates(u32 count, RenderResourceContext *const *contexts)
{
    for (u32 i = 0; i < count; ++i) {
        if (!contexts[i])
            continue;
        std::vector<DecodedUpdate> updates = decode_updates(contexts[i]->stream(), _errors);
        for (DecodedUpdate &u : updates) {
            const bool create = (u32(u.type) & 1u) == 0;
            if (create) {
                if (_objects.count(u.handle))
                    _errors.push_back(describe("create under a handle that names a live object", u32(u.type), u.handle));
                _objects[u.handle] = u.resource_type;
                // As the device does: a dependent target takes its size when it is created.
                if (u.target && u.target->type == RenderResourceType::DependentRenderTarget)
                    static_cast<DependentRenderTarget *>(u.target)->resolve(*this);
            } else {
                auto it = _objects.find(u.handle);
                if (it == _objects.end())
                    _errors.push_back(describe("release of a handle that names no object", u32(u.type), u.handle));
                else
                    _objects.erase(it);
            }
            _updates.push_back(std::move(u));
        }
    }
}

void RecordingRenderDevice::dispatch(u32 count, RenderContext *const *contexts)
{
    merge_and_sort_commands(_sorted, count, contexts);
    Frame frame;
    frame.entries.assign(_sorted.begin(), _sorted.end());
    if (_keep_frames)
        for (u32 i = 0; i < _sorted.size(); ++i)
            decode_entry(_sorted[i], i, frame.commands, _errors);
    _frames.push_back(std::move(frame));
}

} // namespace tallow::test

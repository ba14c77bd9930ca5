#include "render/resources/render_resource_context.h"

#include "foundation/log.h"
#include "render/device/render_device.h"
#include "render/resources/render_resource_handle_pool.h"

#include <cstring>

namespace tallow {

namespace {
constexpr u32 resource_stream_bytes = 10240;
// A buffer larger than this is a broken description, not geometry.
constexpr u64 max_buffer_bytes = 1ull << 31;

ResourceUpdate release_record_of(RenderResourceType type, bool *out_known)
{
    *out_known = true;
    switch (type) {
    case RenderResourceType::Texture: return ResourceUpdate::ReleaseTexture;
    case RenderResourceType::RenderTarget:
    case RenderResourceType::DependentRenderTarget: return ResourceUpdate::ReleaseRenderTarget;
    case RenderResourceType::VertexBuffer: return ResourceUpdate::ReleaseVertexBuffer;
    case RenderResourceType::IndexBuffer: return ResourceUpdate::ReleaseIndexBuffer;
    case RenderResourceType::VertexDeclaration: return ResourceUpdate::ReleaseVertexDeclaration;
    case RenderResourceType::Shader: return ResourceUpdate::ReleaseShader;
    default: *out_known = false; return ResourceUpdate::ReleaseTexture;
    }
}

bool is_render_target_type(RenderResourceType type)
{
    return type == RenderResourceType::RenderTarget || type == RenderResourceType::DependentRenderTarget;
}
} // namespace

RenderResourceContext::RenderResourceContext(RenderResourceHandlePool &pool, Allocator &allocator, RenderDevice &device)
    : _pool(&pool), _event(true, true), _copies(allocator), _stream(allocator, resource_stream_bytes),
      _pending_releases(allocator), _retired_targets(allocator), _device(&device)
{
}

RenderResourceContext::~RenderResourceContext()
{
    _event.wait();
    if (!_stream.is_empty() || !_pending_releases.empty())
        log_message("render",
                    "resource context destroyed with updates the device never executed (%u released handles kept "
                    "out of the pool)",
                    _pending_releases.size());
    free_retired_targets();
}

void RenderResourceContext::free_retired_targets()
{
    for (RenderTarget *instance : _retired_targets)
        delete_with_allocator(_device->allocator(), instance);
    _retired_targets.clear();
}

void RenderResourceContext::retire_target(RenderTarget *instance)
{
    if (!instance)
        return;
    if (!_retired_targets.push_back(instance)) {
        // Kept alive rather than freed under a reader; the device's allocator reports it.
        log_message("render", "no memory to keep a released render target until its release executes; it leaks");
    }
}

void RenderResourceContext::wait() { _event.wait(); }
bool RenderResourceContext::wait(u32 timeout_ms) { return _event.wait_timeout(timeout_ms); }

void RenderResourceContext::set_event(bool reset)
{
    if (reset)
        _event.reset();
    else
        _event.set();
}

void RenderResourceContext::complete_updates()
{
    for (RenderResourceHandle handle : _pending_releases)
        _pool->free_handle(handle);
    _pending_releases.clear();
    free_retired_targets();
    _stream.reset();
}

bool RenderResourceContext::write_buffer_create(ResourceUpdate type, BufferDescription &description)
{
    UpdateCreateBuffer record{description, nullptr};
    if (description.dynamic) {
        record.data = description.data ? description.data->data() : nullptr;
    } else {
        const u64 bytes = u64(description.element_count) * buffer_element_bytes(description);
        if (bytes > max_buffer_bytes) {
            log_message("render", "buffer of %u elements of %u bytes is too large; not created",
                        description.element_count, buffer_element_bytes(description));
            return false;
        }
        if (bytes > 0) {
            void *copy = _copies.allocate(bytes, 4);
            if (!copy) {
                log_message("render", "no memory for %llu bytes of buffer data; not created", (unsigned long long)bytes);
                return false;
            }
            if (description.fill)
                description.fill(copy, description.element_size, description.element_count);
            else
                memset(copy, 0, bytes);
            record.data = copy;
        }
    }
    return _stream.write(u32(type), &record, sizeof record);
}

bool RenderResourceContext::write_texture_create(Texture &texture)
{
    const u32 n = texture.data.size();
    UpdateTexture record;
    record.type = texture.type;
    record.handle = texture.handle;
    record.description = texture.description;
    record.data_count = n;
    record.data_offset = sizeof(UpdateTexture);
    u8 *payload = static_cast<u8 *>(
        _stream.append(u32(ResourceUpdate::CreateTexture), u32(sizeof record + u64(n) * sizeof(const void *))));
    if (!payload)
        return false;
    memcpy(payload, &record, sizeof record);
    if (n)
        memcpy(payload + sizeof record, texture.data.data(), n * sizeof(const void *));
    return true;
}

bool RenderResourceContext::create_resource(RenderResource *resource)
{
    _event.wait();
    if (!resource)
        return false;
    if (is_render_target_type(resource->type) && static_cast<RenderTarget *>(resource)->is_template()) {
        _device->create_render_target(static_cast<RenderTarget *>(resource), *this);
        return true;
    }
    u32 kind = 0;
    if (!render_kind_for_type(resource->type, &kind))
        return false;
    if (resource->handle != invalid_render_handle) {
        log_message("render", "render resource of type %u already has handle 0x%08x; not created again",
                    u32(resource->type), resource->handle);
        return false;
    }
    const RenderResourceHandle handle = _pool->alloc_handle(kind);
    if (handle == invalid_render_handle)
        return false;
    resource->handle = handle;

    bool written = false;
    switch (resource->type) {
    case RenderResourceType::Texture: written = write_texture_create(*static_cast<Texture *>(resource)); break;
    case RenderResourceType::RenderTarget:
    case RenderResourceType::DependentRenderTarget: {
        UpdateCreateRenderTarget record{static_cast<RenderTarget *>(resource), handle};
        written = _stream.write(u32(ResourceUpdate::CreateRenderTarget), &record, sizeof record);
        break;
    }
    case RenderResourceType::VertexBuffer:
        written = write_buffer_create(ResourceUpdate::CreateVertexBuffer, *reinterpret_cast<BufferDescription *>(resource));
        break;
    case RenderResourceType::IndexBuffer:
        written = write_buffer_create(ResourceUpdate::CreateIndexBuffer, *reinterpret_cast<BufferDescription *>(resource));
        break;
    case RenderResourceType::VertexDeclaration:
        written = _stream.write(u32(ResourceUpdate::CreateVertexDeclaration), resource, sizeof(VertexDeclaration));
        break;
    case RenderResourceType::Shader: {
        UpdateCreateShader record{resource, handle};
        written = _stream.write(u32(ResourceUpdate::CreateShader), &record, sizeof record);
        break;
    }
    default: break;
    }
    if (!written) {
        // Nothing names the handle yet, so its index can go straight back.
        _pool->free_handle(handle);
        resource->handle = invalid_render_handle;
        return false;
    }
    return true;
}

void RenderResourceContext::release_resource(RenderResource *resource)
{
    _event.wait();
    if (!resource)
        return;
    if (is_render_target_type(resource->type) && static_cast<RenderTarget *>(resource)->is_template()) {
        _device->destroy_render_target(static_cast<RenderTarget *>(resource), *this);
        resource->handle = invalid_render_handle;
        return;
    }
    const RenderResourceHandle handle = resource->handle;
    resource->handle = invalid_render_handle;
    if (handle == invalid_render_handle)
        return; // never created, or released already
    bool known = false;
    const ResourceUpdate type = release_record_of(resource->type, &known);
    if (!known)
        return;
    const UpdateRelease record{resource->type, handle};
    if (!_stream.write(u32(type), &record, sizeof record)) {
        log_message("render", "release of handle 0x%08x could not be filed; its index stays out of the pool", handle);
        return;
    }
    if (!_pending_releases.push_back(handle))
        log_message("render", "released handle 0x%08x cannot be remembered; its index stays out of the pool", handle);
}

} // namespace tallow

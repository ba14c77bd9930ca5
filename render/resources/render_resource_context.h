#pragma once
// A stream of resource updates (create and release records 0 to 11) that the device
// executes in one go. Handles are given out at once; the device object exists from the
// execution of its create record to the execution of its release record.
//
//   RenderResourceContext *rc = device.alloc_resource_context();   // any thread
//   rc->create_resource(&texture);             // texture.handle valid now
//   rc->release_resource(&old_texture);        // old_texture.handle = invalid_render_handle
//   rc->set_event(true);                       // hand it over (the render interface does)
//   ... render thread: device.update_resources(1, &rc); rc->set_event(false);
//   rc->wait();
//   device.release_resource_context(rc);
//
// Every writing call first waits for the event: a context that is with the device is not
// written. The index of a released handle goes back to the device's pool only after the
// device has executed the release (RenderDevice::update_resources), so no other context
// can reuse it for a new resource while the old object still lives under it.
// One thread writes a context at a time.

#include "foundation/containers/array.h"
#include "foundation/threads/event.h"
#include "render/commands/command_buffer.h"
#include "render/resources/render_resource_allocator.h"

namespace tallow {

class RenderDevice;
class RenderResourceHandlePool;
class RenderTarget;

class RenderResourceContext {
  public:
    /// Made by RenderDevice::alloc_resource_context; `allocator` backs the stream and copies.
    RenderResourceContext(RenderResourceHandlePool &pool, Allocator &allocator, RenderDevice &device);
    /// Waits for the event. Indices of releases that never executed are not returned
    /// (logged): the device may still hold objects under them.
    ~RenderResourceContext();

    /// Gives the resource a handle and files its create record: textures record 10, render
    /// targets record 8 (templates go to RenderDevice::create_render_target), vertex
    /// buffers 0, index buffers 4, vertex declarations 2, shaders 6; other types nothing.
    /// False (logged) when the resource already has a handle, the pool is full or the
    /// stream cannot grow.
    bool create_resource(RenderResource *resource);
    /// Files the release record of a resource with a handle and sets the handle to
    /// invalid_render_handle in every case; templates go to
    /// RenderDevice::destroy_render_target. A resource without a handle writes nothing.
    void release_resource(RenderResource *resource);

    /// Blocks until the device has consumed the stream.
    void wait();
    /// True when signalled within `timeout_ms`.
    bool wait(u32 timeout_ms);
    /// `reset` true: the context is with the device; false: signals it.
    void set_event(bool reset);

    /// Called by RenderDevice::update_resources after the device executed the stream:
    /// returns the released indices to the pool, frees the retired targets and empties the
    /// stream.
    void complete_updates();

    /// Takes a render-target instance (made by the device from its allocator) whose release
    /// this stream holds, and frees it once the device has executed the stream (or when the
    /// context is destroyed unexecuted). Used by RenderDevice::destroy_render_target.
    void retire_target(RenderTarget *instance);

    const CommandBuffer &stream() const { return _stream; }
    RenderResourceAllocator &copies() { return _copies; }
    RenderDevice &device() { return *_device; }
    /// Released handles waiting for the device to execute their records.
    u32 pending_release_count() const { return _pending_releases.size(); }

  private:
    bool write_buffer_create(ResourceUpdate type, BufferDescription &description);
    bool write_texture_create(Texture &texture);
    void free_retired_targets();

    RenderResourceHandlePool *_pool;
    Event _event;
    RenderResourceAllocator _copies;
    CommandBuffer _stream;
    Array<RenderResourceHandle> _pending_releases;
    Array<RenderTarget *> _retired_targets;
    RenderDevice *_device;
};

} // namespace tallow

#pragma once
// The game side's half of a render world, held by its World: the state buffer being
// filled this frame and the world's render-object handles.
//
//   RenderWorld *render_world; WorldRenderLink *link;
//   render.create_render_world(render_world, link);          // RenderInterface
//   u32 handle = render_world->create_scene_graph(*link, graph.render_handle_field(), ...);
//   link->state()->update_stream(0).write(...);              // class-addressed updates
//   link->handles().collect();                               // once per frame (World)
//
// Main thread only, except that the World's reflection jobs write into their own update
// streams of state(). RenderInterface::update_world swaps state() for a fresh buffer
// before it posts the filled one, so proxies that kept state_field()'s address always
// write into the current buffer.

#include "render/world/deferred_release_queue.h"

namespace tallow {

class RenderStateQueue;

class WorldRenderLink {
  public:
    /// `state` is the world's first buffer (RenderWorld::acquire_state_buffer).
    WorldRenderLink(Allocator &allocator, RenderStateQueue *state) : _state(state), _handles(allocator) {}

    RenderStateQueue *state() const { return _state; }
    /// The field holding the current buffer: its address stays valid for the link's life.
    RenderStateQueue *const *state_field() const { return &_state; }
    /// Replaces the current buffer and returns the filled one.
    RenderStateQueue *swap_state(RenderStateQueue *fresh)
    {
        RenderStateQueue *filled = _state;
        _state = fresh;
        return filled;
    }
    DeferredReleaseQueue &handles() { return _handles; }

  private:
    RenderStateQueue *_state;
    DeferredReleaseQueue _handles;
};

} // namespace tallow

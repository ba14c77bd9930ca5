// The World's render link over a real RenderWorld: unit scene graphs become
// RenderSceneGraphs, the reflection batches write into update streams of the frame's state
// buffer, and handle releases are collected once per frame.
#include "foundation/log.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "world/scene_graph.h"
#include "world/world_services.h"

#include <atomic>

namespace tallow {

namespace {

class RenderWorldLink final : public IWorldRenderLink {
  public:
    RenderWorldLink(RenderWorld &render_world, WorldRenderLink &link) : _render_world(render_world), _link(link) {}

    void create_scene_graph(SceneGraph &graph) override
    {
        _render_world.create_scene_graph(_link, graph.render_handle_field(), graph.world_matrices(),
                                         graph.node_count());
    }
    void destroy_scene_graph(SceneGraph &graph) override
    {
        _render_world.destroy_object(_link, graph.render_handle_field());
    }
    u32 create_object(UnitRenderObject, const void *, SceneGraph &, const void *) override
    {
        // Unit meshes, cameras, lights and LOD objects have no render objects yet.
        if (!_said.exchange(true))
            log_message("world", "unit meshes, cameras, lights and LOD objects are not drawn yet");
        return no_render_handle;
    }
    void destroy_object(UnitRenderObject, u32) override {}
    void set_visible(UnitRenderObject, u32, bool) override {}
    bool begin_change_records(u32 count, RenderStateStream **out_streams) override
    {
        RenderStateQueue *state = _link.state();
        if (!state)
            return false;
        for (u32 i = 0; i < count; ++i) {
            out_streams[i] = state->add_update_stream();
            if (!out_streams[i])
                return false;
        }
        return true;
    }
    void collect_deferred_releases() override { _link.handles().collect(); }

  private:
    static inline std::atomic<bool> _said{false};
    RenderWorld &_render_world;
    WorldRenderLink &_link;
};

} // namespace

IWorldRenderLink *create_render_world_link(const WorldServiceParams &params)
{
    if (!params.render_world || !params.render_link)
        return create_null_render_link(params);
    return make_new<RenderWorldLink>(params.allocator, *params.render_world, *params.render_link);
}

} // namespace tallow

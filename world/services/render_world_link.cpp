// The World's render link over a real RenderWorld: unit scene graphs become
// RenderSceneGraphs, unit meshes, cameras, lights and LOD objects become their render
// objects (kept here as game-side objects by handle), the reflection batches write into
// update streams of the frame's state buffer, and handle releases are collected once per
// frame.
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "world/units/scene_graph.h"
#include "world/units/unit_render_objects.h"
#include "world/units/unit_resource.h"
#include "world/services/world_services.h"

namespace tallow {

namespace {

class RenderWorldLink final : public IWorldRenderLink {
  public:
    RenderWorldLink(Allocator &allocator, RenderWorld &render_world, WorldRenderLink &link)
        : _allocator(allocator), _render_world(render_world), _link(link), _objects(allocator), _builder(allocator),
          _lod_steps(allocator), _lod_handles(allocator), _environments(allocator)
    {
    }
    ~RenderWorldLink() override
    {
        for (ShadingEnvironment *e : _environments) {
            e->release_render_objects(_render_world, _link);
            delete_with_allocator(_allocator, e);
        }
        // Units destroy their objects first; what is left goes with the render world.
        for (Entry &e : _objects)
            free_entry(e);
    }

    void create_scene_graph(SceneGraph &graph) override
    {
        _render_world.create_scene_graph(_link, graph.render_handle_field(), graph.world_matrices(),
                                         graph.node_count());
    }
    void destroy_scene_graph(SceneGraph &graph) override
    {
        _render_world.destroy_object(_link, graph.render_handle_field());
    }

    u32 create_object(UnitRenderObject kind, const UnitRenderParams &p) override
    {
        if (!p.resource || !p.graph)
            return no_render_handle;
        const UnitResource &r = *p.resource;
        const u32 graph = p.graph->render_handle_field();
        switch (kind) {
        case UnitRenderObject::Mesh: {
            MeshDesc desc;
            if (!_builder.build(r, p.index, graph, p.material, desc))
                return no_render_handle;
            Mesh *mesh = make_new<Mesh>(_allocator, _allocator, r.meshes[p.index].name_id, desc.mask);
            if (!mesh)
                return no_render_handle;
            const u32 h = mesh->create(_render_world, _link, desc, _builder.materials.data(),
                                       _builder.material_names.data(), _builder.materials.size());
            return file(kind, mesh, h);
        }
        case UnitRenderObject::Camera: {
            if (p.index >= r.cameras.size())
                return no_render_handle;
            Camera *camera = make_new<Camera>(_allocator, unit_camera_block(r.cameras[p.index]), r.cameras[p.index].node);
            return camera ? file(kind, camera, camera->create(_render_world, _link, graph)) : no_render_handle;
        }
        case UnitRenderObject::Light: {
            if (p.index >= r.lights.size())
                return no_render_handle;
            Light *light = make_new<Light>(_allocator, unit_light_block(r.lights[p.index]), r.lights[p.index].node);
            return light ? file(kind, light, light->create(_render_world, _link, graph)) : no_render_handle;
        }
        case UnitRenderObject::LodObject: {
            LodObjectDesc desc;
            build_unit_lod(r, p.index, graph, p.meshes, p.mesh_count, _lod_steps, _lod_handles, desc);
            LodObject *lod = make_new<LodObject>(_allocator);
            return lod ? file(kind, lod, lod->create(_render_world, _link, desc)) : no_render_handle;
        }
        }
        return no_render_handle;
    }

    void destroy_object(UnitRenderObject kind, u32 handle) override
    {
        Entry *e = entry(kind, handle);
        if (!e)
            return;
        switch (kind) {
        case UnitRenderObject::Mesh: static_cast<Mesh *>(e->object)->destroy(_render_world, _link); break;
        case UnitRenderObject::Camera: static_cast<Camera *>(e->object)->destroy(_render_world, _link); break;
        case UnitRenderObject::Light: static_cast<Light *>(e->object)->destroy(_render_world, _link); break;
        case UnitRenderObject::LodObject: static_cast<LodObject *>(e->object)->destroy(_render_world, _link); break;
        }
        free_entry(*e);
    }

    void set_visible(UnitRenderObject kind, u32 handle, bool visible) override
    {
        Entry *e = entry(kind, handle);
        if (!e)
            return;
        if (kind == UnitRenderObject::Mesh)
            static_cast<Mesh *>(e->object)->set_visible(visible);
        else if (kind == UnitRenderObject::LodObject)
            static_cast<LodObject *>(e->object)->set_visible(visible);
    }

    Camera *camera(u32 handle) override
    {
        Entry *e = entry(UnitRenderObject::Camera, handle);
        return e ? static_cast<Camera *>(e->object) : nullptr;
    }
    Light *light(u32 handle) override
    {
        Entry *e = entry(UnitRenderObject::Light, handle);
        return e ? static_cast<Light *>(e->object) : nullptr;
    }
    Mesh *mesh(u32 handle) override
    {
        Entry *e = entry(UnitRenderObject::Mesh, handle);
        return e ? static_cast<Mesh *>(e->object) : nullptr;
    }

    void set_light_properties(u32 handle, const u8 *block) override
    {
        Light *l = light(handle);
        if (!l || !block)
            return;
        LightBlock b;
        memcpy(&b, block, sizeof b);
        l->set_properties(b);
    }

    ShadingEnvironment *create_shading_environment(const ShadingEnvironmentResource *resource,
                                                   const MaterialResource *material) override
    {
        ShadingEnvironment *e = make_new<ShadingEnvironment>(_allocator, _allocator);
        if (!e || !_environments.push_back(e)) {
            delete_with_allocator(_allocator, e);
            return nullptr;
        }
        e->set_resource(resource, material, _render_world, _link);
        return e;
    }
    void set_shading_environment(ShadingEnvironment &e, const ShadingEnvironmentResource *resource,
                                 const MaterialResource *material) override
    {
        e.set_resource(resource, material, _render_world, _link);
    }
    void destroy_shading_environment(ShadingEnvironment &e) override
    {
        for (u32 i = 0; i < _environments.size(); ++i)
            if (_environments[i] == &e) {
                e.release_render_objects(_render_world, _link);
                delete_with_allocator(_allocator, &e);
                _environments[i] = _environments.back();
                _environments.pop_back();
                return;
            }
    }
    u32 shading_environment_count() const override { return _environments.size(); }
    ShadingEnvironment *shading_environment(u32 i) override { return i < _environments.size() ? _environments[i] : nullptr; }

    bool begin_change_records(u32 count, RenderStateStream **out_streams) override
    {
        RenderStateQueue *state = _link.state();
        if (!state)
            return false;
        // Each call's streams are a group of their own, applied after the earlier ones: a
        // unit reflected twice in one frame has its records in two calls' streams.
        (void)state->begin_update_group();
        for (u32 i = 0; i < count; ++i) {
            out_streams[i] = state->add_update_stream();
            if (!out_streams[i])
                return false;
        }
        return true;
    }
    void collect_deferred_releases() override { _link.handles().collect(); }

  private:
    struct Entry {
        UnitRenderObject kind;
        void *object; // null: no object under this handle
    };

    /// Keeps `object` under its render handle; frees it when none was made.
    template <typename T> u32 file(UnitRenderObject kind, T *object, u32 handle)
    {
        if (handle == no_render_handle) {
            delete_with_allocator(_allocator, object);
            return no_render_handle;
        }
        if (handle >= _objects.size()) {
            const u32 old = _objects.size();
            _objects.resize(handle + 1);
            for (u32 i = old; i < _objects.size(); ++i)
                _objects[i] = {UnitRenderObject::Mesh, nullptr};
        }
        if (handle >= _objects.size()) {
            log_message("world", "no memory to keep render object %u; it stays until the world goes", handle);
            delete_with_allocator(_allocator, object);
            return no_render_handle;
        }
        _objects[handle] = {kind, object};
        return handle;
    }
    Entry *entry(UnitRenderObject kind, u32 handle)
    {
        if (handle >= _objects.size() || !_objects[handle].object || _objects[handle].kind != kind)
            return nullptr;
        return &_objects[handle];
    }
    void free_entry(Entry &e)
    {
        if (!e.object)
            return;
        switch (e.kind) {
        case UnitRenderObject::Mesh: delete_with_allocator(_allocator, static_cast<Mesh *>(e.object)); break;
        case UnitRenderObject::Camera: delete_with_allocator(_allocator, static_cast<Camera *>(e.object)); break;
        case UnitRenderObject::Light: delete_with_allocator(_allocator, static_cast<Light *>(e.object)); break;
        case UnitRenderObject::LodObject: delete_with_allocator(_allocator, static_cast<LodObject *>(e.object)); break;
        }
        e.object = nullptr;
    }

    Allocator &_allocator;
    RenderWorld &_render_world;
    WorldRenderLink &_link;
    Array<Entry> _objects; // by render handle
    UnitMeshBuilder _builder;
    Array<LodStepDesc> _lod_steps;
    Array<u32> _lod_handles;
    Array<ShadingEnvironment *> _environments;
};

} // namespace

IWorldRenderLink *create_render_world_link(const WorldServiceParams &params)
{
    if (!params.render_world || !params.render_link)
        return create_null_render_link(params);
    return make_new<RenderWorldLink>(params.allocator, params.allocator, *params.render_world, *params.render_link);
}

} // namespace tallow

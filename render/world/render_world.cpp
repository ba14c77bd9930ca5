#include "render/world/render_world.h"

#include "foundation/log.h"
#include "foundation/threads/job.h"
#include "render/materials/material_resource.h"
#include "render/viewports/viewport.h"
#include "render/world/frustum_culling.h"
#include "render/world/render_light.h"
#include "render/world/render_lod_object.h"
#include "render/world/render_mesh_object.h"
#include "render/particles/render_particle_world.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_shading_environment.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_state_stream.h"
#include "render/world/world_render_link.h"

#include <cstring>

namespace tallow {

namespace {

constexpr u32 no_slot = 0xFFFFFFFF;

// --- The class table ---------------------------------------------------------------------
// One entry per render-object class. A class whose render side is not built yet has no
// update handler: its records are dropped before any object is looked up.

/// Applies one class-addressed record to its (live, class-checked) object in `slot`.
using ClassUpdate = void (*)(RenderWorld &world, RenderObject &object, u32 slot, u32 kind, const u8 *payload,
                             u32 payload_bytes);
/// Extra work when an object of the class is created or destroyed (records, lists).
using ClassLifecycle = void (*)(RenderWorld &world, RenderObject &object, u32 slot);

struct RenderClassEntry {
    ClassUpdate update;
    ClassLifecycle on_create;
    ClassLifecycle on_destroy;
};

void update_scene_graph(RenderWorld &world, RenderObject &object, u32, u32 kind, const u8 *payload, u32 payload_bytes)
{
    if (kind != scene_graph_change_kind) {
        log_message("render", "RenderSceneGraph takes no record of kind %u; dropped", kind);
        return;
    }
    static_cast<RenderSceneGraph &>(object).update_from(payload, payload_bytes, world.state_frame());
}

void create_scene_graph(RenderWorld &world, RenderObject &object, u32)
{
    static_cast<RenderSceneGraph &>(object).mark_created(world.state_frame());
}

/// Classes whose records the object applies itself.
void update_by_object(RenderWorld &, RenderObject &object, u32, u32 kind, const u8 *payload, u32 payload_bytes)
{
    object.apply_message(kind, payload, payload_bytes);
}

/// Objects drawn without culling are filed in the world's unculled records.
void add_unculled(RenderWorld &world, RenderObject &object, u32 slot)
{
    RenderRecord record{};
    record.world = matrix4x4_identity;
    record.class_id = object.class_id();
    record.slot = slot;
    record.kind = render_record_always_drawn;
    if (!world.unculled().push_back(record))
        log_message("render", "no memory to file a %s for drawing; it is not drawn", to_string(RenderObjectClass(record.class_id)));
}

void remove_unculled(RenderWorld &world, RenderObject &, u32 slot)
{
    Array<RenderRecord> &records = world.unculled();
    for (u32 i = 0; i < records.size(); ++i)
        if (records[i].slot == slot) {
            records[i] = records.back();
            records.pop_back();
            return;
        }
}

bool read_visibility(u32 kind, const u8 *payload, u32 payload_bytes, VisibilityRecord &out)
{
    if (kind != 0)
        return false;
    // The record's last byte is the flag; its padding may be cut off.
    if (payload_bytes < offsetof(VisibilityRecord, visible) + 1) {
        log_message("render", "visibility record of %u bytes is too short; dropped", payload_bytes);
        return false;
    }
    out = {};
    memcpy(&out, payload, payload_bytes < sizeof out ? payload_bytes : sizeof out);
    return true;
}

void update_mesh(RenderWorld &world, RenderObject &object, u32 slot, u32 kind, const u8 *payload, u32 payload_bytes)
{
    VisibilityRecord r;
    if (read_visibility(kind, payload, payload_bytes, r))
        static_cast<RenderMeshObject &>(object).apply_visibility(world, slot, r);
}

void create_mesh(RenderWorld &world, RenderObject &object, u32 slot)
{
    static_cast<RenderMeshObject &>(object).on_create(world, slot);
}

void destroy_mesh(RenderWorld &world, RenderObject &object, u32 slot)
{
    static_cast<RenderMeshObject &>(object).on_destroy(world, slot);
}

void create_camera(RenderWorld &world, RenderObject &object, u32)
{
    static_cast<RenderCamera &>(object).resolve(world);
}

void update_light(RenderWorld &world, RenderObject &object, u32 slot, u32 kind, const u8 *payload, u32 payload_bytes)
{
    static_cast<RenderLight &>(object).apply(kind, payload, payload_bytes, world.light_set(), slot);
}

void create_light(RenderWorld &world, RenderObject &object, u32 slot)
{
    static_cast<RenderLight &>(object).on_create(world, world.light_set(), slot);
}

void destroy_light(RenderWorld &world, RenderObject &, u32 slot) { world.light_set().remove(slot); }

void update_environment(RenderWorld &world, RenderObject &object, u32, u32 kind, const u8 *payload, u32 payload_bytes)
{
    static_cast<RenderShadingEnvironment &>(object).apply(world, kind, payload, payload_bytes);
}

void update_lod(RenderWorld &world, RenderObject &object, u32 slot, u32 kind, const u8 *payload, u32 payload_bytes)
{
    VisibilityRecord r;
    if (read_visibility(kind, payload, payload_bytes, r))
        static_cast<RenderLODObject &>(object).apply_visibility(world, slot, r.mask, r.visible != 0);
}

void create_lod(RenderWorld &world, RenderObject &object, u32 slot)
{
    static_cast<RenderLODObject &>(object).on_create(world, slot);
}

void destroy_lod(RenderWorld &world, RenderObject &object, u32 slot)
{
    static_cast<RenderLODObject &>(object).on_destroy(world, slot);
}

void update_particle_world(RenderWorld &, RenderObject &object, u32, u32 kind, const u8 *payload, u32 payload_bytes)
{
    static_cast<RenderParticleWorld &>(object).apply_message(kind, payload, payload_bytes);
}

// The world keeps its particle world to step it with each world update.
void particle_world_created(RenderWorld &world, RenderObject &object, u32)
{
    auto &particles = static_cast<RenderParticleWorld &>(object);
    particles.set_render_world(&world);
    world.set_particle_world(&particles);
}

void particle_world_destroyed(RenderWorld &world, RenderObject &object, u32)
{
    if (world.particle_world() == &object)
        world.set_particle_world(nullptr);
}

const RenderClassEntry class_table[render_object_class_count] = {
    {nullptr, nullptr, nullptr},                          // RenderWorld: create and destroy records only
    {&update_scene_graph, &create_scene_graph, nullptr},  // RenderSceneGraph
    {&update_mesh, &create_mesh, &destroy_mesh},          // RenderMeshObject
    {&update_by_object, &create_camera, nullptr},         // RenderCamera
    {&update_by_object, &add_unculled, &remove_unculled},  // RenderLineObjectDrawer
    {&update_by_object, nullptr, nullptr},                // RenderMaterial
    {&update_light, &create_light, &destroy_light},       // RenderLight
    {&update_particle_world, &particle_world_created, &particle_world_destroyed}, // RenderParticleWorld
    {&update_by_object, &add_unculled, &remove_unculled},  // RenderGui
    {&update_by_object, nullptr, nullptr},                // RenderViewport
    {&update_environment, nullptr, nullptr},              // RenderShadingEnvironment
    {&update_lod, &create_lod, &destroy_lod},             // RenderLODObject
};

const char *class_name(u32 class_id) { return to_string(RenderObjectClass(class_id)); }

/// Copies a payload struct out of its record; false (logged) when the payload is shorter.
template <typename T> bool read_record(const u8 *payload, u32 payload_bytes, const char *what, T &out)
{
    if (payload_bytes < sizeof(T)) {
        log_message("render", "%s record of %u bytes is too short; dropped", what, payload_bytes);
        return false;
    }
    memcpy(&out, payload, sizeof(T));
    return true;
}

void update_state_job(const JobData &batch)
{
    RenderStateStream **streams = batch.stream_as<RenderStateStream *>(0);
    RenderWorld *world = *batch.stream_as<RenderWorld *>(1);
    for (u32 i = 0; i < batch.count(); ++i)
        world->apply_stream(*streams[i], nullptr, false);
}

} // namespace

RenderWorld::RenderWorld(Allocator &parent, ThreadPool *pool)
    : RenderObject(RenderObjectClass::World), _allocator("RenderWorld", parent),
      _state_allocator("state_reflection", parent), _pool(pool), _objects(_allocator), _free_slots(_allocator),
      _retired(_allocator), _slot_of(_allocator), _flag1(_allocator), _flag2(_allocator), _lights(_allocator), _unculled(_allocator),
      _job_streams(_allocator), _buffers(_allocator), _free_buffers(_allocator), _cull_kernel(register_cull_kernel()),
      _default_camera(CameraBlock{}, no_render_handle, no_scene_node), _culled(_allocator), _culled_lights(_allocator),
      _visible_lights(_allocator), _contexts(_allocator), _record_contexts(_allocator)
{
}

RenderWorld::~RenderWorld()
{
    // Objects whose create records were never applied live only in those records.
    for (RenderStateQueue *buffer : _buffers)
        free_unapplied_creates(*buffer);
    for (u32 slot = 0; slot < _objects.size(); ++slot)
        if (_objects[slot])
            destroy_slot(slot, nullptr);
    delete_retired();
    for (RenderStateQueue *buffer : _buffers)
        delete_with_allocator(_state_allocator, buffer);
}

void RenderWorld::free_unapplied_creates(RenderStateQueue &buffer)
{
    RenderStateStream &stream = buffer.create_stream();
    RenderStateStream::Record record;
    for (u32 at = stream.first_record(); stream.read(at, record);) {
        RenderCreateRecord create;
        if (record.kind != render_record_create || record.payload_bytes < sizeof create)
            continue;
        memcpy(&create, record.payload, sizeof create);
        if (create.world_class == u32(RenderObjectClass::World) && create.object && object(create.handle) != create.object)
            delete_with_allocator(_allocator, create.object);
    }
    stream.reset();
}

// --- Buffers ---------------------------------------------------------------------------------

RenderStateQueue *RenderWorld::acquire_state_buffer()
{
    ScopedLock guard(_buffer_lock);
    if (!_free_buffers.empty()) {
        RenderStateQueue *buffer = _free_buffers.back();
        _free_buffers.pop_back();
        return buffer;
    }
    RenderStateQueue *buffer = make_new<RenderStateQueue>(_state_allocator, _state_allocator);
    // Room on the free list for every buffer made, so releasing one never fails.
    if (buffer)
        _free_buffers.reserve(_buffers.size() + 1);
    if (!buffer || _free_buffers.capacity() <= _buffers.size() || !_buffers.push_back(buffer)) {
        delete_with_allocator(_state_allocator, buffer);
        log_message("render", "no memory for another state buffer (%u made)", _buffers.size());
        return nullptr;
    }
    return buffer;
}

void RenderWorld::release_state_buffer(RenderStateQueue *buffer)
{
    if (!buffer)
        return;
    buffer->reset();
    ScopedLock guard(_buffer_lock);
    // Room for every buffer was reserved when it was made, so this cannot fail.
    _free_buffers.push_back(buffer);
}

u32 RenderWorld::buffer_count()
{
    ScopedLock guard(_buffer_lock);
    return _buffers.size();
}

// --- Game side -------------------------------------------------------------------------------

u32 RenderWorld::create_object(WorldRenderLink &link, u32 &handle_field, RenderObject *object)
{
    if (!object)
        return no_render_handle;
    if (handle_field != no_render_handle) {
        delete_with_allocator(_allocator, object);
        return handle_field;
    }
    u32 handle = link.handles().allocate();
    RenderCreateRecord record = {u32(RenderObjectClass::World), handle, object->class_id(), 0, object};
    if (handle == no_render_handle || !link.state()->create_stream().write(render_record_create, record)) {
        log_message("render", "%s not created: no handle or no room for its record", class_name(object->class_id()));
        if (handle != no_render_handle)
            link.handles().release(handle);
        delete_with_allocator(_allocator, object);
        return no_render_handle;
    }
    handle_field = handle;
    return handle;
}

u32 RenderWorld::create_scene_graph(WorldRenderLink &link, u32 &handle_field, const Matrix4x4 *world_matrices,
                                    u32 node_count)
{
    if (handle_field != no_render_handle)
        return handle_field;
    RenderSceneGraph *graph = make_new<RenderSceneGraph>(_allocator, _allocator, world_matrices, node_count);
    if (!graph) {
        log_message("render", "no memory for a RenderSceneGraph of %u nodes", node_count);
        return no_render_handle;
    }
    return create_object(link, handle_field, graph);
}

void RenderWorld::destroy_object(WorldRenderLink &link, u32 &handle_field)
{
    if (handle_field == no_render_handle)
        return;
    RenderDestroyRecord record = {u32(RenderObjectClass::World), handle_field, 0xFFFFFFFF, 0};
    if (!link.state()->destroy_stream().write(render_record_destroy, record)) {
        // Without its record the object stays alive until the world goes; its handle must
        // then never come back either.
        log_message("render", "no room for the destroy record of render handle %u; the object lives on", handle_field);
    } else {
        link.handles().release(handle_field);
    }
    handle_field = no_render_handle;
}

// --- Render thread ---------------------------------------------------------------------------

RenderObject *RenderWorld::object(u32 handle) const
{
    u32 slot = slot_of(handle);
    return slot == no_slot ? nullptr : _objects[slot];
}

RenderObject *RenderWorld::object_in_slot(u32 slot) const { return slot < _objects.size() ? _objects[slot] : nullptr; }

u32 RenderWorld::slot_of(u32 handle) const { return handle < _slot_of.size() ? _slot_of[handle] : no_slot; }

void RenderWorld::delete_retired()
{
    for (RenderObject *o : _retired)
        delete_with_allocator(_allocator, o);
    _retired.clear();
}

void RenderWorld::update_state(RenderStateQueue &buffer, RenderResourceContext *context)
{
    ++_state_frame;
    // The contexts of the last update have run on the device by now.
    delete_retired();
    apply_stream(buffer.create_stream(), context, true);

    const u32 count = buffer.update_stream_count();
    _job_streams.resize(count);
    const bool listed = _job_streams.size() == count;
    if (listed)
        for (u32 i = 0; i < count; ++i)
            _job_streams[i] = &buffer.update_stream(i);
    // Groups one after another (a later group may address the objects of an earlier one);
    // the streams of one group apart.
    for (u32 g = 0; g < buffer.update_group_count(); ++g) {
        const u32 first = buffer.group_start(g);
        const u32 end = g + 1 < buffer.update_group_count() ? buffer.group_start(g + 1) : count;
        if (_pool && listed && end - first > 1) {
            Job job("update_state_job");
            JobData data(job);
            RenderWorld *self = this;
            data.set_stream(0, {_job_streams.data() + first, u32(sizeof(RenderStateStream *))});
            data.set_stream(1, {&self, 0}, stream_kind_shared);
            job.set_count(end - first);
            job.set_function(&update_state_job);
            // One stream per batch: records of one stream keep their order, streams run apart.
            JobSplit split(job);
            split.mode = 1;
            split.limit = 1;
            JobId id = run_job(*_pool, job, no_job, &split);
            _pool->wait(id);
            _pool->job_done(id);
        } else {
            for (u32 i = first; i < end; ++i)
                apply_stream(buffer.update_stream(i), nullptr, false);
        }
    }

    apply_stream(buffer.destroy_stream(), context, true);
}

void RenderWorld::apply_stream(const RenderStateStream &stream, RenderResourceContext *context, bool lifecycle)
{
    u32 unbuilt = 0, unbuilt_class = 0, stale = 0, stale_handle = 0;
    RenderStateStream::Record record;
    for (u32 at = stream.first_record(); stream.read(at, record);) {
        RenderRecordAddress address;
        if (record.payload_bytes < sizeof address) {
            log_message("render", "state record of %u bytes has no addressee; dropped", record.payload_bytes);
            continue;
        }
        memcpy(&address, record.payload, sizeof address);
        if (address.class_id == u32(RenderObjectClass::World)) {
            // Creations and destructions change the object tables, so they are taken only
            // from the serial create and destroy streams, never from parallel update streams.
            if (!lifecycle)
                drop_lifecycle_record(record.kind, record.payload, record.payload_bytes);
            else if (record.kind == render_record_create)
                apply_create(record.payload, record.payload_bytes, context);
            else if (record.kind == render_record_destroy)
                apply_destroy(record.payload, record.payload_bytes, context);
            else
                log_message("render", "RenderWorld takes no record of kind %u; dropped", record.kind);
            continue;
        }
        if (address.class_id >= render_object_class_count || !class_table[address.class_id].update) {
            ++unbuilt;
            unbuilt_class = address.class_id;
            continue;
        }
        RenderObject *target = object(address.handle);
        if (!target || target->class_id() != address.class_id) {
            ++stale;
            stale_handle = address.handle;
            continue;
        }
        class_table[address.class_id].update(*this, *target, slot_of(address.handle), record.kind, record.payload,
                                             record.payload_bytes);
    }
    if (unbuilt)
        log_message("render", "%u records for render classes not built yet (last: %s, id %u); dropped", unbuilt,
                    class_name(unbuilt_class), unbuilt_class);
    if (stale)
        log_message("render", "%u records name no live object of their class (last: handle %u); dropped", stale,
                    stale_handle);
}

void RenderWorld::drop_lifecycle_record(u32 kind, const u8 *payload, u32 payload_bytes)
{
    RenderCreateRecord create;
    if (kind == render_record_create && payload_bytes >= sizeof create) {
        // The object was never filed: it goes with its record, unless it is live already.
        memcpy(&create, payload, sizeof create);
        if (create.object && object(create.handle) != create.object)
            delete_with_allocator(_allocator, create.object);
    }
    RenderRecordAddress address;
    memcpy(&address, payload, sizeof address);
    log_message("render", "create or destroy record in an update stream (handle %u); dropped", address.handle);
}

void RenderWorld::apply_create(const u8 *payload, u32 payload_bytes, RenderResourceContext *context)
{
    RenderCreateRecord record;
    if (!read_record(payload, payload_bytes, "create", record))
        return;
    RenderObject *created = record.object;
    if (!created)
        return;
    if (created->class_id() != record.object_class || record.object_class >= render_object_class_count ||
        record.handle == no_render_handle) {
        log_message("render", "create record for handle %u does not match its object (class %u); dropped",
                    record.handle, record.object_class);
        delete_with_allocator(_allocator, created);
        return;
    }
    if (object(record.handle)) {
        log_message("render", "render handle %u is already live; the second %s is dropped", record.handle,
                    class_name(record.object_class));
        delete_with_allocator(_allocator, created);
        return;
    }
    if (record.handle >= _slot_of.size()) {
        u32 old = _slot_of.size();
        _slot_of.resize(record.handle + 1);
        if (_slot_of.size() != record.handle + 1) {
            log_message("render", "no memory to file render handle %u; %s dropped", record.handle,
                        class_name(record.object_class));
            delete_with_allocator(_allocator, created);
            return;
        }
        for (u32 i = old; i < _slot_of.size(); ++i)
            _slot_of[i] = no_slot;
    }
    u32 slot;
    if (!_free_slots.empty()) {
        slot = _free_slots.back();
        _free_slots.pop_back();
        _objects[slot] = created;
    } else {
        slot = _objects.size();
        // Room on the free and retired lists for every slot made, so destroying never fails.
        _free_slots.reserve(slot + 1);
        _retired.reserve(slot + 1);
        if (_free_slots.capacity() <= slot || _retired.capacity() <= slot || !_objects.push_back(created)) {
            log_message("render", "no memory for another render object slot; %s dropped", class_name(record.object_class));
            delete_with_allocator(_allocator, created);
            return;
        }
    }
    _slot_of[record.handle] = slot;
    ++_live_count;
    if (ClassLifecycle on_create = class_table[record.object_class].on_create)
        on_create(*this, *created, slot);
    created->create_resources(context);
}

void RenderWorld::apply_destroy(const u8 *payload, u32 payload_bytes, RenderResourceContext *context)
{
    RenderDestroyRecord record;
    if (!read_record(payload, payload_bytes, "destroy", record))
        return;
    u32 slot = slot_of(record.handle);
    if (slot == no_slot) {
        log_message("render", "destroy record for render handle %u, which names no live object; dropped", record.handle);
        return;
    }
    _slot_of[record.handle] = no_slot;
    destroy_slot(slot, context);
}

void RenderWorld::destroy_slot(u32 slot, RenderResourceContext *context)
{
    RenderObject *doomed = _objects[slot];
    if (ClassLifecycle on_destroy = class_table[doomed->class_id()].on_destroy)
        on_destroy(*this, *doomed, slot);
    doomed->destroy_resources(context);
    if (context)
        _retired.push_back(doomed); // room was reserved when the slot was made
    else
        delete_with_allocator(_allocator, doomed);
    _objects[slot] = nullptr;
    // Room was reserved when the slot was made.
    _free_slots.push_back(slot);
    --_live_count;
}

bool RenderWorld::validate() const
{
    u32 live = 0;
    for (u32 handle = 0; handle < _slot_of.size(); ++handle) {
        u32 slot = _slot_of[handle];
        if (slot == no_slot)
            continue;
        if (slot >= _objects.size() || !_objects[slot])
            return false;
        ++live;
    }
    u32 filled = 0;
    for (RenderObject *o : _objects)
        filled += o != nullptr;
    return live == _live_count && filled == _live_count && filled + _free_slots.size() == _objects.size();
}

} // namespace tallow

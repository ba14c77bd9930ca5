#include "animation/animation_resources.h"

#include "animation/animation_reader_internal.h"
#include "animation/state_machine_resource.h"
#include "foundation/io/input_archive.h"
#include "foundation/log.h"
#include "resource/byte_reader.h"
#include "resource/resource_manager.h"

#include <cmath>
#include <cstring>
#include <new>

namespace tallow {

namespace {

using Reader = AnimationReader;

template <typename T> T *refuse(const char *kind, u64 name, const char *why, T *made, Allocator &allocator)
{
    log_message("animation", "%s %016llx is broken (%s); not loaded", kind, (unsigned long long)name,
                why ? why : "out of memory");
    delete_with_allocator(allocator, made);
    return nullptr;
}

template <typename F> void *load_whole(const ResourceLoadParams &params, const char *kind, F read)
{
    Array<u8> bytes(params.allocator);
    if (!params.archive.read_whole_bytes(bytes)) {
        log_message("animation", "%s %016llx: cannot read its bytes", kind, (unsigned long long)params.name.value());
        return nullptr;
    }
    return read(bytes.data(), bytes.size(), params.allocator, params.name.value());
}

} // namespace

AnimationResource *read_animation_resource(const u8 *bytes, u64 size, Allocator &allocator, u64 name)
{
    // The record, then the bytes, in one block; the view points into the block.
    constexpr u64 record_bytes = (sizeof(AnimationResource) + 15) & ~u64(15);
    AnimationView view;
    const char *why = nullptr;
    if (!read_animation(bytes, size, view, &why)) {
        log_message("animation", "animation %016llx is broken (%s); not loaded", (unsigned long long)name, why);
        return nullptr;
    }
    u8 *block = static_cast<u8 *>(allocator.allocate(record_bytes + size, 16));
    if (!block) {
        log_message("animation", "animation %016llx: out of memory", (unsigned long long)name);
        return nullptr;
    }
    memcpy(block + record_bytes, bytes, size);
    auto *resource = new (block) AnimationResource;
    (void)read_animation(block + record_bytes, size, resource->view);
    resource->name = name;
    return resource;
}

BonesResource *read_bones(const u8 *bytes, u64 size, Allocator &allocator, u64 name)
{
    BonesResource *r = make_new<BonesResource>(allocator, allocator);
    if (!r)
        return refuse<BonesResource>("bones", name, nullptr, nullptr, allocator);
    Reader in(bytes, size);
    if (!in.list(r->names, 4, [&](DynamicString &s) { return in.string(s); }) || !in.finish())
        return refuse("bones", name, in.why, r, allocator);
    return r;
}

CameraAnimationResource *read_camera_animation(const u8 *bytes, u64 size, Allocator &allocator, u64 name)
{
    CameraAnimationResource *r = make_new<CameraAnimationResource>(allocator, allocator);
    if (!r)
        return refuse<CameraAnimationResource>("camera_animation", name, nullptr, nullptr, allocator);
    Reader in(bytes, size);
    auto entry = [&](CameraAnimationEntry &e) { return in.u32_(e.id) && in.string(e.name); };
    bool ok = in.list(r->names, 4, [&](DynamicString &s) { return in.string(s); }) &&
              in.list(r->tracks16, 4, [&](Array<f32> &t) { return in.floats(t, 4); }) &&
              in.list(r->tracks20, 4, [&](Array<f32> &t) { return in.floats(t, 5); }) &&
              in.list(r->tracks8, 4, [&](Array<f32> &t) { return in.floats(t, 2); }) &&
              in.list(r->table_a, 8, entry) && in.list(r->table_b, 8, entry) && in.finish();
    if (!ok)
        return refuse("camera_animation", name, in.why, r, allocator);
    return r;
}

void *load_animation_resource(const ResourceLoadParams &params)
{
    return load_whole(params, "animation", read_animation_resource);
}
void unload_animation_resource(const ResourceUnloadParams &params) { params.allocator.deallocate(params.data); }
void *load_bones_resource(const ResourceLoadParams &params) { return load_whole(params, "bones", read_bones); }
void unload_bones_resource(const ResourceUnloadParams &params)
{
    delete_with_allocator(params.allocator, static_cast<BonesResource *>(params.data));
}
void *load_camera_animation_resource(const ResourceLoadParams &params)
{
    return load_whole(params, "camera_animation", read_camera_animation);
}
void unload_camera_animation_resource(const ResourceUnloadParams &params)
{
    delete_with_allocator(params.allocator, static_cast<CameraAnimationResource *>(params.data));
}

void register_animation_resource_types(ResourceManager &manager)
{
    ResourceTypeCallbacks animation, state_machine, bones, camera;
    animation.load = load_animation_resource;
    animation.unload = unload_animation_resource;
    state_machine.load = load_state_machine_resource;
    state_machine.unload = unload_state_machine_resource;
    bones.load = load_bones_resource;
    bones.unload = unload_bones_resource;
    camera.load = load_camera_animation_resource;
    camera.unload = unload_camera_animation_resource;
    (void)manager.register_type(animation_type, animation);
    (void)manager.register_type(state_machine_type, state_machine);
    (void)manager.register_type(bones_type, bones);
    (void)manager.register_type(camera_animation_type, camera);
}

} // namespace tallow

#pragma once
// The resource types of the animation subsystem: "animation" (animation/animation_data.h),
// "state_machine" (animation/state_machine_resource.h), "bones" and "camera_animation".
//
//   register_animation_resource_types(manager);   // once, at start-up (main thread)
//   auto *bones = static_cast<const BonesResource *>(manager.get(bones_type, name));
//   auto *anim = static_cast<const AnimationResource *>(manager.get(animation_type, name));
//   player.play(&anim->view, true);
//
// Strings in both formats below are a u32 length, then that many bytes (a NUL is added).
// "bones": u32 count, then count strings (the bone names in bone order).
// "camera_animation", in order:
//   names     u32 count, count strings                      the cameras, by index
//   tracks16  u32 tracks; each: u32 keys, keys x 4 f32      position: time, x, y, z
//   tracks20  u32 tracks; each: u32 keys, keys x 5 f32      rotation: time, x, y, z, w
//   tracks8   u32 tracks; each: u32 keys, keys x 2 f32      scalar: time, value
//   table_a   u32 count; each: u32 id, a string
//   table_b   u32 count; each: u32 id, a string
// Every count and length is checked against the bytes left, and nothing may follow the last
// field; a file that fails does not load (logged with the reason).

#include "animation/animation_data.h"
#include "foundation/containers/array.h"
#include "foundation/strings/dynamic_string.h"
#include "foundation/strings/name_id.h"

namespace tallow {

class ResourceManager;
struct ResourceLoadParams;
struct ResourceUnloadParams;

constexpr NameId64 animation_type("animation");
constexpr NameId64 bones_type("bones");
constexpr NameId64 camera_animation_type("camera_animation");

/// A loaded "animation": its checked view over the bytes that follow it in one block.
struct AnimationResource {
    AnimationView view;
    u64 name = 0; // the resource's name id (what holders give back with)
};

struct BonesResource {
    explicit BonesResource(Allocator &a) : names(a) {}
    Array<DynamicString> names;
};

struct CameraAnimationEntry {
    explicit CameraAnimationEntry(Allocator &a) : name(a) {}
    u32 id = 0;
    DynamicString name;
};

struct CameraAnimationResource {
    explicit CameraAnimationResource(Allocator &a)
        : names(a), tracks16(a), tracks20(a), tracks8(a), table_a(a), table_b(a)
    {
    }
    Array<DynamicString> names;
    Array<Array<f32>> tracks16; // 4 floats a key
    Array<Array<f32>> tracks20; // 5 floats a key
    Array<Array<f32>> tracks8;  // 2 floats a key
    Array<CameraAnimationEntry> table_a;
    Array<CameraAnimationEntry> table_b;
};

/// Readers over bytes in memory (the load callbacks read the archive whole and call these).
/// Null, logged with the reason, when the bytes are not a valid resource.
AnimationResource *read_animation_resource(const u8 *bytes, u64 size, Allocator &allocator, u64 name = 0);
BonesResource *read_bones(const u8 *bytes, u64 size, Allocator &allocator, u64 name = 0);
CameraAnimationResource *read_camera_animation(const u8 *bytes, u64 size, Allocator &allocator, u64 name = 0);

/// The resource manager's callbacks of the four types.
void *load_animation_resource(const ResourceLoadParams &params);
void unload_animation_resource(const ResourceUnloadParams &params);
void *load_bones_resource(const ResourceLoadParams &params);
void unload_bones_resource(const ResourceUnloadParams &params);
void *load_camera_animation_resource(const ResourceLoadParams &params);
void unload_camera_animation_resource(const ResourceUnloadParams &params);

/// Registers "animation", "state_machine", "bones" and "camera_animation".
void register_animation_resource_types(ResourceManager &manager);

} // namespace tallow

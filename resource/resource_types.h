#pragma once
// The resource types defined with the resource manager: the types whose bytes are handed
// out as they are, "package", "mouse_cursor" and "strings" (resource/strings_resource.h).
// The other types are registered by the subsystems that read them ("lua" by the script
// environment, "unit" by the world, ...).
//
//   register_resource_types(manager, &cursor_factory);   // once, at start-up
//   auto *cursor = static_cast<const MouseCursor *>(manager.get(mouse_cursor_type, name));
//
// Raw types (no callbacks): "particles", "spu_job", "data". ("font" is the render layer's:
// render/gui/font.h, register_font_resource_type.)
// Their data is the resource's bytes in a block aligned to 16; the readers know their own
// sizes from the bytes. "network_game_config" is the network layer's
// (network/network_config_resource.h); "wav" and "sound_environment" are the sound layer's
// (sound/sound_resource.h: register_sound_resource_types); "animation", "state_machine",
// "bones" and "camera_animation" the animation layer's, checked as they load
// (animation/animation_resources.h: register_animation_resource_types).

#include "foundation/containers/array.h"
#include "resource/resource_manager.h"

namespace tallow {

constexpr NameId64 package_type("package");
constexpr NameId64 mouse_cursor_type("mouse_cursor");

/// A loaded "mouse_cursor": u32 width, u32 height, u32 hot spot x, u32 hot spot y, then
/// a u32 byte count and width x height pixels of 32 bits (blue, green, red, alpha in
/// memory order, rows bottom-up).
struct MouseCursor {
    u32 width = 0;
    u32 height = 0;
    u32 hot_spot_x = 0;
    u32 hot_spot_y = 0;
    const u8 *pixels = nullptr; // width x height x 4 bytes, in the same block as the record
    u64 cursor = 0;             // the window layer's cursor, 0 while none is made
};

/// How the window layer turns a cursor image into a cursor. Both run on the main thread
/// (the cursor is made when the resource is brought in, released when it is brought out).
struct MouseCursorFactory {
    void *context = nullptr;
    u64 (*create)(void *context, const MouseCursor &image) = nullptr; // 0 on failure
    void (*destroy)(void *context, u64 cursor) = nullptr;
};

/// Registers the raw types, "package", "mouse_cursor" and "strings". `cursor_factory` (may
/// be null: cursors then stay images without a cursor) must outlive the manager.
void register_resource_types(ResourceManager &manager, const MouseCursorFactory *cursor_factory);

/// The callbacks of "package" (the data is an `Array<ResourceId>`).
ResourceTypeCallbacks package_resource_callbacks();
/// The callbacks of "mouse_cursor" (the data is a `MouseCursor`).
ResourceTypeCallbacks mouse_cursor_callbacks(const MouseCursorFactory *cursor_factory);

} // namespace tallow

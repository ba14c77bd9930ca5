#pragma once
// "cascaded_shadow_mapping": the sun's shadow maps, one per slice of the camera's view
// depth. Each slice fits a light box around its part of the view volume (shadow_math.h:
// fit_cascade_slice), draws the shadow casters into its own target region and hands the
// light matrix to a mask material and a cutter material.
//
//   { type = "cascaded_shadow_mapping" light_direction = "sun:sun_direction"
//     slices = [ { output = "shadow_map" depth_start = 0 depth_end = 10
//                  viewport = [0 0 0.5 0.5] mask_material = "sun_mask" cutter_material = "sun_cutter" }
//                { output = "shadow_map" depth_range = "slice_depth"
//                  viewport = [0.5 0 0.5 0.5] mask_material = "sun_mask2" } ] }
//
// "light_direction" names a material of the frame's shading environment and its vector3
// variable ("material:variable"). A slice's depth range is fixed ("depth_start",
// "depth_end") or read each frame from the vector2 the frame's variable overrides bind to
// "depth_range" (a loop sets it).
//
// Each frame, per slice, in a context of its own with shader slot 1, under a sub-key of its
// own (1 + slice index), so slices sort one after another and each slice's casters follow
// its own target and viewport: one segment (the slice's viewport, eight unbound colour
// slots, the output as depth target, a DEPTH clear the first time a target is used this
// frame, so slices sharing a target do not wipe each other), the material values, then
// the casters. A last segment under sub-key (slice count + 1) restores the frame's
// viewport. The casters of all slices are drawn once every slice is set up, each slice a
// job on the frame's pool (render_shadow_views).
//
// Refused at load (logged, null): a "light_direction" without its colon; a slice without
// "output" or with a "viewport" of fewer than four numbers. Reported once each frame it
// happens: a missing material or variable, a light direction of (nearly) zero length (the
// slice is cleared and draws nothing), a depth-range variable the overrides lack (the
// slice is cleared and draws nothing).

#include "foundation/math/vector3.h"
#include "render/generators/resource_generator.h"
#include "render/world/render_record.h"

namespace tallow::resource_generator {

/// Slices one step takes (the sub-key field holds far more; this keeps records small).
constexpr u32 max_cascade_slices = 16;

class CascadedShadowMapping final : public ModifierBase {
  public:
    struct Slice {
        u32 output = 0;           // NameId32
        u32 depth_range = 0;      // NameId32 of a vector2 override, 0: fixed
        f32 depth_start = 0;
        f32 depth_end = 0;
        u32 cutter_material = 0;  // NameId32, 0: none
        u32 mask_material = 0;    // NameId32, 0: none
        f32 viewport[4] = {0, 0, 1, 1};
    };

    static ModifierBase *create(const ModifierLoadParams &params);

    explicit CascadedShadowMapping(Allocator &allocator);
    void execute(const ModifierExecution &run) override; // See ModifierBase

    u32 light_material() const { return _light_material; }
    u32 light_variable() const { return _light_variable; }
    const Array<Slice> &slices() const { return _slices; }

  private:
    bool light_direction(const GeneratorFrame &frame, Vector3 *out);

    Array<Slice> _slices;
    Array<RenderRecord> _scratch; // culled records of a slice drawn alone
    u32 _light_material = 0;
    u32 _light_variable = 0;
    u32 _reported = 0;
};

} // namespace tallow::resource_generator

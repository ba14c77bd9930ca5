#pragma once
// "tiled_deferred_shading": lights the whole output in one compute dispatch over 16 x 16
// pixel tiles, with every light the view sees written into the shader's light arrays.
//
//   { type = "tiled_deferred_shading" shader = "tiled_lighting" output = "light_accumulation" }
//
// Each frame: the frame's resources bound to the shader; dispatch counts (ceil(width / 16),
// ceil(height / 16), 1) of the output; then, each only when the shader has it, "n_lights"
// (a float), and per light i element i of "light_positions" (x, y, z), "light_screen_spheres"
// (x, y, radius; light_constants.h) and "light_colors" (r, g, b). The number of lights
// written is capped at the shortest of the three arrays the shader has (so nothing is
// written past them; the cap is reported once), and "n_lights" says how many were written.
//
// Refused at load (logged, null): a missing or unknown "shader", a missing "output".

#include "render/generators/resource_generator.h"
#include "render/shaders/shader_manager.h"

namespace tallow::resource_generator {

/// Pixels per tile side.
constexpr u32 light_tile_size = 16;

class CSTiledDeferredShading final : public ModifierBase {
  public:
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit CSTiledDeferredShading(Allocator &allocator);
    void execute(const ModifierExecution &run) override; // See ModifierBase

    /// Thread groups for an output of `width` x `height` pixels.
    static void dispatch_counts(u32 width, u32 height, u32 out_groups[3]);
    u32 output() const { return _output; }
    const ShaderContext &shading() const { return _shading; }

  private:
    ShaderContext _shading;
    u32 _output = 0;
    u32 _reported = 0;
};

} // namespace tallow::resource_generator

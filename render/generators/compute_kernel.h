#pragma once
// "compute_kernel": binds inputs like the fullscreen pass and dispatches a compute shader
// with thread-group counts from numbers or from render-target sizes.
//
//   { type = "compute_kernel" shader = "blur" input = "hdr"
//     thread_count_x = "back_buffer" thread_count_y = "back_buffer" thread_count_z = 1
//     thread_count_divider = [ 16 16 1 ] }
//
// Keys: "material" or "shader" (as the fullscreen pass); "input" (input i bound to
// "input_texture<i>", with "input_texture<i>_size" = (width, height) when the shader has
// it); "thread_count_x", "_y", "_z": the axis' total thread count, an integer or the name
// of a render target (or texture) whose width (x), height (y) or depth (z) it takes each
// frame; a missing count is 1; "thread_count_divider": threads per group, one integer for
// all axes or an array of up to three (missing ones 1). The groups of an axis are
// ceil(count / divider).
//
// Each frame, under the step's key: one segment that unbinds all eight target slots, then
// the dispatch, once per shader pass taking part in the layer config.
//
// Refused at load (logged, that value taken as 1): a divider of 0 or below or not an
// integer, a count that is neither an integer of 0 or more nor a string. Reported once at
// run time: an unknown target name (no dispatch that frame), a missing material or shader.

#include "render/generators/resource_generator.h"
#include "render/shaders/shader_manager.h"

namespace tallow::resource_generator {

class ComputeKernel final : public ModifierBase {
  public:
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit ComputeKernel(Allocator &allocator);
    void execute(const ModifierExecution &run) override; // See ModifierBase

    /// One axis' thread count: a fixed number, or the size of a named target.
    struct ThreadCount {
        u32 fixed = 1;
        u32 target = 0; // NameId32; 0: use `fixed`
    };
    const ThreadCount &thread_count(u32 axis) const { return _counts[axis]; }
    u32 divider(u32 axis) const { return _dividers[axis]; }
    const Array<u32> &inputs() const { return _inputs; }
    u32 material() const { return _material; }

    /// ceil(count / divider); the divider is at least 1.
    static u32 group_count(u32 count, u32 divider);

  private:
    Allocator &_allocator;
    ShaderContext _own_context;
    u32 _material = 0;
    Array<u32> _inputs;
    ThreadCount _counts[3];
    u32 _dividers[3] = {1, 1, 1};
    u32 _reported = 0;
};

} // namespace tallow::resource_generator

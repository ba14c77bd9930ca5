#pragma once
// "nv_stereo_params": hands the driver's stereoscopic parameters to the shaders. Each frame
// it reads them from the device (RenderDevice::read_stereo) and, when they changed, writes
// them into a 16 x 5 texture of four floats per texel and copies that into the output
// render target, from which shaders read the eye offsets.
//
//   { type = "nv_stereo_params" output = "stereo_params" }
//
// The parameter texture: with a = e s and b = e s k (e eye separation, s separation / 100,
// k convergence), every row but the last holds (a, -b, 0, 0) in the left half (x < 8) and
// (-a, b, 0, 0) in the right half; the last row begins with the little-endian u32s
// 0x4433564E ("NV3D"), 16 (width), 5 (height), 128 (bits per texel), 0.
//
// Under the step's key: with stereo activated, the texture's update (sub-key 1) and the
// copy into the output (sub-key 2); with stereo not activated, a copy of an all-zero
// texture of the same size, so no old parameters remain. The copy box is clamped to the
// smaller of the texture and the output. Values are compared bit for bit with the last
// ones written; the stored ones start as NaN, so the first frame with stereo writes.
// A device without a stereo handle makes the step do nothing.
//
// Refused at load (logged, null): a missing "output". Both textures are made in the load's
// resource context and released by `release`.

#include "render/generators/resource_generator.h"
#include "render/device/render_device.h"
#include "render/resources/render_target.h"

namespace tallow::resource_generator {

constexpr u32 stereo_texture_width = 16;
constexpr u32 stereo_texture_height = 5;
constexpr u32 stereo_texture_format = 9; // four 32-bit floats per texel
constexpr u32 stereo_texel_bytes = 16;
constexpr u32 stereo_texture_bytes = stereo_texture_width * stereo_texture_height * stereo_texel_bytes;
constexpr u32 stereo_signature = 0x4433564E; // "NV3D"

/// Fills `out_bytes` (stereo_texture_bytes) with the parameter texture for `reading`.
void write_stereo_texture(const StereoReading &reading, u8 *out_bytes);

class NVStereoParamsModifier final : public ModifierBase {
  public:
    static ModifierBase *create(const ModifierLoadParams &params);

    explicit NVStereoParamsModifier(Allocator &allocator);
    void execute(const ModifierExecution &run) override;                                  // See ModifierBase
    void release(ResourceGenerator &generator, RenderResourceContext *context) override; // See ModifierBase

    u32 output() const { return _output; }
    const Texture &parameter_texture() const { return _parameters; }
    const Texture &reset_texture() const { return _reset; }
    const u8 *parameter_bytes() const { return _parameter_bytes; }

  private:
    u32 _output = 0;
    Texture _parameters;
    Texture _reset;
    u8 _parameter_bytes[stereo_texture_bytes] = {};
    u8 _reset_bytes[stereo_texture_bytes] = {};
    u32 _last[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}; // bits of e, s, k last written
    bool _has_resources = false;
    u32 _reported = 0;
};

} // namespace tallow::resource_generator

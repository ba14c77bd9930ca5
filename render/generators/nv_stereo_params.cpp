#include "render/generators/nv_stereo_params.h"

#include "foundation/log.h"
#include "foundation/strings/name_id.h"
#include "render/commands/render_context.h"
#include "render/device/render_device.h"
#include "render/generators/modifier_inputs.h"
#include "render/resources/render_resource_context.h"

#include <cstring>

namespace tallow::resource_generator {

namespace {
enum : u32 { reported_output = 1, reported_no_resources = 2 };

void store_u32(u8 *at, u32 v)
{
    at[0] = u8(v);
    at[1] = u8(v >> 8);
    at[2] = u8(v >> 16);
    at[3] = u8(v >> 24);
}

void store_f32(u8 *at, f32 v)
{
    u32 bits;
    memcpy(&bits, &v, 4);
    store_u32(at, bits);
}

u32 bits_of(f32 v)
{
    u32 bits;
    memcpy(&bits, &v, 4);
    return bits;
}

void describe(Texture &texture, const u8 *bytes)
{
    texture.description = {stereo_texture_format, 0, stereo_texture_width, stereo_texture_height, 1, 1};
    texture.data.clear();
    (void)texture.data.push_back(bytes);
}
} // namespace

void write_stereo_texture(const StereoReading &reading, u8 *out_bytes)
{
    memset(out_bytes, 0, stereo_texture_bytes);
    const f32 e = reading.eye_separation;
    const f32 s = reading.separation_percent * 0.01f;
    const f32 k = reading.convergence;
    const f32 a = e * s;
    const f32 b = e * s * k;
    const u32 row_bytes = stereo_texture_width * stereo_texel_bytes;
    for (u32 y = 0; y + 1 < stereo_texture_height; ++y)
        for (u32 x = 0; x < stereo_texture_width; ++x) {
            u8 *texel = out_bytes + y * row_bytes + x * stereo_texel_bytes;
            const bool left = x < stereo_texture_width / 2;
            store_f32(texel, left ? a : -a);
            store_f32(texel + 4, left ? -b : b);
        }
    u8 *header = out_bytes + (stereo_texture_height - 1) * row_bytes;
    store_u32(header, stereo_signature);
    store_u32(header + 4, stereo_texture_width);
    store_u32(header + 8, stereo_texture_height);
    store_u32(header + 12, stereo_texel_bytes * 8);
    store_u32(header + 16, 0);
}

NVStereoParamsModifier::NVStereoParamsModifier(Allocator &allocator)
    : ModifierBase(ModifierType::NVStereoParams), _parameters(allocator), _reset(allocator)
{
    describe(_parameters, _parameter_bytes);
    describe(_reset, _reset_bytes);
}

ModifierBase *NVStereoParamsModifier::create(const ModifierLoadParams &params)
{
    ConstConfigValue output = params.config.member("output");
    if (output.kind() != ConstConfigKind::String || !output.to_string()[0]) {
        log_message("render", "nv_stereo_params needs an \"output\" render target name; refused");
        return nullptr;
    }
    ResourceGenerator &generator = *params.generator;
    NVStereoParamsModifier *modifier = make_new<NVStereoParamsModifier>(generator.allocator(), generator.allocator());
    if (!modifier) {
        log_message("render", "nv_stereo_params: out of memory");
        return nullptr;
    }
    modifier->_output = NameId32(output.to_string()).value();
    if (RenderResourceContext *resources = params.load->resources) {
        const bool made = resources->create_resource(&modifier->_parameters);
        modifier->_has_resources = resources->create_resource(&modifier->_reset) && made;
        if (!modifier->_has_resources)
            log_message("render", "nv_stereo_params: its textures could not be made; it writes nothing");
    }
    return modifier;
}

void NVStereoParamsModifier::release(ResourceGenerator &generator, RenderResourceContext *context)
{
    (void)generator;
    if (!context)
        return;
    context->release_resource(&_parameters);
    context->release_resource(&_reset);
}

void NVStereoParamsModifier::execute(const ModifierExecution &run)
{
    const GeneratorFrame &frame = *run.frame;
    StereoReading reading;
    if (!frame.device || !frame.device->read_stereo(&reading))
        return;
    if (!reading.activated)
        reading = StereoReading{};
    const f32 separation = reading.separation_percent * 0.01f;
    const u32 now[3] = {bits_of(reading.eye_separation), bits_of(separation), bits_of(reading.convergence)};
    if (memcmp(now, _last, sizeof now) == 0)
        return;
    if (!_has_resources) {
        if (first_report(_reported, reported_no_resources))
            log_message("render", "nv_stereo_params has no textures (made without a resource context); it writes "
                                  "nothing");
        return;
    }
    ResolvedResource output;
    if (!resolve_resource(frame, _output, &output) || !output.target) {
        if (first_report(_reported, reported_output))
            log_message("render", "nv_stereo_params: output 0x%08x is not a render target of the frame; nothing is "
                                  "written",
                        _output);
        return;
    }
    memcpy(_last, now, sizeof now);

    // The box may reach neither past the 16 x 5 source nor past the output.
    const u32 box[6] = {0, 0, 0, output.width < stereo_texture_width ? output.width : stereo_texture_width,
                        output.height < stereo_texture_height ? output.height : stereo_texture_height, 1};
    u64 update_key = 0, copy_key = 0;
    if (!make_generator_sub_key(run.key, 1, &update_key) || !make_generator_sub_key(run.key, 2, &copy_key))
        return;
    if (!reading.activated) {
        run.context->copy_target(output.handle, _reset.handle, copy_key, box);
        return;
    }
    write_stereo_texture(reading, _parameter_bytes);
    run.context->update_resource(&_parameters, update_key);
    run.context->copy_target(output.handle, _parameters.handle, copy_key, box);
}

} // namespace tallow::resource_generator

#include "input/lightfx_device.h"

#include "foundation/log.h"

namespace tallow {

namespace {

constexpr const char *category = "LightFX";
const char *const device_types[] = {"unknown", "notebook", "desktop", "server", "display",
                                    "mouse",   "keyboard", "gamepad", "speaker"};

u32 byte_of(f32 c)
{
    const f32 clamped = c >= 1.0f ? 1.0f : c > 0.0f ? c : 0.0f; // NaN fails both tests: 0
    return u32(clamped * 255.0f + 0.5f);
}

} // namespace

LightFxDevice *LightFxDevice::instance = nullptr;

u32 lightfx_pack_color(f32 r, f32 g, f32 b, f32 a)
{
    return byte_of(a) << 24 | byte_of(r) << 16 | byte_of(g) << 8 | byte_of(b);
}

u32 lightfx_mask_of_entry(u32 t)
{
    if (t < 1 || t > 27)
        return 0;
    const u32 l = (t - 1) / 9, r = (t - 1) % 9 / 3, q = (t - 1) % 3;
    return 1u << (9 * l + 3 * (2 - r) + q);
}

LightFxDevice::LightFxDevice(const char *const *library_names, u32 name_count)
{
    instance = this;
    _available = init(library_names, name_count);
}

LightFxDevice::~LightFxDevice() { shutdown(); }

void LightFxDevice::fail(bool release)
{
    if (release) _library.release();
    platform::free_lightfx_library(_library);
}

bool LightFxDevice::init(const char *const *names, u32 name_count)
{
    u32 which = 0;
    platform::LightFxLoad load = platform::LightFxLoad::not_found;
    for (; which < name_count && names; ++which) {
        load = platform::load_lightfx_library(names[which], _library);
        if (load != platform::LightFxLoad::not_found)
            break;
    }
    if (load == platform::LightFxLoad::not_found)
        return false;
    if (load == platform::LightFxLoad::missing_entries) {
        log_message(category, "Missing functions in LightFX DLL");
        return false;
    }
    log_message(category, which == 0 ? "Loaded 64 bit DLL." : "Loaded 32 bit DLL.");

    const u32 started = _library.initialize();
    if (started == platform::lightfx_no_devices) {
        log_message(category, "No LightFX devices connected");
        fail(true);
        return false;
    }
    if (started != platform::lightfx_success) {
        log_message(category, "LightFX failed to initialize");
        fail(false);
        return false;
    }

    u32 devices = 0;
    _library.get_num_devices(&devices);
    log_message(category, "Found %u LightFX devices", devices);
    for (u32 d = 0; d < devices; ++d) {
        char text[256] = {};
        u8 type = 0;
        if (_library.get_device_description(d, text, sizeof text, &type) == platform::lightfx_success) {
            text[sizeof text - 1] = 0; // the library's text is not trusted to end
            log_message(category, "Device: %s of type %s", text, device_types[type <= 8 ? type : 0]);
        }
        u32 lights = 0;
        const u32 counted = _library.get_num_lights(d, &lights);
        if (counted != 0 && counted != 4)
            continue;
        for (u32 l = 0; l < lights; ++l) {
            char light_text[256] = {};
            platform::LightFxPosition p{};
            if (_library.get_light_description(d, l, light_text, sizeof light_text) != platform::lightfx_success ||
                _library.get_light_location(d, l, &p) != platform::lightfx_success)
                break;
            light_text[sizeof light_text - 1] = 0;
            log_message(category, "Light: %s at (%f, %f, %f)", light_text, p.x * 0.01, p.y * 0.01, p.z * 0.01);
        }
    }

    for (u32 i = 0; i < 27; ++i) {
        _targets[i].fade_left = 0.0f;
        _currents[i] = {};
    }
    if (_library.reset() != platform::lightfx_success) {
        log_message(category, "LightFX failed to reset devices");
        fail(true);
        return false;
    }
    return true;
}

void LightFxDevice::set_color_in_cube(u32 mask, f32 r, f32 g, f32 b, f32 a, f32 fade_seconds)
{
    const f32 color[4] = {r, g, b, a};
    for (u32 i = 0; i < 27; ++i) {
        if (!(mask >> i & 1u))
            continue;
        if (fade_seconds > 0.0f) {
            for (u32 c = 0; c < 4; ++c) _targets[i].color[c] = color[c];
            _targets[i].fade_left = fade_seconds;
        } else {
            // Also taken when the fade time is NaN: at once rather than a fade that never ends.
            for (u32 c = 0; c < 4; ++c) _currents[i].color[c] = color[c];
            _currents[i].dirty = true;
            _targets[i].fade_left = 0.0f;
        }
    }
}

void LightFxDevice::update(f32 dt)
{
    if (!_available)
        return;
    for (u32 i = 0; i < 27; ++i) {
        Target &t = _targets[i];
        if (!(t.fade_left > 0.0f))
            continue;
        Current &c = _currents[i];
        if (dt > t.fade_left) {
            for (u32 k = 0; k < 4; ++k) c.color[k] = t.color[k];
            t.fade_left = 0.0f;
        } else {
            const f32 f = dt / t.fade_left;
            for (u32 k = 0; k < 4; ++k) c.color[k] = t.color[k] * f + c.color[k] * (1.0f - f);
            t.fade_left -= dt;
        }
        c.dirty = true;
    }
    bool sent = false;
    for (u32 i = 0; i < 27; ++i) {
        Current &c = _currents[i];
        if (!c.dirty)
            continue;
        _library.light(1u << i, lightfx_pack_color(c.color[0], c.color[1], c.color[2], c.color[3]));
        c.dirty = false;
        sent = true;
    }
    if (sent)
        _library.update();
}

void LightFxDevice::shutdown()
{
    if (instance == this)
        instance = nullptr;
    if (_available) {
        _library.release();
        platform::free_lightfx_library(_library);
        _available = false;
    }
}

} // namespace tallow

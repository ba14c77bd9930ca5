// A stand-in for the lighting library, built as a shared object for the lighting tests. It
// records every call in order; the test scripts its results through the fake_lightfx_* exports.
// Built twice: complete, and without "LFX_Light" (FAKE_LIGHTFX_INCOMPLETE).
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Fake {
    uint32_t initialize_result = 0;
    uint32_t reset_result = 0;
    uint32_t devices = 1;
    std::vector<std::string> calls;
};
Fake fake;

void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void note(const char *format, ...)
{
    char text[128];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fake.calls.push_back(text);
}

} // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

struct Position {
    uint8_t x, y, z;
};

EXPORT uint32_t LFX_Initialize() { return note("Initialize"), fake.initialize_result; }
EXPORT uint32_t LFX_Release() { return note("Release"), 0; }
EXPORT uint32_t LFX_Reset() { return note("Reset"), fake.reset_result; }
EXPORT uint32_t LFX_Update() { return note("Update"), 0; }
EXPORT uint32_t LFX_GetNumDevices(uint32_t *out) { return note("GetNumDevices"), *out = fake.devices, 0; }
EXPORT uint32_t LFX_GetDeviceDescription(uint32_t device, char *text, uint32_t size, uint8_t *type)
{
    note("GetDeviceDescription %u", device);
    // Fills the whole buffer without a terminator: the caller must not trust it.
    memset(text, 'k', size);
    *type = 200;
    return 0;
}
EXPORT uint32_t LFX_GetNumLights(uint32_t device, uint32_t *out) { return note("GetNumLights %u", device), *out = 2, 0; }
EXPORT uint32_t LFX_SetLightColor(uint32_t, uint32_t, const void *) { return note("SetLightColor"), 0; }
EXPORT uint32_t LFX_GetLightColor(uint32_t, uint32_t, void *) { return note("GetLightColor"), 0; }
EXPORT uint32_t LFX_GetLightDescription(uint32_t device, uint32_t light, char *text, uint32_t size)
{
    note("GetLightDescription %u %u", device, light);
    snprintf(text, size, "light %u", light);
    return light == 0 ? 0 : 1; // the second light fails: the loop stops there
}
EXPORT uint32_t LFX_GetLightLocation(uint32_t device, uint32_t light, Position *out)
{
    note("GetLightLocation %u %u", device, light);
    *out = {50, 100, 0};
    return 0;
}
#ifndef FAKE_LIGHTFX_INCOMPLETE
EXPORT uint32_t LFX_Light(uint32_t mask, uint32_t color) { return note("Light %08x %08x", mask, color), 0; }
#endif

EXPORT void fake_lightfx_script(uint32_t initialize_result, uint32_t reset_result)
{
    fake = Fake{};
    fake.initialize_result = initialize_result;
    fake.reset_result = reset_result;
}
EXPORT uint32_t fake_lightfx_call_count() { return uint32_t(fake.calls.size()); }
EXPORT const char *fake_lightfx_call(uint32_t i) { return i < fake.calls.size() ? fake.calls[i].c_str() : ""; }
EXPORT void fake_lightfx_clear() { fake.calls.clear(); }

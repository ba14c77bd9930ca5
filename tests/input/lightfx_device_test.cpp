#include "input/lightfx_device.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <string>
#include <vector>

namespace tallow::test {
namespace {

/// The fake lighting library's controls, reached through the same loaded copy the device uses.
class FakeLightFx {
  public:
    FakeLightFx() : _library(dlopen(FAKE_LIGHTFX_PATH, RTLD_NOW | RTLD_LOCAL))
    {
        EXPECT_NE(_library, nullptr) << dlerror();
        _script = reinterpret_cast<void (*)(u32, u32)>(dlsym(_library, "fake_lightfx_script"));
        _count = reinterpret_cast<u32 (*)()>(dlsym(_library, "fake_lightfx_call_count"));
        _call = reinterpret_cast<const char *(*)(u32)>(dlsym(_library, "fake_lightfx_call"));
        _clear = reinterpret_cast<void (*)()>(dlsym(_library, "fake_lightfx_clear"));
        script(0, 0);
    }
    ~FakeLightFx() { dlclose(_library); }
    void script(u32 initialize_result, u32 reset_result) { _script(initialize_result, reset_result); }
    std::vector<std::string> calls()
    {
        std::vector<std::string> out;
        for (u32 i = 0; i < _count(); ++i) out.push_back(_call(i));
        return out;
    }
    void clear() { _clear(); }

  private:
    void *_library;
    void (*_script)(u32, u32);
    u32 (*_count)();
    const char *(*_call)(u32);
    void (*_clear)();
};

const char *const fake_names[] = {"/nonexistent/liblightfx_64.so", FAKE_LIGHTFX_PATH};

TEST(LightFx, StartsInOrderOrFailsCleanly)
{
    FakeLightFx fake;
    struct Case {
        const char *name;
        const char *library;
        u32 initialize_result, reset_result;
        bool available;
        std::vector<std::string> calls;
        const char *logged;
    };
    const std::vector<std::string> enumeration = {
        "Initialize",          "GetNumDevices",      "GetDeviceDescription 0", "GetNumLights 0",
        "GetLightDescription 0 0", "GetLightLocation 0 0", "GetLightDescription 0 1",
    };
    auto with = [&](std::vector<std::string> tail) {
        std::vector<std::string> all = enumeration;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    const Case cases[] = {
        {"started", FAKE_LIGHTFX_PATH, 0, 0, true, with({"Reset"}), "Loaded 32 bit DLL."},
        {"no library", "/nonexistent/liblightfx_32.so", 0, 0, false, {}, nullptr},
        {"an entry missing", FAKE_LIGHTFX_INCOMPLETE_PATH, 0, 0, false, {}, "Missing functions in LightFX DLL"},
        {"no devices", FAKE_LIGHTFX_PATH, 3, 0, false, {"Initialize", "Release"}, "No LightFX devices connected"},
        {"initialise fails", FAKE_LIGHTFX_PATH, 7, 0, false, {"Initialize"}, "LightFX failed to initialize"},
        {"reset fails", FAKE_LIGHTFX_PATH, 0, 1, false, with({"Reset", "Release"}), "LightFX failed to reset devices"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake.script(c.initialize_result, c.reset_result);
        LogCapture log("LightFX");
        const char *names[] = {fake_names[0], c.library};
        LightFxDevice device(names, 2);
        EXPECT_EQ(device.is_available(), c.available);
        EXPECT_EQ(LightFxDevice::instance, &device);
        EXPECT_EQ(fake.calls(), c.calls);
        if (c.logged) {
            EXPECT_TRUE(log.contains(c.logged));
        }
        if (c.available) {
            // The device text arrives unterminated and the type out of range: both held.
            EXPECT_TRUE(log.contains("of type unknown"));
            EXPECT_TRUE(log.contains("Light: light 0 at (0.500000, 1.000000, 0.000000)"));
        }
        // Harmless without a library; the shutdown releases a started one.
        device.set_color_in_cube(lightfx_all_locations, 1, 1, 1, 1, 0);
        fake.clear();
        device.update(0.016f);
        device.shutdown();
        EXPECT_EQ(LightFxDevice::instance, nullptr);
        if (c.available) {
            EXPECT_EQ(fake.calls().back(), "Release");
        } else {
            EXPECT_TRUE(fake.calls().empty());
        }
        EXPECT_EQ(device.current_color(5)[0], 1.0f) << "colours are stored all the same";
    }
}

TEST(LightFx, SendsChangedLocationsOnceWithOneUpdate)
{
    FakeLightFx fake;
    LightFxDevice device(fake_names, 2);
    ASSERT_TRUE(device.is_available());
    fake.clear();
    device.set_color_in_cube(lightfx_all_locations, 1, 0, 0, 1, 0);
    device.update(0.016f);
    std::vector<std::string> expected;
    for (u32 i = 0; i < 27; ++i) {
        char line[64];
        snprintf(line, sizeof line, "Light %08x ffff0000", 1u << i);
        expected.push_back(line);
    }
    expected.push_back("Update");
    EXPECT_EQ(fake.calls(), expected);
    fake.clear();
    device.update(0.016f);
    EXPECT_TRUE(fake.calls().empty()) << "nothing changed: nothing sent";

    device.set_color_in_cube(1u << 4 | 1u << 20, 0, 0, 1, 0.5f, 0);
    device.update(0.016f);
    EXPECT_EQ(fake.calls(), (std::vector<std::string>{"Light 00000010 800000ff", "Light 00100000 800000ff", "Update"}));
}

TEST(LightFx, FadesEndExactlyOnTheTarget)
{
    FakeLightFx fake;
    LightFxDevice device(fake_names, 2);
    device.set_color_in_cube(1, 0, 0, 0, 0, 0);
    device.set_color_in_cube(1, 1.0f, 0.5f, 0, 1, 1.0f);
    // A quarter of the way, then a third of the rest, then half of it, then the target.
    const f32 reds[] = {0.25f, 0.5f, 0.75f, 1.0f};
    for (f32 red : reds) {
        device.update(0.25f);
        EXPECT_NEAR(device.current_color(0)[0], red, 1e-6f);
    }
    EXPECT_EQ(device.current_color(0)[0], 1.0f);
    EXPECT_EQ(device.current_color(0)[1], 0.5f);
    // A step longer than the fade left jumps to the target.
    device.set_color_in_cube(1, 0, 0, 0, 0, 0.1f);
    device.update(0.5f);
    EXPECT_EQ(device.current_color(0)[0], 0.0f);
}

TEST(LightFx, PackingAndScriptMasks)
{
    struct Pack {
        f32 r, g, b, a;
        u32 packed;
    };
    const Pack packs[] = {
        {1, 0, 0, 1, 0xFFFF0000}, {0.5f, 0, 0, 0, 0x00800000}, {2.0f, -1.0f, 1.0f, 1.5f, 0xFFFF00FF},
        {NAN, 0, NAN, NAN, 0x00000000}, // a NaN component is sent as 0
    };
    for (const Pack &p : packs)
        EXPECT_EQ(lightfx_pack_color(p.r, p.g, p.b, p.a), p.packed) << std::hex << p.packed;
    const struct {
        u32 entry, bit;
    } masks[] = {{1, 6}, {3, 8}, {7, 0}, {9, 2}, {10, 15}, {27, 20}};
    for (const auto &m : masks)
        EXPECT_EQ(lightfx_mask_of_entry(m.entry), 1u << m.bit) << m.entry;
    EXPECT_EQ(lightfx_mask_of_entry(0), 0u);
    EXPECT_EQ(lightfx_mask_of_entry(28), 0u);
}

} // namespace
} // namespace tallow::test

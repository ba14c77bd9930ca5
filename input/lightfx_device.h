#pragma once
// The lighting devices: a colour for each of the 27 locations of the location cube
// (3 x 3 x 3; slot i is location bit 1 << i), fades towards target colours, and the changed
// locations sent to the lighting library once per frame. Without the library or devices
// the object stays inert and every call is harmless.
//
//   LightFxDevice lights;                         // tries the library names in turn
//   lights.set_color_in_cube(lightfx_all_locations, 1, 0, 0, 1, 0.5f);
//   lights.update(raw_dt);                       // each frame: fade, send, one library update
//
// One instance exists for the run (`LightFxDevice::instance`). Log category "LightFX".
// Main thread only.

#include "input/lightfx_service.h"
#include "platform/input/lightfx_library.h"

namespace tallow {

/// The library names tried in turn by default.
constexpr const char *lightfx_library_names[2] = {"liblightfx_64.so", "liblightfx_32.so"};

/// A colour as the devices take it: brightness, red, green, blue bytes from the top down,
/// each component clamped to [0, 1] (NaN as 0), x 255 + 0.5, truncated.
u32 lightfx_pack_color(f32 r, f32 g, f32 b, f32 a);

/// The location mask of a script's table of up to 27 flags (flags[t - 1] for entry t):
/// entry t sets bit 9 L + 3 (2 - R) + Q with L = (t-1) / 9, R = (t-1) % 9 / 3, Q = (t-1) % 3.
u32 lightfx_mask_of_entry(u32 entry);

class LightFxDevice final : public ILightFxService {
  public:
    /// Loads the first of `library_names` that exists (null: none tried) and starts it.
    explicit LightFxDevice(const char *const *library_names = lightfx_library_names, u32 name_count = 2);
    /// Calls shutdown.
    ~LightFxDevice() override;

    void update(f32 raw_dt_seconds) override; // See ILightFxService
    void set_color_in_cube(u32 location_mask, f32 r, f32 g, f32 b, f32 a, f32 fade_seconds) override;

    /// Releases the library; later updates send nothing. Clears the instance.
    void shutdown();
    bool is_available() const { return _available; }

    /// The current colour of slot i (0..26): r, g, b, a.
    const f32 *current_color(u32 slot) const { return _currents[slot].color; }

    static LightFxDevice *instance;

  private:
    bool init(const char *const *library_names, u32 name_count);
    void fail(bool release);

    struct Target {
        f32 color[4];
        f32 fade_left; // seconds
    };
    struct Current {
        f32 color[4];
        bool dirty;
    };
    bool _available = false;
    platform::LightFxLibrary _library;
    Target _targets[27] = {};
    Current _currents[27] = {};
};

} // namespace tallow

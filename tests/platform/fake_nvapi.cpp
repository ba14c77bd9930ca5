// A stand-in for the driver's interface library, built as a shared object for the stereo
// tests. The test drives it through the fake_nvapi_* exports; the loader under test only
// sees "nvapi_QueryInterface" (absent when built with FAKE_NVAPI_NO_QUERY).
#include <cstdint>
#include <cstring>

namespace {

struct Fake {
    bool has_initialize = true;
    int32_t initialize_status = 0;
    bool known[8] = {true, true, true, true, true, true, true, true};
    uint32_t queries[8] = {};
    uint8_t enabled = 1;
    uint8_t activated = 1;
    float separation = 0;
    float convergence = 0;
    float eye_separation = 0;
    int32_t status = 0;           // returned by every stereo entry
    uintptr_t next_handle = 0x1234;
    uintptr_t last_handle = 0;    // handle last passed to an entry
    void *last_device = nullptr;
};
Fake fake;

constexpr uint32_t ids[8] = {0x0150E828, 0x348FF8E1, 0xAC7E37F4, 0x3A153134,
                             0x1FB0BC30, 0x451F2134, 0x4AB00934, 0xCE653127};

int32_t initialize() { return fake.initialize_status; }
int32_t is_enabled(uint8_t *out) { return *out = fake.enabled, fake.status; }
int32_t create_handle(void *device, uintptr_t *out)
{
    fake.last_device = device;
    *out = fake.next_handle;
    return fake.status;
}
int32_t destroy_handle(uintptr_t handle) { return fake.last_handle = handle, fake.status; }
int32_t is_activated(uintptr_t handle, uint8_t *out) { return fake.last_handle = handle, *out = fake.activated, fake.status; }
int32_t get_separation(uintptr_t handle, float *out) { return fake.last_handle = handle, *out = fake.separation, fake.status; }
int32_t get_convergence(uintptr_t handle, float *out) { return fake.last_handle = handle, *out = fake.convergence, fake.status; }
int32_t get_eye_separation(uintptr_t handle, float *out)
{
    return fake.last_handle = handle, *out = fake.eye_separation, fake.status;
}

void *const functions[8] = {(void *)&initialize,   (void *)&is_enabled,     (void *)&create_handle,
                            (void *)&destroy_handle, (void *)&is_activated, (void *)&get_separation,
                            (void *)&get_convergence, (void *)&get_eye_separation};

} // namespace

extern "C" {

#ifndef FAKE_NVAPI_NO_QUERY
__attribute__((visibility("default"))) void *nvapi_QueryInterface(uint32_t id)
{
    for (int i = 0; i < 8; ++i) {
        if (ids[i] != id) continue;
        ++fake.queries[i];
        if (i == 0 && !fake.has_initialize) return nullptr;
        return fake.known[i] ? functions[i] : nullptr;
    }
    return nullptr;
}
#endif

/// Restores the defaults: everything known, initialise succeeds, status 0.
__attribute__((visibility("default"))) void fake_nvapi_reset() { fake = Fake{}; }
__attribute__((visibility("default"))) void fake_nvapi_set_initialize(bool present, int32_t status)
{
    fake.has_initialize = present;
    fake.initialize_status = status;
}
/// Entry `index` 1-7 in the order of the id table; unknown ones resolve to null.
__attribute__((visibility("default"))) void fake_nvapi_set_known(int index, bool known) { fake.known[index] = known; }
__attribute__((visibility("default"))) void fake_nvapi_set_values(int32_t status, uint8_t enabled, uint8_t activated,
                                                                  float separation, float convergence,
                                                                  float eye_separation, uintptr_t next_handle)
{
    fake.status = status;
    fake.enabled = enabled;
    fake.activated = activated;
    fake.separation = separation;
    fake.convergence = convergence;
    fake.eye_separation = eye_separation;
    fake.next_handle = next_handle;
}
__attribute__((visibility("default"))) uint32_t fake_nvapi_queries(int index) { return fake.queries[index]; }
__attribute__((visibility("default"))) uintptr_t fake_nvapi_last_handle() { return fake.last_handle; }
__attribute__((visibility("default"))) void *fake_nvapi_last_device() { return fake.last_device; }
}

// Stereo access against fake driver libraries: every status path of the loader and the
// forwarding entries.
#include "render/d3d11/nv_stereo.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>

using namespace tallow;
using namespace tallow::render::d3d11;

namespace {

/// Opens the fake for its control exports; the loader's own handle is separate.
class FakeNvapi {
public:
    FakeNvapi() : _library(dlopen(FAKE_NVAPI_PATH, RTLD_NOW | RTLD_LOCAL))
    {
        if (_library) call<void (*)()>("fake_nvapi_reset")();
    }
    ~FakeNvapi()
    {
        if (_library) dlclose(_library);
    }
    template <class F> F call(const char *name) { return reinterpret_cast<F>(dlsym(_library, name)); }
    bool is_open() const { return _library != nullptr; }

private:
    void *_library;
};

class StereoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nvapi_shutdown();
        ASSERT_TRUE(fake.is_open()) << dlerror();
    }
    void TearDown() override
    {
        nvapi_shutdown();
        nvapi_set_library_name("nvapi.dll");
    }
    FakeNvapi fake;
};

TEST_F(StereoTest, NoLibraryMeansNoStereoAndNoFurtherLoads)
{
    nvapi_set_library_name("libtallow_no_such_driver_library.so");
    EXPECT_EQ(nvapi_initialize(), nvapi_library_not_found);
    EXPECT_EQ(nvapi_load_attempts(), 1u);
    u8 enabled = 7;
    StereoHandle handle = 0;
    f32 value = 0;
    EXPECT_EQ(NvAPI_Stereo_IsEnabled(&enabled), nvapi_not_available);
    EXPECT_EQ(NvAPI_Stereo_CreateHandleFromIUnknown(nullptr, &handle), nvapi_not_available);
    EXPECT_EQ(NvAPI_Stereo_GetSeparation(handle, &value), nvapi_not_available);
    EXPECT_EQ(NvAPI_Stereo_DestroyHandle(handle), nvapi_not_available);
    EXPECT_EQ(enabled, 7) << "outputs untouched";
    EXPECT_EQ(nvapi_load_attempts(), 1u) << "the entries never load the library";
    EXPECT_FALSE(nvapi_is_loaded());
}

TEST_F(StereoTest, StartupFailuresUnloadTheLibrary)
{
    struct Case {
        const char *name;
        const char *library;
        bool has_initialize;
        i32 initialize_status;
        i32 expected;
    };
    const Case cases[] = {
        {"no query export", FAKE_NVAPI_NO_QUERY_PATH, true, 0, nvapi_error},
        {"no initialise entry", FAKE_NVAPI_PATH, false, 0, nvapi_error},
        {"initialise fails", FAKE_NVAPI_PATH, true, -5, nvapi_error},
        {"initialise succeeds", FAKE_NVAPI_PATH, true, 0, nvapi_ok},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        nvapi_shutdown();
        fake.call<void (*)()>("fake_nvapi_reset")();
        fake.call<void (*)(bool, int32_t)>("fake_nvapi_set_initialize")(c.has_initialize, c.initialize_status);
        nvapi_set_library_name(c.library);
        EXPECT_EQ(nvapi_initialize(), c.expected);
        EXPECT_EQ(nvapi_is_loaded(), c.expected == nvapi_ok);
        u8 enabled = 0;
        EXPECT_EQ(NvAPI_Stereo_IsEnabled(&enabled), c.expected == nvapi_ok ? nvapi_ok : nvapi_not_available);
        // A failed start-up can be retried: the library is loaded again, not reused freed.
        if (c.expected != nvapi_ok) {
            EXPECT_EQ(nvapi_initialize(), c.expected);
            EXPECT_EQ(nvapi_load_attempts(), 2u);
        }
    }
}

TEST_F(StereoTest, KnownEntriesPassArgumentsAndStatusThrough)
{
    fake.call<void (*)(int32_t, uint8_t, uint8_t, float, float, float, uintptr_t)>("fake_nvapi_set_values")(
        0, 1, 1, 42.5f, 3.0f, 0.065f, uintptr_t(0xFEEDF00DCAFEull));
    nvapi_set_library_name(FAKE_NVAPI_PATH);
    ASSERT_EQ(nvapi_initialize(), nvapi_ok);

    int device_stand_in = 0;
    StereoHandle handle = 0;
    ASSERT_EQ(NvAPI_Stereo_CreateHandleFromIUnknown(reinterpret_cast<IUnknown *>(&device_stand_in), &handle), nvapi_ok);
    EXPECT_EQ(handle, StereoHandle(0xFEEDF00DCAFEull)) << "handles keep all 64 bits";
    EXPECT_EQ(fake.call<void *(*)()>("fake_nvapi_last_device")(), &device_stand_in);
    u8 activated = 0;
    f32 separation = 0, convergence = 0, eye = 0;
    EXPECT_EQ(NvAPI_Stereo_IsActivated(handle, &activated), nvapi_ok);
    EXPECT_EQ(activated, 1);
    EXPECT_EQ(NvAPI_Stereo_GetSeparation(handle, &separation), nvapi_ok);
    EXPECT_EQ(separation, 42.5f);
    EXPECT_EQ(NvAPI_Stereo_GetConvergence(handle, &convergence), nvapi_ok);
    EXPECT_EQ(convergence, 3.0f);
    EXPECT_EQ(NvAPI_Stereo_GetEyeSeparation(handle, &eye), nvapi_ok);
    EXPECT_EQ(eye, 0.065f);
    EXPECT_EQ(fake.call<uintptr_t (*)()>("fake_nvapi_last_handle")(), handle);

    // The library's own failure status comes back unchanged.
    fake.call<void (*)(int32_t, uint8_t, uint8_t, float, float, float, uintptr_t)>("fake_nvapi_set_values")(
        -140, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(NvAPI_Stereo_DestroyHandle(handle), -140);
    EXPECT_EQ(fake.call<uint32_t (*)(int)>("fake_nvapi_queries")(4), 1u) << "resolved once";
}

TEST_F(StereoTest, UnknownEntryIsNotAvailableAndAskedOnce)
{
    fake.call<void (*)(int, bool)>("fake_nvapi_set_known")(5, false); // GetSeparation
    nvapi_set_library_name(FAKE_NVAPI_PATH);
    ASSERT_EQ(nvapi_initialize(), nvapi_ok);
    f32 separation = -1;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(NvAPI_Stereo_GetSeparation(1, &separation), nvapi_not_available);
    EXPECT_EQ(separation, -1.0f);
    EXPECT_EQ(fake.call<uint32_t (*)(int)>("fake_nvapi_queries")(5), 1u);
    f32 convergence = 0;
    EXPECT_EQ(NvAPI_Stereo_GetConvergence(1, &convergence), nvapi_ok) << "other entries still work";
}

} // namespace

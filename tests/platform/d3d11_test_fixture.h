#pragma once
// A headless device and immediate context per test, with the layer's state reset first.

#include "platform/d3d11/d3d11_headless.h"

#include <gtest/gtest.h>

namespace tallow::d3d11 {

class HeadlessDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        headless_reset();
        const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
        ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2, D3D11_SDK_VERSION,
                                    &device, &level, &context),
                  S_OK);
    }
    void TearDown() override
    {
        if (context) context->Release();
        if (device) device->Release();
    }

    /// Diagnostics of one rule since the last reset.
    static size_t count_of(Rule rule)
    {
        size_t n = 0;
        for (const Diagnostic &d : headless_diagnostics()) n += d.rule == rule;
        return n;
    }

    ID3D11Buffer *make_buffer(u32 size, D3D11_USAGE usage, u32 bind, const void *data = nullptr)
    {
        D3D11_BUFFER_DESC desc{size, usage, bind, usage == D3D11_USAGE_DYNAMIC ? (u32)D3D11_CPU_ACCESS_WRITE : 0u, 0, 0};
        D3D11_SUBRESOURCE_DATA init{data, 0, 0};
        ID3D11Buffer *buffer = nullptr;
        EXPECT_EQ(device->CreateBuffer(&desc, data ? &init : nullptr, &buffer), S_OK);
        return buffer;
    }

    ID3D11Texture2D *make_texture(u32 width, u32 height, DXGI_FORMAT format, u32 bind, u32 mips = 1, u32 slices = 1)
    {
        D3D11_TEXTURE2D_DESC desc{width, height, mips, slices, format, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
        ID3D11Texture2D *texture = nullptr;
        EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &texture), S_OK);
        return texture;
    }

    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_9_1;
};

} // namespace tallow::d3d11

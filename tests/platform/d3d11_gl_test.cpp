// The OpenGL backend against golden images, and the same call sequences on both backends.
// Every test skips with the reason when this machine cannot make an OpenGL 4.5 context.
#include "platform/d3d11/d3d11_backend.h"
#include "platform/d3d11/d3d11_headless.h"
#include "tests/support/image/golden_image.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

namespace tallow::d3d11 {
namespace {

constexpr u32 size = 64;

const char *const quad_vs = R"(#version 450 core
layout(location = 0) in vec2 position;
layout(location = 1) in vec2 uv;
out vec2 v_uv;
void main() { v_uv = uv; gl_Position = vec4(position, 0.0, 1.0); }
)";

const char *const textured_ps = R"(#version 450 core
uniform sampler2D image;
in vec2 v_uv;
out vec4 color;
void main() { color = texture(image, v_uv); }
)";

// A constant-buffer driven mesh: offset, depth and colour per draw.
const char *const mesh_vs = R"(#version 450 core
layout(std140) uniform Object { vec4 offset_depth; vec4 tint; };
layout(location = 0) in vec2 position;
void main() { gl_Position = vec4(position + offset_depth.xy, offset_depth.z, 1.0); }
)";

const char *const mesh_ps = R"(#version 450 core
layout(std140) uniform Object { vec4 offset_depth; vec4 tint; };
out vec4 color;
void main() { color = tint; }
)";

const char *const instanced_vs = R"(#version 450 core
layout(location = 0) in vec2 position;
layout(location = 1) in vec4 instance; // xy offset, z scale, w shade
out float v_shade;
void main() { v_shade = instance.w; gl_Position = vec4(position * instance.z + instance.xy, 0.5, 1.0); }
)";

const char *const instanced_ps = R"(#version 450 core
in float v_shade;
out vec4 color;
void main() { color = vec4(v_shade, 1.0 - v_shade, 0.25, 1.0); }
)";

const char *const compute_cs = R"(#version 450 core
layout(local_size_x = 8, local_size_y = 8) in;
layout(std430, binding = 0) buffer Pixels { uint pixels[]; };
void main() {
    uvec2 p = gl_GlobalInvocationID.xy;
    uint r = p.x * 8u, g = p.y * 8u, b = ((p.x / 8u + p.y / 8u) % 2u) * 255u;
    pixels[p.y * 32u + p.x] = r | (g << 8) | (b << 16) | (255u << 24);
}
)";

// Structured buffers read as storage blocks 8 + slot: the pixel stage colours the quad's
// quarters from a palette, the compute stage copies a palette into an unordered-access view.
const char *const palette_ps = R"(#version 450 core
layout(std430, binding = 8) readonly buffer Palette { uint colours[]; };
in vec2 v_uv;
out vec4 color;
void main() { color = unpackUnorm4x8(colours[uint(v_uv.x >= 0.5) + 2u * uint(v_uv.y >= 0.5)]); }
)";

const char *const palette_copy_cs = R"(#version 450 core
layout(local_size_x = 4) in;
layout(std430, binding = 8) readonly buffer Palette { uint colours[]; };
layout(std430, binding = 0) buffer Copy { uint copied[]; };
void main() { copied[gl_GlobalInvocationID.x] = colours[gl_GlobalInvocationID.x]; }
)";

class GlDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string reason;
        if (!gl_available(&reason)) GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;
        set_backend(Backend::gl);
        const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
        ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 1, D3D11_SDK_VERSION, &device,
                                    nullptr, &context),
                  S_OK);
        target = make_texture(size, size, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
        ASSERT_EQ(device->CreateRenderTargetView(target, nullptr, &target_view), S_OK);
        D3D11_VIEWPORT viewport{0, 0, float(size), float(size), 0, 1};
        context->RSSetViewports(1, &viewport);
        context->OMSetRenderTargets(1, &target_view, nullptr);
    }
    void TearDown() override
    {
        for (IUnknown *object : owned) object->Release();
        if (target_view) target_view->Release();
        if (target) target->Release();
        if (context) context->Release();
        if (device) device->Release();
        set_backend(Backend::headless);
    }

    template <class T> T *own(T *object)
    {
        if (object) owned.push_back(object);
        return object;
    }

    ID3D11Texture2D *make_texture(u32 w, u32 h, DXGI_FORMAT format, u32 bind, const void *data = nullptr, u32 pitch = 0)
    {
        D3D11_TEXTURE2D_DESC desc{w, h, 1, 1, format, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
        D3D11_SUBRESOURCE_DATA init{data, pitch, 0};
        ID3D11Texture2D *texture = nullptr;
        EXPECT_EQ(device->CreateTexture2D(&desc, data ? &init : nullptr, &texture), S_OK);
        return texture;
    }
    ID3D11Buffer *make_buffer(u32 bytes, D3D11_USAGE usage, u32 bind, const void *data = nullptr, u32 cpu = 0, u32 misc = 0,
                              u32 stride = 0)
    {
        D3D11_BUFFER_DESC desc{bytes, usage, bind, cpu, misc, stride};
        D3D11_SUBRESOURCE_DATA init{data, 0, 0};
        ID3D11Buffer *buffer = nullptr;
        EXPECT_EQ(device->CreateBuffer(&desc, data ? &init : nullptr, &buffer), S_OK);
        return own(buffer);
    }
    ID3D11VertexShader *vertex_shader(const char *source)
    {
        ID3D11VertexShader *shader = nullptr;
        EXPECT_EQ(device->CreateVertexShader(source, std::strlen(source), nullptr, &shader), S_OK);
        return own(shader);
    }
    ID3D11PixelShader *pixel_shader(const char *source)
    {
        ID3D11PixelShader *shader = nullptr;
        EXPECT_EQ(device->CreatePixelShader(source, std::strlen(source), nullptr, &shader), S_OK);
        return own(shader);
    }
    ID3D11InputLayout *layout(std::initializer_list<D3D11_INPUT_ELEMENT_DESC> elements)
    {
        ID3D11InputLayout *result = nullptr;
        EXPECT_EQ(device->CreateInputLayout(elements.begin(), UINT(elements.size()), nullptr, 0, &result), S_OK);
        return own(result);
    }

    /// Reads a texture back the way a Direct3D program does: a staging copy and a read map.
    test::RgbaImage read_back(ID3D11DeviceContext *on, ID3D11Texture2D *texture)
    {
        D3D11_TEXTURE2D_DESC desc;
        texture->GetDesc(&desc);
        desc.Usage = D3D11_USAGE_STAGING;
        desc.BindFlags = 0;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        desc.MipLevels = 1;
        ID3D11Texture2D *staging = nullptr;
        EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &staging), S_OK);
        on->CopyResource(staging, texture);
        test::RgbaImage image{desc.Width, desc.Height, {}};
        D3D11_MAPPED_SUBRESOURCE mapped{};
        EXPECT_EQ(on->Map(staging, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
        for (u32 y = 0; y < desc.Height; ++y) {
            const u8 *row = static_cast<const u8 *>(mapped.pData) + y * mapped.RowPitch;
            image.pixels.insert(image.pixels.end(), row, row + desc.Width * 4);
        }
        on->Unmap(staging, 0);
        staging->Release();
        return image;
    }
    test::RgbaImage frame() { return read_back(context, target); }

    static std::array<u8, 4> pixel(const test::RgbaImage &image, u32 x, u32 y)
    {
        const u8 *p = &image.pixels[(y * image.width + x) * 4];
        return {p[0], p[1], p[2], p[3]};
    }

    void clear(float r, float g, float b, float a = 1)
    {
        const float colour[4] = {r, g, b, a};
        context->ClearRenderTargetView(target_view, colour);
    }

    /// A textured quad over the whole target: vertex buffer, layout, shaders, sampler.
    void bind_textured_quad(ID3D11DeviceContext *on, ID3D11ShaderResourceView *view)
    {
        static const float vertices[] = {-1, 1, 0, 0, 1, 1, 1, 0, -1, -1, 0, 1, 1, -1, 1, 1};
        if (!quad) {
            quad = make_buffer(sizeof vertices, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, vertices);
            quad_layout = layout({{"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
                                  {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0}});
            quad_vertex = vertex_shader(quad_vs);
            quad_pixel = pixel_shader(textured_ps);
            D3D11_SAMPLER_DESC s{D3D11_FILTER_MIN_MAG_MIP_POINT, D3D11_TEXTURE_ADDRESS_CLAMP, D3D11_TEXTURE_ADDRESS_CLAMP,
                                 D3D11_TEXTURE_ADDRESS_CLAMP, 0, 1, D3D11_COMPARISON_NEVER, {0, 0, 0, 0}, 0, 1000};
            EXPECT_EQ(device->CreateSamplerState(&s, &point_sampler), S_OK);
            own(point_sampler);
        }
        UINT stride = 16, offset = 0;
        on->IASetVertexBuffers(0, 1, &quad, &stride, &offset);
        on->IASetInputLayout(quad_layout);
        on->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        on->VSSetShader(quad_vertex, nullptr, 0);
        on->PSSetShader(quad_pixel, nullptr, 0);
        on->PSSetShaderResources(0, 1, &view);
        on->PSSetSamplers(0, 1, &point_sampler);
    }

    /// An 8×8 texture: red top-left quarter, green top-right, blue bottom-left, white bottom-right.
    ID3D11ShaderResourceView *quarters_view()
    {
        u8 texels[8 * 8 * 4];
        for (u32 y = 0; y < 8; ++y)
            for (u32 x = 0; x < 8; ++x) {
                u8 *t = &texels[(y * 8 + x) * 4];
                const bool right = x >= 4, bottom = y >= 4;
                t[0] = (!right && !bottom) || (right && bottom) ? 255 : 0;
                t[1] = right ? 255 : 0;
                t[2] = bottom ? 255 : 0;
                t[3] = 255;
            }
        ID3D11Texture2D *texture = own(make_texture(8, 8, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE, texels, 32));
        ID3D11ShaderResourceView *view = nullptr;
        EXPECT_EQ(device->CreateShaderResourceView(texture, nullptr, &view), S_OK);
        return own(view);
    }

    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    ID3D11Texture2D *target = nullptr;
    ID3D11RenderTargetView *target_view = nullptr;
    std::vector<IUnknown *> owned;
    ID3D11Buffer *quad = nullptr;
    ID3D11InputLayout *quad_layout = nullptr;
    ID3D11VertexShader *quad_vertex = nullptr;
    ID3D11PixelShader *quad_pixel = nullptr;
    ID3D11SamplerState *point_sampler = nullptr;
};

#define EXPECT_GOLDEN(name, image) EXPECT_EQ(test::compare_with_golden(TALLOW_GOLDEN_DIR, name, image), "")

TEST_F(GlDeviceTest, ClearFillsTheTargetAndReadsBackThroughStaging)
{
    clear(0.2f, 0.4f, 0.6f, 1.0f);
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, 0, 0), (std::array<u8, 4>{51, 102, 153, 255}));
    EXPECT_EQ(pixel(image, size - 1, size - 1), (std::array<u8, 4>{51, 102, 153, 255}));
    EXPECT_GOLDEN("clear", image);
}

TEST_F(GlDeviceTest, TexturedQuadKeepsRowZeroOnTopAndClockwiseFront)
{
    clear(0, 0, 0);
    bind_textured_quad(context, quarters_view());
    context->Draw(4, 0); // clockwise on screen: the front face, drawn under the default culling
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, 2, 2), (std::array<u8, 4>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(image, size - 3, 2), (std::array<u8, 4>{0, 255, 0, 255}));
    EXPECT_EQ(pixel(image, 2, size - 3), (std::array<u8, 4>{0, 0, 255, 255}));
    EXPECT_GOLDEN("textured_quad", image);
}

TEST_F(GlDeviceTest, ViewportOffsetsFromTheTopLeft)
{
    clear(0, 0, 0);
    bind_textured_quad(context, quarters_view());
    D3D11_VIEWPORT top_left{0, 0, size / 2.0f, size / 2.0f, 0, 1};
    context->RSSetViewports(1, &top_left);
    context->Draw(4, 0);
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, 1, 1), (std::array<u8, 4>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(image, size - 2, size - 2), (std::array<u8, 4>{0, 0, 0, 255}));
}

TEST_F(GlDeviceTest, IndexedMeshWithDepthTestAndPerDrawConstants)
{
    ID3D11Texture2D *depth = own(make_texture(size, size, DXGI_FORMAT_D24_UNORM_S8_UINT, D3D11_BIND_DEPTH_STENCIL));
    ID3D11DepthStencilView *depth_view = nullptr;
    ASSERT_EQ(device->CreateDepthStencilView(depth, nullptr, &depth_view), S_OK);
    own(depth_view);
    context->OMSetRenderTargets(1, &target_view, depth_view);
    clear(0.1f, 0.1f, 0.1f);
    context->ClearDepthStencilView(depth_view, D3D11_CLEAR_DEPTH | D3D11_CLEAR_STENCIL, 1.0f, 0);

    // A quad of four vertices and six 16-bit indices, clockwise.
    const float vertices[] = {-0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -0.5f, -0.5f, -0.5f};
    const u16 indices[] = {0, 1, 2, 0, 2, 3};
    ID3D11Buffer *vb = make_buffer(sizeof vertices, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, vertices);
    ID3D11Buffer *ib = make_buffer(sizeof indices, D3D11_USAGE_IMMUTABLE, D3D11_BIND_INDEX_BUFFER, indices);
    ID3D11Buffer *constants = make_buffer(32, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, nullptr, D3D11_CPU_ACCESS_WRITE);
    UINT stride = 8, offset = 0;
    context->IASetVertexBuffers(0, 1, &vb, &stride, &offset);
    context->IASetIndexBuffer(ib, DXGI_FORMAT_R16_UINT, 0);
    context->IASetInputLayout(layout({{"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0}}));
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context->VSSetShader(vertex_shader(mesh_vs), nullptr, 0);
    context->PSSetShader(pixel_shader(mesh_ps), nullptr, 0);
    context->VSSetConstantBuffers(0, 1, &constants);
    context->PSSetConstantBuffers(0, 1, &constants);

    auto draw = [&](float x, float y, float z, float r, float g, float b) {
        D3D11_MAPPED_SUBRESOURCE mapped;
        ASSERT_EQ(context->Map(constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
        const float values[8] = {x, y, z, 0, r, g, b, 1};
        std::memcpy(mapped.pData, values, sizeof values);
        context->Unmap(constants, 0);
        context->DrawIndexed(6, 0, 0);
    };
    draw(-0.2f, 0.2f, 0.3f, 1, 0, 0);  // near, red
    draw(0.2f, -0.2f, 0.7f, 0, 1, 0);  // far, green: hidden where red covers it
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, size / 2, size / 2), (std::array<u8, 4>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(image, size * 3 / 4, size * 3 / 4 - 2), (std::array<u8, 4>{0, 255, 0, 255}));
    EXPECT_GOLDEN("indexed_depth", image);
}

TEST_F(GlDeviceTest, AlphaBlendingMixesWithTheTarget)
{
    clear(0, 0, 1);
    D3D11_BLEND_DESC blend{};
    blend.RenderTarget[0] = {TRUE, D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD, D3D11_BLEND_ONE,
                             D3D11_BLEND_ZERO, D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
    ID3D11BlendState *state = nullptr;
    ASSERT_EQ(device->CreateBlendState(&blend, &state), S_OK);
    own(state);
    u8 texels[4] = {255, 0, 0, 128};
    ID3D11Texture2D *texture = own(make_texture(1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_SHADER_RESOURCE, texels, 4));
    ID3D11ShaderResourceView *view = nullptr;
    ASSERT_EQ(device->CreateShaderResourceView(texture, nullptr, &view), S_OK);
    own(view);
    bind_textured_quad(context, view);
    context->OMSetBlendState(state, nullptr, D3D11_DEFAULT_SAMPLE_MASK);
    context->Draw(4, 0);
    test::RgbaImage image = frame();
    std::array<u8, 4> p = pixel(image, 10, 10);
    EXPECT_NEAR(p[0], 128, 1);
    EXPECT_EQ(p[1], 0);
    EXPECT_NEAR(p[2], 127, 1);
    EXPECT_GOLDEN("blend", image);
}

TEST_F(GlDeviceTest, RenderToTextureThenSample)
{
    // Pass one: the quarters texture into a 16×16 target. Pass two: that target, sampled.
    ID3D11Texture2D *offscreen = own(make_texture(16, 16, DXGI_FORMAT_R8G8B8A8_UNORM,
                                                  D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE));
    ID3D11RenderTargetView *offscreen_target = nullptr;
    ID3D11ShaderResourceView *offscreen_view = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(offscreen, nullptr, &offscreen_target), S_OK);
    ASSERT_EQ(device->CreateShaderResourceView(offscreen, nullptr, &offscreen_view), S_OK);
    own(offscreen_target);
    own(offscreen_view);
    context->OMSetRenderTargets(1, &offscreen_target, nullptr);
    D3D11_VIEWPORT small{0, 0, 16, 16, 0, 1};
    context->RSSetViewports(1, &small);
    bind_textured_quad(context, quarters_view());
    context->Draw(4, 0);

    ID3D11ShaderResourceView *none = nullptr;
    context->PSSetShaderResources(0, 1, &none);
    context->OMSetRenderTargets(1, &target_view, nullptr);
    D3D11_VIEWPORT full{0, 0, float(size), float(size), 0, 1};
    context->RSSetViewports(1, &full);
    clear(0, 0, 0);
    // Upside-down texture coordinates: the sampled target must come out flipped.
    static const float flipped[] = {-1, 1, 0, 1, 1, 1, 1, 1, -1, -1, 0, 0, 1, -1, 1, 0};
    ID3D11Buffer *vb = make_buffer(sizeof flipped, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, flipped);
    UINT stride = 16, offset = 0;
    context->IASetVertexBuffers(0, 1, &vb, &stride, &offset);
    context->PSSetShaderResources(0, 1, &offscreen_view);
    context->Draw(4, 0);
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, 2, 2), (std::array<u8, 4>{0, 0, 255, 255}));       // blue, from the bottom-left
    EXPECT_EQ(pixel(image, 2, size - 3), (std::array<u8, 4>{255, 0, 0, 255})); // red, from the top-left
    EXPECT_GOLDEN("render_to_texture", image);
}

TEST_F(GlDeviceTest, InstancedDrawTakesPerInstanceDataFromItsSlot)
{
    clear(0, 0, 0);
    const float triangle[] = {0, 0.2f, 0.2f, -0.2f, -0.2f, -0.2f};
    const float instances[] = {-0.5f, 0.5f, 1.0f, 0.0f, 0.5f, 0.5f, 1.5f, 0.33f, -0.5f, -0.5f, 2.0f, 0.66f, 0.5f, -0.5f, 0.5f, 1.0f};
    ID3D11Buffer *buffers[2] = {make_buffer(sizeof triangle, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, triangle),
                                make_buffer(sizeof instances, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, instances)};
    UINT strides[2] = {8, 16}, offsets[2] = {0, 0};
    context->IASetVertexBuffers(0, 2, buffers, strides, offsets);
    context->IASetInputLayout(layout({{"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
                                      {"TEXCOORD", 1, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1}}));
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context->VSSetShader(vertex_shader(instanced_vs), nullptr, 0);
    context->PSSetShader(pixel_shader(instanced_ps), nullptr, 0);
    context->DrawInstanced(3, 3, 0, 1); // instances 1..3: the first entry is skipped
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, size / 4, size / 4), (std::array<u8, 4>{0, 0, 0, 255}));
    EXPECT_NE(pixel(image, size * 3 / 4, size / 4), (std::array<u8, 4>{0, 0, 0, 255}));
    EXPECT_GOLDEN("instanced", image);
}

TEST_F(GlDeviceTest, ComputeDispatchWritesABuffer)
{
    ID3D11Buffer *pixels = make_buffer(32 * 32 * 4, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS);
    ID3D11UnorderedAccessView *uav = nullptr;
    ASSERT_EQ(device->CreateUnorderedAccessView(pixels, nullptr, &uav), S_OK);
    own(uav);
    ID3D11ComputeShader *shader = nullptr;
    ASSERT_EQ(device->CreateComputeShader(compute_cs, std::strlen(compute_cs), nullptr, &shader), S_OK);
    own(shader);
    context->CSSetShader(shader, nullptr, 0);
    context->CSSetUnorderedAccessViews(0, 1, &uav, nullptr);
    context->Dispatch(4, 4, 1);
    ID3D11Buffer *staging = make_buffer(32 * 32 * 4, D3D11_USAGE_STAGING, 0, nullptr, D3D11_CPU_ACCESS_READ);
    context->CopyResource(staging, pixels);
    D3D11_MAPPED_SUBRESOURCE mapped;
    ASSERT_EQ(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
    test::RgbaImage image{32, 32, {}};
    const u8 *bytes = static_cast<const u8 *>(mapped.pData);
    image.pixels.assign(bytes, bytes + 32 * 32 * 4);
    context->Unmap(staging, 0);
    EXPECT_EQ(pixel(image, 3, 5), (std::array<u8, 4>{24, 40, 0, 255}));
    EXPECT_EQ(pixel(image, 9, 1), (std::array<u8, 4>{72, 8, 255, 255}));
    EXPECT_GOLDEN("compute", image);
}

TEST_F(GlDeviceTest, StructuredBuffersReadInThePixelAndComputeStagesKeepTheirOwnViews)
{
    // Both stages read slot 0, each from its own palette: a dispatch between setting the
    // pixel stage's view and the draw must not leave the compute palette in the draw.
    const u32 pixel_palette[4] = {0xff0000ffu, 0xff00ff00u, 0xffff0000u, 0xffffffffu}; // red green blue white
    const u32 compute_palette[4] = {0xff00ffffu, 0xffff00ffu, 0xffffff00u, 0xff000000u};
    auto structured_view = [&](const u32 *colours) {
        ID3D11Buffer *buffer = make_buffer(16, D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE, colours, 0,
                                           D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 4);
        D3D11_SHADER_RESOURCE_VIEW_DESC d{};
        d.Format = DXGI_FORMAT_UNKNOWN;
        d.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
        d.Buffer.FirstElement = 0;
        d.Buffer.NumElements = 4;
        ID3D11ShaderResourceView *view = nullptr;
        EXPECT_EQ(device->CreateShaderResourceView(buffer, &d, &view), S_OK);
        return own(view);
    };
    ID3D11ShaderResourceView *pixel_view = structured_view(pixel_palette);
    ID3D11ShaderResourceView *compute_view = structured_view(compute_palette);
    ID3D11Buffer *copied = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS);
    ID3D11UnorderedAccessView *uav = nullptr;
    ASSERT_EQ(device->CreateUnorderedAccessView(copied, nullptr, &uav), S_OK);
    own(uav);
    ID3D11ComputeShader *copy = nullptr;
    ASSERT_EQ(device->CreateComputeShader(palette_copy_cs, std::strlen(palette_copy_cs), nullptr, &copy), S_OK);
    own(copy);

    clear(0, 0, 0);
    bind_textured_quad(context, nullptr);
    context->PSSetShader(pixel_shader(palette_ps), nullptr, 0);
    context->PSSetShaderResources(0, 1, &pixel_view);
    context->CSSetShader(copy, nullptr, 0);
    context->CSSetShaderResources(0, 1, &compute_view);
    context->CSSetUnorderedAccessViews(0, 1, &uav, nullptr);
    context->Dispatch(1, 1, 1);
    context->Draw(4, 0);

    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, 2, 2), (std::array<u8, 4>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(image, size - 3, 2), (std::array<u8, 4>{0, 255, 0, 255}));
    EXPECT_EQ(pixel(image, 2, size - 3), (std::array<u8, 4>{0, 0, 255, 255}));
    EXPECT_EQ(pixel(image, size - 3, size - 3), (std::array<u8, 4>{255, 255, 255, 255}));
    EXPECT_GOLDEN("structured_pixel", image);

    ID3D11Buffer *staging = make_buffer(16, D3D11_USAGE_STAGING, 0, nullptr, D3D11_CPU_ACCESS_READ);
    context->CopyResource(staging, copied);
    D3D11_MAPPED_SUBRESOURCE mapped;
    ASSERT_EQ(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
    EXPECT_EQ(std::memcmp(mapped.pData, compute_palette, sizeof compute_palette), 0);
    context->Unmap(staging, 0);
}

TEST_F(GlDeviceTest, DeferredListReplaysOnTheImmediateContext)
{
    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    own(deferred);
    ID3D11ShaderResourceView *view = quarters_view();
    ID3D11CommandList *list = nullptr;
    std::thread worker([&] {
        const float black[4] = {0, 0, 0, 1};
        deferred->OMSetRenderTargets(1, &target_view, nullptr);
        D3D11_VIEWPORT viewport{0, 0, float(size), float(size), 0, 1};
        deferred->RSSetViewports(1, &viewport);
        deferred->ClearRenderTargetView(target_view, black);
        bind_textured_quad(deferred, view);
        deferred->Draw(4, 0);
        EXPECT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
    });
    worker.join();
    ASSERT_NE(list, nullptr);
    clear(1, 1, 1);
    context->ExecuteCommandList(list, FALSE);
    list->Release();
    EXPECT_GOLDEN("textured_quad", frame());
}

TEST_F(GlDeviceTest, ObjectsMadeOnWorkersDrawOnTheRendererThread)
{
    // Workers create textures, views and shaders through the device while the renderer
    // thread draws; each worker's objects are complete when the renderer first uses them.
    clear(0, 0, 0);
    ID3D11ShaderResourceView *views[2] = {};
    std::thread workers[2];
    for (u32 w = 0; w < 2; ++w)
        workers[w] = std::thread([&, w] {
            std::vector<u8> texels(16 * 16 * 4, 0);
            for (u32 i = 0; i < 16 * 16; ++i) {
                texels[i * 4 + w] = 255;
                texels[i * 4 + 3] = 255;
            }
            D3D11_TEXTURE2D_DESC desc{16, 16, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_IMMUTABLE,
                                      D3D11_BIND_SHADER_RESOURCE, 0, 0};
            D3D11_SUBRESOURCE_DATA init{texels.data(), 64, 0};
            ID3D11Texture2D *texture = nullptr;
            EXPECT_EQ(device->CreateTexture2D(&desc, &init, &texture), S_OK);
            EXPECT_EQ(device->CreateShaderResourceView(texture, nullptr, &views[w]), S_OK);
            texture->Release(); // the view keeps it
        });
    for (std::thread &t : workers) t.join();
    bind_textured_quad(context, views[0]);
    D3D11_VIEWPORT left{0, 0, size / 2.0f, float(size), 0, 1}, right{size / 2.0f, 0, size / 2.0f, float(size), 0, 1};
    context->RSSetViewports(1, &left);
    context->Draw(4, 0);
    context->PSSetShaderResources(0, 1, &views[1]);
    context->RSSetViewports(1, &right);
    context->Draw(4, 0);
    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, 3, size / 2), (std::array<u8, 4>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(image, size - 3, size / 2), (std::array<u8, 4>{0, 255, 0, 255}));
    for (ID3D11ShaderResourceView *v : views) v->Release();
}

TEST_F(GlDeviceTest, StagesShareABlockNameButReadTheirOwnSlots)
{
    // Version 330 stages as the sample's library writes them: one block name in both stages,
    // each stage reading the buffer bound to its own slot 0. A deferred list fills the pixel
    // stage's buffer through Map DISCARD, replayed on the immediate context.
    const char vs[] = "#version 330\nlayout(std140) uniform Constants { vec4 offset; };\n"
                      "layout(location = 0) in vec2 position;\nlayout(location = 1) in vec2 uv;\nout vec2 v_uv;\n"
                      "void main() { v_uv = uv; gl_Position = vec4(position * 0.5 + offset.xy, 0.0, 1.0); }\n";
    const char ps[] = "#version 330\nlayout(std140) uniform Constants { vec4 tint; };\nin vec2 v_uv;\nout vec4 color;\n"
                      "void main() { color = tint; }\n";
    clear(0, 0, 0);
    bind_textured_quad(context, quarters_view());
    context->VSSetShader(vertex_shader(vs), nullptr, 0);
    context->PSSetShader(pixel_shader(ps), nullptr, 0);
    const float offset[4] = {-0.5f, 0.5f, 0, 0};
    ID3D11Buffer *vs_constants = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER, offset);
    ID3D11Buffer *ps_constants = make_buffer(16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, nullptr, D3D11_CPU_ACCESS_WRITE);
    context->VSSetConstantBuffers(0, 1, &vs_constants);
    context->PSSetConstantBuffers(0, 1, &ps_constants);

    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_EQ(device->CreateDeferredContext(0, &deferred), S_OK);
    own(deferred);
    D3D11_MAPPED_SUBRESOURCE mapped;
    ASSERT_EQ(deferred->Map(ps_constants, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), S_OK);
    const float tint[4] = {1, 0.5f, 0, 1};
    std::memcpy(mapped.pData, tint, sizeof tint);
    deferred->Unmap(ps_constants, 0);
    ID3D11CommandList *list = nullptr;
    ASSERT_EQ(deferred->FinishCommandList(FALSE, &list), S_OK);
    context->ExecuteCommandList(list, TRUE); // keeps the immediate context's bindings
    list->Release();
    context->Draw(4, 0);

    test::RgbaImage image = frame();
    EXPECT_EQ(pixel(image, size / 4, size / 4), (std::array<u8, 4>{255, 128, 0, 255}));
    EXPECT_EQ(pixel(image, size * 3 / 4, size * 3 / 4), (std::array<u8, 4>{0, 0, 0, 255}));
}

TEST_F(GlDeviceTest, SwapChainBackBufferReadsBackAndGuardsResize)
{
    IDXGIFactory *factory = nullptr;
    ASSERT_EQ(CreateDXGIFactory(IID_IDXGIFactory, reinterpret_cast<void **>(&factory)), S_OK);
    own(factory);
    NativeWindowRecord window{32, 16, nullptr};
    DXGI_SWAP_CHAIN_DESC desc{};
    desc.BufferDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.OutputWindow = &window;
    desc.Windowed = TRUE;
    IDXGISwapChain *chain = nullptr;
    ASSERT_EQ(factory->CreateSwapChain(device, &desc, &chain), S_OK);
    own(chain);
    ID3D11Texture2D *back = nullptr;
    ASSERT_EQ(chain->GetBuffer(0, IID_ID3D11Texture2D, reinterpret_cast<void **>(&back)), S_OK);
    D3D11_TEXTURE2D_DESC back_desc;
    back->GetDesc(&back_desc);
    EXPECT_EQ(back_desc.Width, 32u); // the window's client size
    EXPECT_EQ(back_desc.Height, 16u);
    ID3D11RenderTargetView *view = nullptr;
    ASSERT_EQ(device->CreateRenderTargetView(back, nullptr, &view), S_OK);
    const float colour[4] = {1, 0.5f, 0, 1};
    context->ClearRenderTargetView(view, colour);
    EXPECT_EQ(chain->Present(0, 0), S_OK);
    // The bytes keep the back buffer's own format: blue, green, red, alpha.
    EXPECT_EQ(pixel(read_back(context, back), 5, 5), (std::array<u8, 4>{0, 128, 255, 255}));
    EXPECT_EQ(chain->ResizeBuffers(0, 64, 64, DXGI_FORMAT_UNKNOWN, 0), DXGI_ERROR_INVALID_CALL);
    view->Release();
    back->Release();
    EXPECT_EQ(chain->ResizeBuffers(0, 64, 64, DXGI_FORMAT_UNKNOWN, 0), S_OK);
}

TEST_F(GlDeviceTest, ShaderErrorsAreLoggedFailuresNotCrashes)
{
    test::LogCapture log("d3d11");
    const char broken[] = "#version 450 core\nvoid main() { this is not glsl; }\n";
    ID3D11PixelShader *shader = nullptr;
    EXPECT_EQ(device->CreatePixelShader(broken, sizeof broken, nullptr, &shader), E_INVALIDARG);
    EXPECT_EQ(shader, nullptr);
    EXPECT_TRUE(log.contains("pixel shader failed to compile"));
    EXPECT_EQ(device->CreateVertexShader(nullptr, 0, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(GlDeviceTest, MapRulesFollowUsage)
{
    test::LogCapture log("d3d11");
    ID3D11Buffer *plain = make_buffer(16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER);
    D3D11_MAPPED_SUBRESOURCE mapped;
    EXPECT_EQ(context->Map(plain, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped), E_INVALIDARG);
    ID3D11Buffer *write_only = make_buffer(16, D3D11_USAGE_STAGING, 0, nullptr, D3D11_CPU_ACCESS_WRITE);
    EXPECT_EQ(context->Map(write_only, 0, D3D11_MAP_READ, 0, &mapped), E_INVALIDARG);
    EXPECT_TRUE(log.contains("map_not_dynamic"));
}

// ---- The same call sequences on both backends -----------------------------------------

/// Runs `sequence` on a fresh device of `backend` and returns the bytes of the resource it
/// hands back: through a staging copy on GL, the journal's bytes on the headless backend.
std::vector<u8> bytes_after(Backend backend, const std::function<ID3D11Resource *(ID3D11Device *, ID3D11DeviceContext *)> &sequence)
{
    set_backend(backend);
    if (backend == Backend::headless) headless_reset();
    ID3D11Device *device = nullptr;
    ID3D11DeviceContext *context = nullptr;
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                nullptr, &context),
              S_OK);
    std::vector<u8> out;
    ID3D11Resource *resource = sequence(device, context);
    if (backend == Backend::headless) {
        out = headless_resource_bytes(resource);
    } else {
        D3D11_RESOURCE_DIMENSION dimension;
        resource->GetType(&dimension);
        ID3D11Resource *staging = nullptr;
        u32 row = 0, rows = 1;
        if (dimension == D3D11_RESOURCE_DIMENSION_BUFFER) {
            D3D11_BUFFER_DESC desc;
            static_cast<ID3D11Buffer *>(resource)->GetDesc(&desc);
            row = desc.ByteWidth;
            desc = {desc.ByteWidth, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0, 0};
            ID3D11Buffer *b = nullptr;
            EXPECT_EQ(device->CreateBuffer(&desc, nullptr, &b), S_OK);
            staging = b;
        } else {
            D3D11_TEXTURE2D_DESC desc;
            static_cast<ID3D11Texture2D *>(resource)->GetDesc(&desc);
            row = desc.Width * 4;
            rows = desc.Height;
            desc.MipLevels = 1;
            desc.Usage = D3D11_USAGE_STAGING;
            desc.BindFlags = 0;
            desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
            ID3D11Texture2D *t = nullptr;
            EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, &t), S_OK);
            staging = t;
        }
        context->CopySubresourceRegion(staging, 0, 0, 0, 0, resource, 0, nullptr);
        D3D11_MAPPED_SUBRESOURCE mapped;
        EXPECT_EQ(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped), S_OK);
        for (u32 r = 0; r < rows; ++r) {
            const u8 *p = static_cast<const u8 *>(mapped.pData) + r * mapped.RowPitch;
            out.insert(out.end(), p, p + row);
        }
        context->Unmap(staging, 0);
        staging->Release();
    }
    resource->Release();
    context->Release();
    device->Release();
    set_backend(Backend::headless);
    return out;
}

TEST(D3d11BothBackends, SameCallsGiveSameResourceBytes)
{
    std::string reason;
    if (!gl_available(&reason)) GTEST_SKIP() << "no usable EGL / OpenGL 4.5 here: " << reason;

    struct Case {
        const char *name;
        std::function<ID3D11Resource *(ID3D11Device *, ID3D11DeviceContext *)> sequence;
    };
    const Case cases[] = {
        {"buffer: initial data, partial update, region copy",
         [](ID3D11Device *device, ID3D11DeviceContext *context) -> ID3D11Resource * {
             u8 initial[64];
             for (u32 i = 0; i < 64; ++i) initial[i] = u8(i * 3);
             D3D11_BUFFER_DESC desc{64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
             D3D11_SUBRESOURCE_DATA init{initial, 0, 0};
             ID3D11Buffer *a = nullptr, *b = nullptr;
             device->CreateBuffer(&desc, &init, &a);
             device->CreateBuffer(&desc, nullptr, &b);
             const u8 patch[8] = {9, 8, 7, 6, 5, 4, 3, 2};
             D3D11_BOX box{4, 0, 0, 12, 1, 1};
             context->UpdateSubresource(a, 0, &box, patch, 0, 0);
             D3D11_BOX region{2, 0, 0, 30, 1, 1};
             context->CopySubresourceRegion(b, 0, 10, 0, 0, a, 0, &region);
             a->Release();
             return b;
         }},
        {"dynamic buffer: discard then no-overwrite",
         [](ID3D11Device *device, ID3D11DeviceContext *context) -> ID3D11Resource * {
             D3D11_BUFFER_DESC desc{32, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
             ID3D11Buffer *b = nullptr;
             device->CreateBuffer(&desc, nullptr, &b);
             D3D11_MAPPED_SUBRESOURCE mapped;
             context->Map(b, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped);
             std::memset(mapped.pData, 0x11, 32);
             context->Unmap(b, 0);
             context->Map(b, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &mapped);
             std::memset(static_cast<u8 *>(mapped.pData) + 16, 0x22, 16);
             context->Unmap(b, 0);
             return b;
         }},
        {"texture: pitched initial data, box update, texture region copy",
         [](ID3D11Device *device, ID3D11DeviceContext *context) -> ID3D11Resource * {
             u8 texels[8 * 40];
             for (u32 i = 0; i < sizeof texels; ++i) texels[i] = u8(i);
             D3D11_TEXTURE2D_DESC desc{8, 8, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                                       D3D11_BIND_SHADER_RESOURCE, 0, 0};
             D3D11_SUBRESOURCE_DATA init{texels, 40, 0};
             ID3D11Texture2D *a = nullptr, *b = nullptr;
             device->CreateTexture2D(&desc, &init, &a);
             device->CreateTexture2D(&desc, nullptr, &b);
             const u32 patch[4] = {0xFF0000FFu, 0xFF00FF00u, 0xFFFF0000u, 0xFFFFFFFFu};
             D3D11_BOX box{1, 1, 0, 3, 3, 1};
             context->UpdateSubresource(a, 0, &box, patch, 8, 0);
             D3D11_BOX region{0, 0, 0, 4, 4, 1};
             context->CopySubresourceRegion(b, 0, 4, 4, 0, a, 0, &region);
             context->CopySubresourceRegion(b, 0, 0, 0, 0, a, 0, &region);
             a->Release();
             return b;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> headless = bytes_after(Backend::headless, c.sequence);
        std::vector<u8> gl = bytes_after(Backend::gl, c.sequence);
        ASSERT_FALSE(headless.empty());
        EXPECT_EQ(gl, headless);
    }
}

TEST(D3d11Backend, NamesRoundTripAndUnknownNamesAreRefused)
{
    for (Backend b : {Backend::headless, Backend::gl, Backend::gl_window}) {
        Backend parsed = Backend::headless;
        EXPECT_TRUE(backend_from_string(to_string(b), parsed));
        EXPECT_EQ(parsed, b);
    }
    Backend untouched = Backend::gl;
    EXPECT_FALSE(backend_from_string("vulkan", untouched));
    EXPECT_FALSE(backend_from_string(nullptr, untouched));
    EXPECT_EQ(untouched, Backend::gl);
}

} // namespace
} // namespace tallow::d3d11

// Constant block layout and the auto variables, each checked against matrices computed
// here, with a cofactor inverse of the test's own for the general inverses.
#include "render/shaders/auto_variables.h"

#include "render/shaders/shader_library_loader.h"
#include "render/shaders/shader_manager.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/recording_render_device.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace tallow {
namespace {

using namespace test;

TEST(ShaderConstantBuffer, LayoutPacksVariablesAndLookupsAnswerNotFound)
{
    ShaderVariableDesc vars[] = {{3, 1, id32("m"), 99}, {0, 1, id32("s"), 99}, {1, 1, id32("v"), 99}};
    ShaderConstantBuffer block(default_allocator());
    ASSERT_TRUE(block.set_description(vars, 3));
    EXPECT_EQ(block.layout_size(), 76u);
    EXPECT_EQ(block.variables()[0].offset, 0u);
    EXPECT_EQ(block.variables()[1].offset, 64u);
    EXPECT_EQ(block.variables()[2].offset, 68u);
    ASSERT_TRUE(block.allocate(80));
    EXPECT_EQ(block.find_variable(id32("m")), 0u); // 0 is a real offset...
    EXPECT_EQ(block.find_variable("v"), 68u);
    EXPECT_EQ(block.find_variable(id32("missing")), variable_not_found); // ...so absent is all ones
    EXPECT_TRUE(block.set_by_id(id32("s"), 7));
    EXPECT_FALSE(block.set_by_id(id32("missing"), 7));
    u32 s = 0;
    memcpy(&s, block.data() + 64, 4);
    EXPECT_EQ(s, 7u);

    ShaderVariableDesc zero_count[] = {{2, 0, 1, 0}, {0, 1, 2, 0}};
    EXPECT_EQ(layout_shader_variables(zero_count, 2), 16u); // a count of 0 reserves one element
    EXPECT_EQ(zero_count[1].offset, 12u);
    ShaderVariableDesc unknown[] = {{8, 1, 1, 0}};
    EXPECT_EQ(layout_shader_variables(unknown, 1), variable_not_found);
    ShaderVariableDesc huge[] = {{3, 0x40000000u, 1, 0}};
    EXPECT_EQ(layout_shader_variables(huge, 1), variable_not_found);

    // Defaults copy only where name, type and count agree.
    ShaderVariableDesc other_vars[] = {{0, 1, id32("s"), 0}, {2, 1, id32("v"), 0}};
    ShaderConstantBuffer other(default_allocator());
    ASSERT_TRUE(other.set_description(other_vars, 2));
    ASSERT_TRUE(other.allocate(other.layout_size()));
    const f32 v[2] = {4, 5};
    memcpy(block.data() + 68, v, 8);
    other.copy_defaults(block);
    memcpy(&s, other.data(), 4);
    EXPECT_EQ(s, 7u);
    f32 copied = -1;
    memcpy(&copied, other.data() + 4, 4);
    EXPECT_EQ(copied, 0.0f);
}

// The test's own matrix helpers.
Matrix4x4 rotation_z(f32 radians, Vector3 t)
{
    Matrix4x4 m = matrix4x4_identity;
    m.m[0][0] = std::cos(radians), m.m[0][1] = std::sin(radians);
    m.m[1][0] = -std::sin(radians), m.m[1][1] = std::cos(radians);
    set_translation(m, t);
    return m;
}

Matrix4x4 perspective(f32 fov, f32 aspect, f32 n, f32 f)
{
    // y forward, z up: the depth axis is y.
    Matrix4x4 m{};
    const f32 h = 1.0f / std::tan(fov / 2);
    m.m[0][0] = h / aspect;
    m.m[2][1] = h;
    m.m[1][2] = f / (f - n);
    m.m[1][3] = 1;
    m.m[3][2] = -n * f / (f - n);
    return m;
}

Matrix4x4 multiply(const Matrix4x4 &a, const Matrix4x4 &b)
{
    Matrix4x4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k)
                r.m[i][j] += a.m[i][k] * b.m[k][j];
    return r;
}

f64 minor3(const Matrix4x4 &m, int row, int col)
{
    int r[3], c[3];
    for (int i = 0, k = 0; i < 4; ++i)
        if (i != row)
            r[k++] = i;
    for (int j = 0, k = 0; j < 4; ++j)
        if (j != col)
            c[k++] = j;
    auto e = [&](int i, int j) { return f64(m.m[r[i]][c[j]]); };
    return e(0, 0) * (e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1)) - e(0, 1) * (e(1, 0) * e(2, 2) - e(1, 2) * e(2, 0)) +
           e(0, 2) * (e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0));
}

Matrix4x4 cofactor_inverse(const Matrix4x4 &m)
{
    f64 det = 0;
    for (int j = 0; j < 4; ++j)
        det += ((j % 2) ? -1 : 1) * f64(m.m[0][j]) * minor3(m, 0, j);
    Matrix4x4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r.m[j][i] = f32((((i + j) % 2) ? -1 : 1) * minor3(m, i, j) / det);
    return r;
}

void expect_transposed(const u8 *block, u32 offset, const Matrix4x4 &expected, const char *what)
{
    SCOPED_TRACE(what);
    f32 got[16];
    memcpy(got, block + offset, 64);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(got[j * 4 + i], expected.m[i][j], 1e-4f * (1 + std::fabs(expected.m[i][j]))) << i << "," << j;
}

struct AutoFixture : ::testing::Test {
    Allocator &a = default_allocator();
    RecordingRenderDevice device{a};
    ShaderManager shaders{device, a};
    LibraryPtr library;
    ShaderContext context{a};

    void make(const std::vector<VariableSpec> &vars)
    {
        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"auto", vars, {}, {{"", "v"}}}));
        source.templates.push_back({id32("auto"), {{id32("default"), {{id32("auto"), {}}}}}});
        library = read_library(source);
        ASSERT_TRUE(library);
        ASSERT_TRUE(shaders.add_shader_library(*library));
        shaders.update_templates(*library);
        ASSERT_TRUE(shaders.find_template(id32("auto"), context));
    }
    u32 offset(const char *name) { return context.shader(0)->find_variable(id32(name))->offset; }
};

TEST_F(AutoFixture, ObjectVariablesMatchReferenceMatrices)
{
    const char *names[] = {"bones", "world", "inv_world", "view", "proj", "world_view", "inv_world_view",
                           "view_proj", "inv_view_proj", "world_view_proj"};
    std::vector<VariableSpec> vars;
    for (const char *n : names)
        vars.push_back({n, ShaderValueType::Matrix4x4});
    vars.push_back({"alpha", ShaderValueType::Scalar});
    make(vars);

    const Matrix4x4 world = rotation_z(0.7f, {3, -2, 1.5f});
    const Matrix4x4 camera = rotation_z(-0.3f, {10, 4, 2});
    const Matrix4x4 view = cofactor_inverse(camera);
    const Matrix4x4 proj = perspective(1.1f, 16.0f / 9.0f, 0.1f, 500.0f);
    context.set_scalar(id32("alpha"), 0.5f);
    context.set_matrices(world, view, proj, nullptr);
    const u8 *block = context.block(0);

    const Matrix4x4 world_view = multiply(world, view), view_proj = multiply(view, proj);
    expect_transposed(block, offset("world"), world, "world");
    expect_transposed(block, offset("inv_world"), cofactor_inverse(world), "inv_world");
    expect_transposed(block, offset("view"), view, "view");
    expect_transposed(block, offset("proj"), proj, "proj");
    expect_transposed(block, offset("world_view"), world_view, "world_view");
    expect_transposed(block, offset("inv_world_view"), cofactor_inverse(world_view), "inv_world_view");
    expect_transposed(block, offset("view_proj"), view_proj, "view_proj");
    expect_transposed(block, offset("inv_view_proj"), cofactor_inverse(view_proj), "inv_view_proj");
    expect_transposed(block, offset("world_view_proj"), multiply(world, view_proj), "world_view_proj");
    EXPECT_EQ(context.shader(0)->bones_offset(), offset("bones"));
    expect_transposed(block, offset("bones"), Matrix4x4{}, "bones is only recorded");
    f32 alpha = 0;
    memcpy(&alpha, block + offset("alpha"), 4);
    EXPECT_EQ(alpha, 0.5f);
}

TEST_F(AutoFixture, CameraAndSettingVariablesMatchTheCamera)
{
    ConfigText settings("shadow_quality = 3 fog_density = 0.25 name = \"high\"");
    shaders.set_render_settings(settings.root);
    make({{"camera_world", ShaderValueType::Matrix4x4},
          {"camera_inv_world", ShaderValueType::Matrix4x4},
          {"camera_view", ShaderValueType::Matrix4x4},
          {"camera_inv_view", ShaderValueType::Matrix4x4},
          {"camera_projection", ShaderValueType::Matrix4x4},
          {"camera_inv_projection", ShaderValueType::Matrix4x4},
          {"camera_pos", ShaderValueType::Vector3},
          {"camera_unprojection", ShaderValueType::Vector3},
          {"camera_near_far", ShaderValueType::Vector3},
          {"delta_time", ShaderValueType::Scalar},
          {"time", ShaderValueType::Scalar},
          {"back_buffer_size", ShaderValueType::Vector2},
          {"shadow_quality", ShaderValueType::Scalar},
          {"fog_density", ShaderValueType::Scalar},
          {"name", ShaderValueType::Scalar}});

    CameraInputs camera;
    camera.world = rotation_z(0.4f, {1, 2, 3});
    camera.view = cofactor_inverse(camera.world);
    camera.projection = perspective(0.9f, 1.5f, 0.5f, 200.0f);
    camera.near_range = 0.5f;
    camera.far_range = 200.0f;
    camera.delta_time = 1.0f / 60;
    camera.time = 12.5f;
    camera.back_buffer_width = 1280;
    camera.back_buffer_height = 720;
    shaders.update_camera_variables(camera);
    context.set_matrices(matrix4x4_identity, camera.view, camera.projection, nullptr);
    const u8 *block = context.block(0);

    expect_transposed(block, offset("camera_world"), camera.world, "camera_world");
    expect_transposed(block, offset("camera_inv_world"), cofactor_inverse(camera.world), "camera_inv_world");
    expect_transposed(block, offset("camera_view"), camera.view, "camera_view");
    expect_transposed(block, offset("camera_inv_view"), camera.world, "camera_inv_view");
    expect_transposed(block, offset("camera_projection"), camera.projection, "camera_projection");
    expect_transposed(block, offset("camera_inv_projection"), cofactor_inverse(camera.projection),
                      "camera_inv_projection (a general inverse: the projection is not rigid)");
    struct Case {
        const char *name;
        std::vector<f32> expected;
    };
    const Case cases[] = {
        {"camera_pos", {1, 2, 3}},
        {"camera_unprojection", {1 / camera.projection.m[0][0], 1.0f, 1 / camera.projection.m[2][1]}},
        {"camera_near_far", {0.5f, 200.0f, 0.0f}},
        {"delta_time", {1.0f / 60}},
        {"time", {12.5f}},
        {"back_buffer_size", {1280, 720}},
        {"shadow_quality", {3.0f}}, // an integer setting, written as a float
        {"fog_density", {0.25f}},
        {"name", {0.0f}}, // not a number: not an auto variable, left alone
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            f32 got = 0;
            memcpy(&got, block + offset(c.name) + 4 * i, 4);
            EXPECT_NEAR(got, c.expected[i], 1e-5f);
        }
    }

    // A setting changed at run time is read again for the next camera.
    settings.root->member("shadow_quality").set_float(1.5f);
    shaders.update_camera_variables(camera);
    context.set_matrices(matrix4x4_identity, camera.view, camera.projection, nullptr);
    f32 quality = 0;
    memcpy(&quality, context.block(0) + offset("shadow_quality"), 4);
    EXPECT_EQ(quality, 1.5f);
}

TEST_F(AutoFixture, AutoNamesOfAnotherTypeAreLeftToSetters)
{
    test::LogCapture log("render");
    make({{"world", ShaderValueType::Scalar}, {"camera_pos", ShaderValueType::Scalar}, {"tail", ShaderValueType::Scalar}});
    EXPECT_TRUE(log.contains("left to setters"));
    EXPECT_TRUE(context.shader(0)->object_autos().empty());
    EXPECT_TRUE(context.shader(0)->camera_autos().empty());
    context.set_scalar(id32("tail"), 2.0f);
    Matrix4x4 world = rotation_z(1, {4, 5, 6});
    context.set_matrices(world, world, world, nullptr); // writes nothing over the scalars
    EXPECT_EQ(context.block_size(0), 16u);
    f32 values[3];
    memcpy(values, context.block(0), 12);
    EXPECT_EQ(values[0], 0.0f);
    EXPECT_EQ(values[1], 0.0f);
    EXPECT_EQ(values[2], 2.0f);

    // Variable blocks write what the shader has, by kind, and skip the rest.
    ShaderVariableBlock extra(default_allocator());
    const f32 one = 1.0f, three[3] = {7, 8, 9};
    extra.add(0, id32("world"), &one);
    extra.add(2, id32("tail"), three); // wider than the scalar: skipped
    extra.add(0, id32("nobody"), &one);
    context.set_matrices(world, world, world, &extra);
    memcpy(values, context.block(0), 12);
    EXPECT_EQ(values[0], 1.0f);
    EXPECT_EQ(values[2], 2.0f);
}

} // namespace
} // namespace tallow

#include "foundation/math/matrix4x4.h"
#include "foundation/math/oriented_box.h"
#include "foundation/math/random_seed.h"
#include "foundation/math/rotation.h"
#include "foundation/math/timer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <pthread.h>
#include <random>
#include <sched.h>

namespace tallow {
namespace {

// Same rotation when q = p or q = -p (within tolerance).
::testing::AssertionResult same_rotation(Quaternion q, Quaternion p, f32 tolerance = 1e-5f)
{
    f32 d = std::fabs(dot(q, p));
    if (std::fabs(d - 1) <= tolerance && std::fabs(dot(q, q) - 1) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << q.x << ", " << q.y << ", " << q.z << ", " << q.w << ") vs (" << p.x
                                         << ", " << p.y << ", " << p.z << ", " << p.w << ")";
}

::testing::AssertionResult near_identity(const Matrix4x4 &m, f32 tolerance)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (std::fabs(m.m[i][j] - (i == j ? 1.0f : 0.0f)) > tolerance)
                return ::testing::AssertionFailure() << "element " << i << "," << j << " = " << m.m[i][j];
    return ::testing::AssertionSuccess();
}

f32 largest_element(const Matrix4x4 &m)
{
    f32 r = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r = std::fmax(r, std::fabs(m.m[i][j]));
    return r;
}

// a × b is the identity within f32 rounding relative to the sizes of the entries.
::testing::AssertionResult product_is_identity(const Matrix4x4 &a, const Matrix4x4 &b, f32 relative)
{
    return near_identity(a * b, relative * largest_element(a) * largest_element(b));
}

Quaternion random_rotation(std::mt19937 &rng)
{
    std::normal_distribution<f32> n(0, 1);
    return normalize(Quaternion{n(rng), n(rng), n(rng), n(rng)});
}

TEST(Rotation, RowVectorMatricesTransformPointsAndCompose)
{
    Quaternion quarter_z = quaternion_from_axis_angle({0, 0, 1}, 1.5707964f);
    Matrix4x4 local = matrix4x4_from_quaternion(quarter_z, {1, 0, 0});
    Matrix4x4 parent = matrix4x4_identity;
    set_translation(parent, {0, 0, 5});
    // Turning x right into y forward, then the local offset, then the parent's.
    Vector3 p = transform_point(local * parent, {1, 0, 0});
    EXPECT_NEAR(p.x, 1, 1e-6);
    EXPECT_NEAR(p.y, 1, 1e-6);
    EXPECT_NEAR(p.z, 5, 1e-6);
    Vector3 v = transform_without_translation(local, {0, 1, 0});
    EXPECT_NEAR(v.x, -1, 1e-6);
    EXPECT_NEAR(v.y, 0, 1e-6);
}

TEST(Rotation, MatrixToQuaternionMatchesEveryBranchAsARotation)
{
    EXPECT_EQ(matrix_to_quaternion(matrix4x4_identity), (Quaternion{0, 0, 0, -1}));
    struct Case {
        const char *name;
        Vector3 axis;
        f32 angle;
    };
    const f32 pi = 3.14159265f;
    const Case cases[] = {
        {"trace branch", {0.267f, 0.535f, 0.802f}, 0.7f},
        {"half turn about x (i = 0)", {1, 0, 0}, pi},
        {"half turn about y (i = 1)", {0, 1, 0}, pi},
        {"half turn about z (i = 2)", {0, 0, 1}, pi},
        {"near half turn, tilted", {0.6f, 0.0f, 0.8f}, 3.0f},
        {"x equals y on the diagonal", {0.70710678f, 0.70710678f, 0}, pi},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Quaternion q = quaternion_from_axis_angle(normalize(c.axis), c.angle);
        EXPECT_TRUE(same_rotation(matrix_to_quaternion(matrix4x4_from_quaternion(q, {3, -2, 7})), q, 2e-5f));
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        SCOPED_TRACE(i);
        Quaternion q = random_rotation(rng);
        Quaternion back = matrix_to_quaternion(matrix4x4_from_quaternion(q));
        ASSERT_TRUE(same_rotation(back, q, 1e-4f));
        // The rotation acts on vectors the same way, whatever the sign.
        Vector3 v{0.3f, -1.2f, 2.0f};
        Vector3 a = rotate(q, v), b = rotate(back, v);
        ASSERT_NEAR(a.x, b.x, 1e-4);
        ASSERT_NEAR(a.y, b.y, 1e-4);
        ASSERT_NEAR(a.z, b.z, 1e-4);
    }
}

TEST(MatrixInverse, TableOfExactCases)
{
    Matrix4x4 out;
    ASSERT_TRUE(matrix4x4_inverse(matrix4x4_identity, out));
    EXPECT_EQ(out, matrix4x4_identity);

    // First column (0, 2, 0, 0): rows 0 and 1 swap before scaling; exact result.
    Matrix4x4 permuted{{{0, 1, 0, 0}, {2, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
    Matrix4x4 expected{{{0, 0.5f, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
    ASSERT_TRUE(matrix4x4_inverse(permuted, out));
    EXPECT_EQ(out, expected);

    // The output may be the input.
    Matrix4x4 in_place = permuted;
    ASSERT_TRUE(matrix4x4_inverse(in_place, in_place));
    EXPECT_EQ(in_place, expected);
}

TEST(MatrixInverse, SingularInputsAreReported)
{
    struct Case {
        const char *name;
        Matrix4x4 m;
        bool output_is_identity;
    };
    const f32 nan = std::nanf("");
    const Case cases[] = {
        {"all zero stops at column 0", Matrix4x4{}, true},
        {"nan pivot", Matrix4x4{{{nan, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, true},
        {"infinite pivot", Matrix4x4{{{INFINITY, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, true},
        {"two equal rows", Matrix4x4{{{1, 2, 3, 0}, {1, 2, 3, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}, false},
        {"flat scale", Matrix4x4{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 0}, {4, 5, 6, 1}}}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Matrix4x4 out;
        EXPECT_FALSE(matrix4x4_inverse(c.m, out));
        if (c.output_is_identity) {
            EXPECT_EQ(out, matrix4x4_identity);
        }
    }
}

TEST(MatrixInverse, ProductWithInverseIsIdentityForRigidAndProjectionMatrices)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<f32> u(-100, 100);
    std::uniform_real_distribution<f32> fov(0.3f, 2.5f);
    for (int i = 0; i < 1000; ++i) {
        SCOPED_TRACE(i);
        Matrix4x4 rigid = matrix4x4_from_quaternion(random_rotation(rng), {u(rng), u(rng), u(rng)});
        Matrix4x4 inv;
        ASSERT_TRUE(matrix4x4_inverse(rigid, inv));
        ASSERT_TRUE(product_is_identity(rigid, inv, 4e-6f));
        ASSERT_TRUE(product_is_identity(inv, rigid, 4e-6f));

        // Perspective projection (row vectors, depth along y forward), with its row
        // order shuffled by a random rotation so every pivot position is exercised.
        f32 f = 1.0f / std::tan(fov(rng) * 0.5f);
        f32 aspect = 1.0f + std::fabs(u(rng)) / 100.0f;
        f32 n = 0.1f + std::fabs(u(rng)) / 100.0f, far = 100.0f + std::fabs(u(rng)) * 10.0f;
        Matrix4x4 projection{{{f / aspect, 0, 0, 0}, {0, 0, far / (far - n), 1}, {0, f, 0, 0}, {0, 0, -n * far / (far - n), 0}}};
        Matrix4x4 view_projection = rigid * projection;
        ASSERT_TRUE(matrix4x4_inverse(view_projection, inv));
        ASSERT_TRUE(product_is_identity(view_projection, inv, 4e-6f));
        ASSERT_TRUE(product_is_identity(inv, view_projection, 4e-6f));
    }
}

TEST(OrientedBox, EmptyAddPointAndMerge)
{
    Matrix4x4 pose = matrix4x4_from_quaternion(quaternion_from_axis_angle({0, 0, 1}, 0.5f), {10, 0, 0});
    Matrix4x4 to_local;
    ASSERT_TRUE(matrix4x4_inverse(pose, to_local));
    OrientedBox box = oobb_empty(pose);
    EXPECT_EQ(box.min.x, FLT_MAX);
    EXPECT_EQ(box.max.z, -FLT_MAX);

    Vector3 world{11, 2, 3};
    box = oobb_add_point(box, to_local, world);
    EXPECT_EQ(box.min, box.max);
    Vector3 back = oobb_corner(box, 0);
    EXPECT_NEAR(back.x, 11, 1e-5);
    EXPECT_NEAR(back.y, 2, 1e-5);

    OrientedBox other = oobb_empty(matrix4x4_identity);
    other.min = {-1, -2, -3};
    other.max = {1, 2, 3};
    // Corner bits: 0 = min, bit 0 x, bit 1 y, bit 2 z.
    EXPECT_EQ(oobb_corner(other, 0), (Vector3{-1, -2, -3}));
    EXPECT_EQ(oobb_corner(other, 5), (Vector3{1, -2, 3}));
    EXPECT_EQ(oobb_corner(other, 7), (Vector3{1, 2, 3}));

    OrientedBox merged = oobb_merge(box, to_local, other);
    for (u32 i = 0; i < 8; ++i) {
        Vector3 p = transform_point(to_local, oobb_corner(other, i));
        EXPECT_GE(p.x, merged.min.x - 1e-5f);
        EXPECT_LE(p.x, merged.max.x + 1e-5f);
        EXPECT_GE(p.y, merged.min.y - 1e-5f);
        EXPECT_LE(p.y, merged.max.y + 1e-5f);
        EXPECT_GE(p.z, merged.min.z - 1e-5f);
        EXPECT_LE(p.z, merged.max.z + 1e-5f);
    }
    Vector3 first = transform_point(to_local, world);
    EXPECT_LE(merged.min.x, first.x);
    EXPECT_GE(merged.max.x, first.x);
}

TEST(Timer, SecondsAdvanceAndStampMoves)
{
    u64 stamp = performance_counter();
    u64 first = stamp;
    f64 a = time_seconds(&stamp);
    EXPECT_GE(a, 0.0);
    EXPECT_GE(stamp, first);
    u64 second = stamp;
    f64 b = time_seconds(&stamp);
    EXPECT_GE(b, 0.0);
    EXPECT_LT(b, 1.0);
    EXPECT_GE(stamp, second);

    // Pinned to the first CPU the thread may use while reading, then back to all of them.
    cpu_set_t before;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);
    int first_cpu = 0;
    while (first_cpu < 63 && !CPU_ISSET(first_cpu, &before))
        ++first_cpu;
    set_timer_affinity_mask(1ull << first_cpu);
    f64 c = time_seconds_pinned(&stamp);
    EXPECT_GE(c, 0.0);
    cpu_set_t after;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after)) << CPU_COUNT(&before) << " CPUs before, " << CPU_COUNT(&after) << " after";
    set_timer_affinity_mask(0);
    EXPECT_EQ(timer_affinity_mask(), 0u);
}



TEST(RandomSeed, DiffersBetweenCallsAndFolds)
{
    u64 a = random_seed64();
    u64 b = random_seed64();
    EXPECT_NE(a, b); // the counter differs between calls
    EXPECT_NE(random_seed(), random_seed());

    struct Case {
        u64 seed;
        u32 folded;
    };
    const Case cases[] = {
        {0, 0},
        {0x0000000012345678ull, 0x12345678u},
        {0x1234567800000000ull, 0x12345678u},
        {0x12345678FFFFFFFFull, 0xEDCBA987u},
        {0xDEADBEEFDEADBEEFull, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seed);
        EXPECT_EQ(fold_seed(c.seed), c.folded);
    }
}

} // namespace
} // namespace tallow

#include "foundation/math/state_hasher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tallow {
namespace {

u64 hash_of(f32 a, f32 b)
{
    StateHasher h;
    h.add(a);
    h.add(b);
    return h.value();
}

// Values that compare equal (or are both not a number) hash the same; any other change,
// the order included, changes the hash.
TEST(StateHasher, EqualValuesHashAlikeAndEveryOtherChangeShows)
{
    const f32 quiet = std::numeric_limits<f32>::quiet_NaN();
    const f32 other_nan = -std::nanf("7");
    struct Case {
        f32 a1, b1, a2, b2;
        bool same;
    } cases[] = {
        {1.0f, 2.0f, 1.0f, 2.0f, true},
        {0.0f, 1.0f, -0.0f, 1.0f, true},
        {quiet, 1.0f, other_nan, 1.0f, true},
        {1.0f, 2.0f, 2.0f, 1.0f, false},
        {1.0f, 2.0f, 1.0f, std::nextafter(2.0f, 3.0f), false},
        {0.0f, 0.0f, 0.0f, quiet, false},
        {1.0f, 0.0f, 1.0f, std::numeric_limits<f32>::denorm_min(), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.a1 << "," << c.b1 << " against " << c.a2 << "," << c.b2);
        EXPECT_EQ(hash_of(c.a1, c.b1) == hash_of(c.a2, c.b2), c.same);
    }
}

TEST(StateHasher, MatricesAndVectorsHashEveryComponent)
{
    StateHasher base;
    base.add(matrix4x4_identity);
    for (int i = 0; i < 16; ++i) {
        Matrix4x4 m = matrix4x4_identity;
        (&m.m[0][0])[i] += 0.5f;
        StateHasher h;
        h.add(m);
        EXPECT_NE(h.value(), base.value()) << "component " << i;
    }
    StateHasher v, q;
    v.add(Vector3{1, 2, 3});
    q.add(Vector3{1, 2, 4});
    EXPECT_NE(v.value(), q.value());
    StateHasher empty;
    empty.add_bytes(nullptr, 0);
    EXPECT_EQ(empty.value(), StateHasher().value());
}

} // namespace
} // namespace tallow

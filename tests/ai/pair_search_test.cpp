// The pair search against a brute-force test of every pair, on each sweep axis.
#include "ai/pair_search.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace tallow {
namespace {

std::vector<std::pair<u32, u32>> normalised(const Array<PairSearchPair> &pairs)
{
    std::vector<std::pair<u32, u32>> out;
    for (const PairSearchPair &p : pairs)
        out.push_back({std::min(p.first, p.second), std::max(p.first, p.second)});
    std::sort(out.begin(), out.end());
    return out;
}

TEST(PairSearch, EqualsBruteForceOnRandomPointsForEachAxis)
{
    std::mt19937 random(3);
    for (u32 axis = 0; axis < 3; ++axis) {
        for (u32 count : {0u, 1u, 2u, 50u, 400u}) {
            SCOPED_TRACE(testing::Message() << "axis " << axis << " count " << count);
            std::uniform_real_distribution<f32> coordinate(-10.0f, 10.0f);
            Array<PairSearchPoint> points(default_allocator());
            for (u32 i = 0; i < count; ++i) {
                PairSearchPoint p{{coordinate(random), coordinate(random), coordinate(random)}, i * 3 + 1};
                if (i % 7 == 3) // points on a lattice, so exact distances occur
                    for (f32 &v : p.position)
                        v = std::round(v);
                points.push_back(p);
            }
            const f32 radius = 0.5f + f32(count % 3) * 0.5f;
            Array<PairSearchPair> pairs(default_allocator());
            ASSERT_TRUE(find_intersecting_units(points, radius, axis, pairs));
            std::vector<std::pair<u32, u32>> expected;
            for (u32 i = 0; i < count; ++i)
                for (u32 j = i + 1; j < count; ++j) {
                    bool close = true;
                    for (int k = 0; k < 3; ++k)
                        close &= std::fabs(points[i].position[k] - points[j].position[k]) < 2.0f * radius;
                    if (close)
                        expected.push_back({points[i].index, points[j].index});
                }
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(normalised(pairs), expected);
        }
    }
}

TEST(PairSearch, PointsExactlyTwoRadiiApartAreNoPairAndNonFinitePointsAreLeftOut)
{
    Array<PairSearchPoint> points(default_allocator());
    points.push_back({{0, 0, 0}, 0});
    points.push_back({{2, 0, 0}, 1});   // exactly 2r on the sweep axis
    points.push_back({{0, 2, 0}, 2});   // exactly 2r on another axis
    points.push_back({{0.5f, 0.5f, 0.5f}, 3});
    points.push_back({{INFINITY, 0, 0}, 4});
    points.push_back({{NAN, 0, 0}, 5});
    for (u32 axis = 0; axis < 3; ++axis) {
        Array<PairSearchPair> pairs(default_allocator());
        ASSERT_TRUE(find_intersecting_units(points, 1.0f, axis, pairs));
        const std::vector<std::pair<u32, u32>> expected = {{0, 3}, {1, 3}, {2, 3}};
        EXPECT_EQ(normalised(pairs), expected) << "axis " << axis;
    }
}

} // namespace
} // namespace tallow

// The broadphase grid against a brute-force scan of the same objects, over random add, move,
// remove and query sequences; its free lists; and the input it refuses.
#include "ai/broadphase.h"

#include "foundation/memory/memory_globals.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

namespace tallow {
namespace {

std::vector<u32> ids(const Array<BroadphaseObject> &found)
{
    std::vector<u32> out;
    for (const BroadphaseObject &o : found)
        out.push_back(o.id);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Broadphase, QueriesEqualBruteForceOnRandomMovingSetsSmallGridsIncluded)
{
    struct Case {
        const char *name;
        u32 expected_count; // sets the grid size: 1 below 30
        u32 objects;
        f32 max_radius;
        f32 spread; // positions in [-spread, spread]
    };
    const Case cases[] = {
        {"grid of 1 (fewer than 30 expected)", 10, 25, 1.0f, 20.0f},
        {"grid of 1 at 29", 29, 40, 0.5f, 10.0f},
        {"small grid, far apart objects wrapping onto shared cells", 100, 120, 1.0f, 500.0f},
        {"grid of 20", 500, 500, 2.0f, 60.0f},
        {"dense", 2000, 1500, 1.0f, 30.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 random(c.objects);
        std::uniform_real_distribution<f32> coordinate(-c.spread, c.spread), unit(0.0f, 1.0f);
        Broadphase grid(default_allocator(), c.max_radius, c.expected_count);
        std::map<u32, BroadphaseObject> live; // slot -> object
        u32 next_id = 1;
        auto add = [&]() {
            // A few objects above the largest radius, which a grid cell walk could miss.
            const f32 radius = unit(random) < 0.05f ? c.max_radius * 3.0f : c.max_radius * unit(random);
            const Vector3 p{coordinate(random), coordinate(random), coordinate(random) * 0.1f};
            const u32 slot = grid.add(next_id, p, radius);
            ASSERT_NE(slot, broadphase_no_slot);
            ASSERT_EQ(live.count(slot), 0u);
            live[slot] = {next_id++, p, radius};
        };
        for (u32 i = 0; i < c.objects; ++i)
            add();
        Array<BroadphaseObject> found(default_allocator());
        for (int round = 0; round < 30; ++round) {
            for (auto &[slot, o] : live) {
                o.position = o.position + Vector3{coordinate(random), coordinate(random), 0} * 0.05f;
                ASSERT_TRUE(grid.move(slot, o.position));
            }
            for (int k = 0; k < 5 && !live.empty(); ++k) {
                auto it = live.begin();
                std::advance(it, random() % live.size());
                ASSERT_TRUE(grid.remove(it->first));
                live.erase(it);
                add();
            }
            for (int q = 0; q < 20; ++q) {
                const Vector3 point{coordinate(random), coordinate(random), 0};
                // Radii from tiny to wider than the whole grid.
                const f32 radius = q % 5 == 0 ? c.spread * 3.0f : c.max_radius * 4.0f * unit(random);
                found.clear();
                grid.query(point, radius, found);
                std::vector<u32> expected;
                for (const auto &[slot, o] : live)
                    if (length(o.position - point) < o.radius + radius)
                        expected.push_back(o.id);
                std::sort(expected.begin(), expected.end());
                ASSERT_EQ(ids(found), expected) << "round " << round << " query " << q;
            }
        }
        EXPECT_EQ(grid.object_count(), live.size());
    }
}

TEST(Broadphase, FreedSlotsAndCellsAreReusedLastFreedFirst)
{
    Broadphase grid(default_allocator(), 1.0f, 1000);
    const u32 a = grid.add(1, {0.5f, 0.5f, 0}, 0.5f);
    const u32 b = grid.add(2, {20.5f, 0.5f, 0}, 0.5f);
    const u32 c = grid.add(3, {40.5f, 0.5f, 0}, 0.5f);
    EXPECT_EQ(grid.cell_count(), 3u);
    const u32 cell_b = grid.cell_of(b), cell_c = grid.cell_of(c);
    // Moving the last object out of a cell keeps the cell; removing it frees the cell.
    ASSERT_TRUE(grid.move(a, {60.5f, 0.5f, 0}));
    EXPECT_EQ(grid.cell_count(), 4u);
    ASSERT_TRUE(grid.remove(b));
    ASSERT_TRUE(grid.remove(c));
    EXPECT_EQ(grid.cell_count(), 2u);
    // The last freed slot and cell come back first.
    const u32 d = grid.add(4, {80.5f, 0.5f, 0}, 0.5f);
    EXPECT_EQ(d, c);
    EXPECT_EQ(grid.cell_of(d), cell_c);
    const u32 e = grid.add(5, {100.5f, 0.5f, 0}, 0.5f);
    EXPECT_EQ(e, b);
    EXPECT_EQ(grid.cell_of(e), cell_b);
}

TEST(Broadphase, RefusesBadInputAndDoubleRemoves)
{
    test::LogCapture log("ai");
    for (f32 bad : {0.0f, -1.0f, NAN, INFINITY}) {
        Broadphase grid(default_allocator(), bad, 100);
        EXPECT_FALSE(grid.is_valid());
        EXPECT_EQ(grid.add(1, {}, 0.0f), broadphase_no_slot);
        Array<BroadphaseObject> found(default_allocator());
        grid.query({}, 10.0f, found);
        EXPECT_TRUE(found.empty());
    }
    EXPECT_TRUE(log.contains("largest radius"));
    Broadphase grid(default_allocator(), 1.0f, 100);
    EXPECT_EQ(grid.add(1, {NAN, 0, 0}, 0.5f), broadphase_no_slot);
    EXPECT_EQ(grid.add(1, {0, 0, 0}, -0.5f), broadphase_no_slot);
    const u32 slot = grid.add(1, {0, 0, 0}, 0.5f);
    EXPECT_FALSE(grid.move(slot, {INFINITY, 0, 0}));
    EXPECT_TRUE(grid.remove(slot));
    // A double remove and a move of a freed slot change nothing: two later adds get two slots.
    EXPECT_FALSE(grid.remove(slot));
    EXPECT_FALSE(grid.move(slot, {1, 1, 0}));
    EXPECT_FALSE(grid.remove(12345));
    const u32 x = grid.add(2, {0, 0, 0}, 0.5f), y = grid.add(3, {0, 0, 0}, 0.5f);
    EXPECT_NE(x, y);
    // Coordinates beyond any cell number still file and find.
    const u32 far = grid.add(4, {3e38f, -3e38f, 0}, 0.5f);
    ASSERT_NE(far, broadphase_no_slot);
    Array<BroadphaseObject> found(default_allocator());
    grid.query({3e38f, -3e38f, 0}, 1.0f, found);
    EXPECT_EQ(ids(found), std::vector<u32>{4});
}

} // namespace
} // namespace tallow

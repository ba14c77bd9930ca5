#pragma once
// What is drawn is what the world holds: compares every live unit's node world matrices on
// the game side (its SceneGraph) with the render side's copy (its RenderSceneGraph), once
// the render side has applied the frame's records, and names each node that differs.
//
//   world.update(dt);                                   // or Application::update
//   apply the frame's state buffer                      // RenderWorld::update_state, or
//                                                       // RenderInterface::wait_until_idle
//   const std::vector<TruthDifference> d = compare_render_side(world, *render_world);
//   EXPECT_TRUE(d.empty()) << describe_differences(d);
//
// A difference is a node whose matrices differ by more than float rounding, a unit with
// nodes but no render-side graph, or a graph with another node count. Main thread, while
// the render side is idle (it reads both sides' matrices).

#include "foundation/math/matrix4x4.h"
#include "foundation/types.h"

#include <string>
#include <vector>

namespace tallow {

class RenderWorld;
class World;

namespace test {

/// One node (or unit, with `node` = truth_whole_unit) where the render side shows other
/// than the game side holds.
struct TruthDifference {
    u32 unit = 0;          // the unit's handle
    u64 resource = 0;      // its unit resource's name (NameId64 value)
    u32 node = 0;          // the node, or truth_whole_unit
    const char *what = ""; // "moved", "no render-side graph", "node count"
    Matrix4x4 game = matrix4x4_identity;
    Matrix4x4 render = matrix4x4_identity;
};
constexpr u32 truth_whole_unit = 0xFFFFFFFFu;

/// Every difference between `world`'s units and their copies in `render_world`, in spawn
/// order, node by node. Matrices agree when each element is within 1e-5 of the other,
/// relative to its size (at least 1): the records carry the game side's own floats, so
/// anything more is a node the render side did not get.
std::vector<TruthDifference> compare_render_side(const World &world, const RenderWorld &render_world);

/// The differences one line each (unit, resource, node, game and render translations), at
/// most `limit` lines and a count of the rest; "" for none.
std::string describe_differences(const std::vector<TruthDifference> &differences, size_t limit = 8);

} // namespace test
} // namespace tallow

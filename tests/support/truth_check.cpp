#include "tests/support/truth_check.h"

#include "render/world/render_scene_graph.h"
#include "render/world/render_world.h"
#include "world/units/scene_graph.h"
#include "world/units/unit.h"
#include "world/units/unit_resource.h"
#include "world/world.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace tallow::test {

namespace {

bool agree(const Matrix4x4 &a, const Matrix4x4 &b)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const f32 x = a.m[i][j], y = b.m[i][j];
            const f32 size = std::fmax(1.0f, std::fmax(std::fabs(x), std::fabs(y)));
            if (!(std::fabs(x - y) <= 1e-5f * size)) // NaN on either side differs
                return false;
        }
    return true;
}

} // namespace

std::vector<TruthDifference> compare_render_side(const World &world, const RenderWorld &render_world)
{
    std::vector<TruthDifference> out;
    for (const Unit *unit : world.units()) {
        const SceneGraph &graph = unit->scene_graph();
        TruthDifference d;
        d.unit = unit->handle();
        d.resource = unit->resource().name.value();
        if (graph.node_count() == 0)
            continue;
        const RenderSceneGraph *copy = scene_graph_of(render_world, graph.render_handle());
        if (!copy || copy->node_count() != graph.node_count()) {
            d.node = truth_whole_unit;
            d.what = copy ? "node count" : "no render-side graph";
            out.push_back(d);
            continue;
        }
        for (u32 node = 0; node < graph.node_count(); ++node) {
            if (agree(graph.world_pose(node), copy->world(node)))
                continue;
            d.node = node;
            d.what = "moved";
            d.game = graph.world_pose(node);
            d.render = copy->world(node);
            out.push_back(d);
        }
    }
    return out;
}

std::string describe_differences(const std::vector<TruthDifference> &differences, size_t limit)
{
    std::string out;
    char line[256];
    for (size_t i = 0; i < differences.size() && i < limit; ++i) {
        const TruthDifference &d = differences[i];
        if (d.node == truth_whole_unit) {
            snprintf(line, sizeof line, "unit %08x (resource %016" PRIx64 "): %s\n", d.unit, d.resource, d.what);
        } else {
            const Vector3 g = translation(d.game), r = translation(d.render);
            snprintf(line, sizeof line,
                     "unit %08x (resource %016" PRIx64 ") node %u: the world holds (%.4f %.4f %.4f), the render "
                     "side shows (%.4f %.4f %.4f)\n",
                     d.unit, d.resource, d.node, g.x, g.y, g.z, r.x, r.y, r.z);
        }
        out += line;
    }
    if (differences.size() > limit) {
        snprintf(line, sizeof line, "... and %zu more\n", differences.size() - limit);
        out += line;
    }
    return out;
}

} // namespace tallow::test

// The navigation mesh reader: any bytes either read into a mesh whose every query stays in
// bounds, ends, and gives finite results for finite points, or fail cleanly. A mesh that
// reads is walked by a small flock, so mesh data can put no NaN into agents.
#include "ai/flock.h"
#include "ai/nav_mesh.h"
#include "fuzz/fuzz_support.h"

#include <cmath>
#include <cstdlib>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    Allocator &a = default_allocator();
    NavMesh *mesh = read_nav_mesh(data, size, a);
    if (!mesh)
        return 0;
    // Points around the mesh's vertices and far away.
    Flock flock(a, nullptr);
    flock.set_navigation_mesh(mesh);
    const u32 probes = mesh->vertex_count() < 8 ? mesh->vertex_count() : 8;
    for (u32 i = 0; i < probes; ++i) {
        const Vector3 v = mesh->vertex(i);
        const Vector3 points[] = {v, v + Vector3{0.3f, -0.2f, 1.0f}, v * -1.0f, Vector3{1e6f, -1e6f, 0}};
        for (const Vector3 &p : points) {
            const u32 polygon = mesh->closest_polygon(p);
            if (mesh->polygon_count() && polygon >= mesh->polygon_count())
                abort();
            Vector3 q = p;
            u32 at = polygon;
            const Vector3 n = mesh->move_along(q, at);
            if (mesh->polygon_count() && (!std::isfinite(q.x) || !std::isfinite(q.y) || !std::isfinite(q.z) ||
                                          !std::isfinite(n.x)))
                abort();
        }
        const u32 agent = flock.add_agent(v, 0.5f, 2.0f);
        flock.go_to(agent, v * -1.0f);
    }
    for (int step = 0; step < 4; ++step)
        flock.update(1.0f / 30.0f);
    for (const FlockAgent &agent : flock.agents())
        if (!std::isfinite(agent.position.x) || !std::isfinite(agent.position.y) || !std::isfinite(agent.position.z))
            abort();
    destroy_nav_mesh(mesh, a);
    return 0;
}

// The AI subsystem against its outside peers on the same data:
//   - closest_polygon and move_along against Detour's findNearestPoly and moveAlongSurface on
//     one generated 100 x 100 m mesh (the same polygons handed to both);
//   - one step of a 2000-agent flock walking to targets on that mesh, on the calling thread
//     and on a pool of 4 workers, against Detour's crowd update of the same agents;
//   - a frame of the broadphase (every object moves, then 200 queries) against a brute-force
//     scan of the same objects.
// Detour works in y-up coordinates: our (x, y, z) is its (x, z, y).
#include "ai/broadphase.h"
#include "ai/flock.h"
#include "ai/nav_mesh.h"
#include "bench/support/bench_support.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "tests/support/writers/nav_mesh_writer.h"

#ifdef TALLOW_BENCH_DETOUR
#include <DetourCrowd.h>
#include <DetourNavMesh.h>
#include <DetourNavMeshBuilder.h>
#include <DetourNavMeshQuery.h>
#endif

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

using namespace tallow;

namespace {

constexpr u32 grid_cells = 40;
constexpr f32 grid_cell = 2.5f;
constexpr u32 query_count = 1000;
constexpr u32 agent_count = 2000;
constexpr f32 agent_radius = 0.4f;
constexpr f32 agent_speed = 2.0f;
constexpr f32 step_seconds = 1.0f / 30.0f;

struct Scene {
    test::NavMeshSource source = test::grid_nav_mesh(grid_cells, grid_cells, grid_cell, 17);
    std::vector<u8> block = test::write_nav_mesh(source);
    NavMesh *mesh = read_nav_mesh(block.data(), block.size(), default_allocator());
    std::vector<Vector3> points, moved;   // query points, and the same moved a little
    std::vector<u32> start_polygons;
    std::vector<Vector3> agent_starts, agent_targets;

    Scene()
    {
        std::mt19937 random(5);
        const f32 size = grid_cells * grid_cell;
        std::uniform_real_distribution<f32> coordinate(1.0f, size - 1.0f), step(-0.3f, 0.3f);
        auto height = [](f32 x, f32 y) { return 0.05f * x + 0.02f * y; };
        for (u32 i = 0; i < query_count; ++i) {
            const f32 x = coordinate(random), y = coordinate(random);
            points.push_back({x, y, height(x, y) + 0.2f});
            start_polygons.push_back(mesh->closest_polygon(points.back()));
            const f32 mx = x + step(random), my = y + step(random);
            moved.push_back({mx, my, height(mx, my)});
        }
        for (u32 i = 0; i < agent_count; ++i) {
            const f32 x = coordinate(random), y = coordinate(random);
            agent_starts.push_back({x, y, height(x, y)});
            const f32 tx = coordinate(random), ty = coordinate(random);
            agent_targets.push_back({tx, ty, height(tx, ty)});
        }
    }
    ~Scene() { destroy_nav_mesh(mesh, default_allocator()); }
};

Scene &scene()
{
    static Scene *s = new Scene();
    return *s;
}

void BM_ClosestPolygon_Engine(benchmark::State &state)
{
    Scene &s = scene();
    for (auto _ : state)
        for (const Vector3 &p : s.points)
            benchmark::DoNotOptimize(s.mesh->closest_polygon(p));
}

void BM_MoveAlong_Engine(benchmark::State &state)
{
    Scene &s = scene();
    for (auto _ : state)
        for (u32 i = 0; i < query_count; ++i) {
            Vector3 p = s.moved[i];
            u32 polygon = s.start_polygons[i];
            benchmark::DoNotOptimize(s.mesh->move_along(p, polygon));
        }
}

Flock *make_flock(ThreadPool *pool)
{
    Scene &s = scene();
    Flock *flock = make_new<Flock>(default_allocator(), default_allocator(), pool);
    flock->set_navigation_mesh(s.mesh);
    for (u32 i = 0; i < agent_count; ++i) {
        const u32 a = flock->add_agent(s.agent_starts[i], agent_radius, agent_speed);
        flock->go_to(a, s.agent_targets[i]);
    }
    for (int i = 0; i < 10; ++i) // past the first steps, where every agent starts from rest
        flock->update(step_seconds);
    return flock;
}

void flock_step(benchmark::State &state, ThreadPool *pool)
{
    Flock *flock = make_flock(pool);
    for (auto _ : state)
        flock->update(step_seconds);
    delete_with_allocator(default_allocator(), flock);
}

void BM_FlockStep_Engine(benchmark::State &state) { flock_step(state, nullptr); }

void BM_FlockStep_EnginePool(benchmark::State &state)
{
    ThreadRegistry registry(default_allocator(), "main");
    ThreadPool pool(default_allocator(), 4, registry);
    flock_step(state, &pool);
}

#ifdef TALLOW_BENCH_DETOUR

constexpr f32 detour_cell = 0.05f;

// The same polygons as a one-tile Detour mesh.
struct DetourScene {
    dtNavMesh *mesh = dtAllocNavMesh();
    dtNavMeshQuery *query = dtAllocNavMeshQuery();
    dtQueryFilter filter;
    f32 extents[3] = {2.0f, 4.0f, 2.0f};

    DetourScene()
    {
        const test::NavMeshSource &source = scene().source;
        f32 bmin[3] = {1e30f, 1e30f, 1e30f}, bmax[3] = {-1e30f, -1e30f, -1e30f};
        for (const test::NavMeshSourceVertex &v : source.vertices) {
            const f32 d[3] = {v.x, v.z, v.y};
            for (int k = 0; k < 3; ++k)
                bmin[k] = std::min(bmin[k], d[k]), bmax[k] = std::max(bmax[k], d[k]);
        }
        std::vector<unsigned short> verts, polys;
        for (const test::NavMeshSourceVertex &v : source.vertices) {
            const f32 d[3] = {v.x, v.z, v.y};
            for (int k = 0; k < 3; ++k)
                verts.push_back((unsigned short)std::lround((d[k] - bmin[k]) / detour_cell));
        }
        // Its polygons wind the other way round in its coordinates: corners reversed, and
        // each edge's neighbour moves with its edge.
        for (const test::NavMeshSourcePolygon &p : source.polygons) {
            u32 n = 0;
            while (n < 6 && p.corners[n] != 0xFFFF)
                ++n;
            unsigned short corners[6], neighbours[6];
            for (u32 k = 0; k < 6; ++k)
                corners[k] = neighbours[k] = 0xFFFF;
            for (u32 k = 0; k < n; ++k) {
                corners[k] = p.corners[n - 1 - k];
                // Our edge j runs corner j -> j+1; reversed, edge k runs from corner n-1-k to n-2-k.
                const u32 j = (2 * n - 2 - k) % n;
                neighbours[k] = p.neighbours[j];
            }
            polys.insert(polys.end(), corners, corners + 6);
            polys.insert(polys.end(), neighbours, neighbours + 6);
        }
        std::vector<unsigned short> flags(source.polygons.size(), 1);
        std::vector<unsigned char> areas(source.polygons.size(), 0);
        dtNavMeshCreateParams params = {};
        params.verts = verts.data();
        params.vertCount = int(source.vertices.size());
        params.polys = polys.data();
        params.polyFlags = flags.data();
        params.polyAreas = areas.data();
        params.polyCount = int(source.polygons.size());
        params.nvp = 6;
        params.walkableHeight = 2.0f;
        params.walkableRadius = agent_radius;
        params.walkableClimb = 0.9f;
        for (int k = 0; k < 3; ++k)
            params.bmin[k] = bmin[k], params.bmax[k] = bmax[k];
        params.cs = detour_cell;
        params.ch = detour_cell;
        params.buildBvTree = true;
        unsigned char *data = nullptr;
        int size = 0;
        if (!dtCreateNavMeshData(&params, &data, &size) || dtStatusFailed(mesh->init(data, size, DT_TILE_FREE_DATA)) ||
            dtStatusFailed(query->init(mesh, 4096)))
            fprintf(stderr, "ai_bench: the Detour mesh could not be made\n");
    }
};

DetourScene &detour()
{
    static DetourScene *s = new DetourScene();
    return *s;
}

void to_detour(const Vector3 &v, f32 *out) { out[0] = v.x, out[1] = v.z, out[2] = v.y; }

// How many of the query points Detour places on a polygon under them: the meshes agree.
void report_detour_mesh()
{
    Scene &s = scene();
    DetourScene &d = detour();
    u32 over = 0;
    for (const Vector3 &p : s.points) {
        f32 centre[3], nearest[3];
        to_detour(p, centre);
        dtPolyRef ref = 0;
        bool over_poly = false;
        d.query->findNearestPoly(centre, d.extents, &d.filter, &ref, nearest, &over_poly);
        over += ref && over_poly;
    }
    printf("Detour mesh: %u polygons; %u of %u query points lie over one\n", u32(s.source.polygons.size()), over,
           query_count);
}

void BM_ClosestPolygon_Detour(benchmark::State &state)
{
    Scene &s = scene();
    DetourScene &d = detour();
    for (auto _ : state)
        for (const Vector3 &p : s.points) {
            f32 centre[3], nearest[3];
            to_detour(p, centre);
            dtPolyRef ref = 0;
            d.query->findNearestPoly(centre, d.extents, &d.filter, &ref, nearest);
            benchmark::DoNotOptimize(ref);
        }
}

void BM_MoveAlong_Detour(benchmark::State &state)
{
    Scene &s = scene();
    DetourScene &d = detour();
    std::vector<dtPolyRef> starts;
    for (const Vector3 &p : s.points) {
        f32 centre[3], nearest[3];
        to_detour(p, centre);
        dtPolyRef ref = 0;
        d.query->findNearestPoly(centre, d.extents, &d.filter, &ref, nearest);
        starts.push_back(ref);
    }
    for (auto _ : state)
        for (u32 i = 0; i < query_count; ++i) {
            f32 from[3], to[3], result[3];
            to_detour(s.points[i], from);
            to_detour(s.moved[i], to);
            dtPolyRef visited[16];
            int visited_count = 0;
            d.query->moveAlongSurface(starts[i], from, to, &d.filter, result, visited, &visited_count, 16);
            benchmark::DoNotOptimize(result[0]);
        }
}

void BM_FlockStep_DetourCrowd(benchmark::State &state)
{
    Scene &s = scene();
    DetourScene &d = detour();
    dtCrowd *crowd = dtAllocCrowd();
    crowd->init(int(agent_count), agent_radius * 1.5f, d.mesh);
    dtCrowdAgentParams params = {};
    params.radius = agent_radius;
    params.height = 2.0f;
    params.maxAcceleration = 8.0f;
    params.maxSpeed = agent_speed;
    params.collisionQueryRange = agent_radius * 12.0f;
    params.pathOptimizationRange = agent_radius * 30.0f;
    params.separationWeight = 2.0f;
    params.updateFlags = DT_CROWD_OBSTACLE_AVOIDANCE | DT_CROWD_SEPARATION | DT_CROWD_ANTICIPATE_TURNS;
    params.obstacleAvoidanceType = 3;
    for (u32 i = 0; i < agent_count; ++i) {
        f32 p[3], t[3], nearest[3];
        to_detour(s.agent_starts[i], p);
        const int idx = crowd->addAgent(p, &params);
        to_detour(s.agent_targets[i], t);
        dtPolyRef ref = 0;
        d.query->findNearestPoly(t, d.extents, &d.filter, &ref, nearest);
        if (idx >= 0 && ref)
            crowd->requestMoveTarget(idx, ref, nearest);
    }
    for (int i = 0; i < 10; ++i)
        crowd->update(step_seconds, nullptr);
    state.counters["agents"] = f64(crowd->getAgentCount());
    for (auto _ : state)
        crowd->update(step_seconds, nullptr);
    dtFreeCrowd(crowd);
}

#endif

void BM_Broadphase_Engine(benchmark::State &state)
{
    const u32 count = u32(state.range(0));
    std::mt19937 random(3);
    std::uniform_real_distribution<f32> coordinate(0.0f, 200.0f), step(-0.2f, 0.2f);
    Broadphase grid(default_allocator(), 1.0f, count);
    std::vector<Vector3> positions;
    std::vector<u32> slots;
    for (u32 i = 0; i < count; ++i) {
        positions.push_back({coordinate(random), coordinate(random), 0});
        slots.push_back(grid.add(i, positions.back(), 0.5f));
    }
    Array<BroadphaseObject> found(default_allocator());
    for (auto _ : state) {
        for (u32 i = 0; i < count; ++i) {
            positions[i] = positions[i] + Vector3{step(random), step(random), 0};
            grid.move(slots[i], positions[i]);
        }
        for (u32 q = 0; q < 200; ++q) {
            found.clear();
            grid.query(positions[q % count], 3.0f, found);
            benchmark::DoNotOptimize(found.data());
        }
    }
}

void BM_Broadphase_BruteForce(benchmark::State &state)
{
    const u32 count = u32(state.range(0));
    std::mt19937 random(3);
    std::uniform_real_distribution<f32> coordinate(0.0f, 200.0f), step(-0.2f, 0.2f);
    std::vector<BroadphaseObject> objects;
    for (u32 i = 0; i < count; ++i)
        objects.push_back({i, {coordinate(random), coordinate(random), 0}, 0.5f});
    std::vector<BroadphaseObject> found;
    for (auto _ : state) {
        for (BroadphaseObject &o : objects)
            o.position = o.position + Vector3{step(random), step(random), 0};
        for (u32 q = 0; q < 200; ++q) {
            found.clear();
            const Vector3 point = objects[q % count].position;
            for (const BroadphaseObject &o : objects)
                if (length(o.position - point) < o.radius + 3.0f)
                    found.push_back(o);
            benchmark::DoNotOptimize(found.data());
        }
    }
}

BENCHMARK(BM_ClosestPolygon_Engine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MoveAlong_Engine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlockStep_Engine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlockStep_EnginePool)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef TALLOW_BENCH_DETOUR
BENCHMARK(BM_ClosestPolygon_Detour)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MoveAlong_Detour)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FlockStep_DetourCrowd)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
BENCHMARK(BM_Broadphase_Engine)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Broadphase_BruteForce)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    bench::BenchProgram program(argc, argv);
#ifdef TALLOW_BENCH_DETOUR
    report_detour_mesh();
#endif
    const bench::RatioReporter &runs = program.run();
    const bench::TimeRatio detour_ratios[] = {
        {"closest polygon, 1000 points", "BM_ClosestPolygon_Engine", "BM_ClosestPolygon_Detour"},
        {"move along, 1000 moves", "BM_MoveAlong_Engine", "BM_MoveAlong_Detour"},
        {"2000-agent step, one thread", "BM_FlockStep_Engine", "BM_FlockStep_DetourCrowd"},
        {"2000-agent step, pool of 4", "BM_FlockStep_EnginePool", "BM_FlockStep_DetourCrowd"},
    };
    bench::print_time_ratios(runs, "engine time / Detour time (below 1: the engine is faster; goal for the step: at most 1)",
                             detour_ratios);
    const bench::TimeRatio grid_ratios[] = {
        {"1000 objects", "BM_Broadphase_Engine/1000", "BM_Broadphase_BruteForce/1000"},
        {"10000 objects", "BM_Broadphase_Engine/10000", "BM_Broadphase_BruteForce/10000"},
    };
    bench::print_time_ratios(runs, "broadphase time / brute-force time, a frame of moves and 200 queries", grid_ratios);
    delete &scene();
#ifdef TALLOW_BENCH_DETOUR
    dtFreeNavMeshQuery(detour().query);
    dtFreeNavMesh(detour().mesh);
#endif
    return 0;
}

// Cooked mesh bytes read and, when sound, made into a mesh by the Bullet layer and used by
// an actor in a short simulation. Any bytes are either refused or simulated within bounds.
#include "foundation/memory/memory_globals.h"
#include "fuzz/fuzz_support.h"
#include "platform/physics/cooked_mesh.h"
#include "platform/physics/physics_layer.h"

#include <vector>

using namespace tallow;

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size)
{
    fuzz::start_once();
    std::vector<u8> bytes(data, data + size);
    px::CookedMesh cooked;
    if (!px::read_cooked_mesh(bytes.data(), bytes.size(), cooked))
        return 0;
    // Large meshes are sound but slow to build; the reader is what this target is for.
    if (cooked.vertex_count > 4096 || cooked.triangle_count > 4096)
        return 0;
    px::ISdk *sdk = px::create_bullet_sdk(default_allocator(), nullptr);
    px::IScene *scene = sdk->create_scene(px::SceneDesc{});
    bool convex = cooked.kind == px::CookedMeshKind::Convex;
    px::Mesh *mesh = convex ? sdk->create_convex_mesh(bytes.data(), bytes.size())
                            : sdk->create_triangle_mesh(bytes.data(), bytes.size());
    if (mesh) {
        px::ShapeDesc s;
        s.kind = convex ? px::ShapeKind::ConvexMesh : px::ShapeKind::TriangleMesh;
        s.mesh = mesh;
        s.groups.bits[0] = s.groups.bits[2] = 1;
        px::ActorDesc a;
        a.shapes = &s;
        a.shape_count = 1;
        a.dynamic = convex;
        a.mass = 1;
        scene->create_actor(a);
        px::ShapeDesc ball;
        ball.size = {0.5f, 0, 0};
        ball.groups = s.groups;
        px::ActorDesc b;
        b.shapes = &ball;
        b.shape_count = 1;
        b.dynamic = true;
        b.mass = 1;
        set_translation(b.pose, {0, 0, 2});
        scene->create_actor(b);
        for (int i = 0; i < 4; ++i) {
            scene->simulate(1.0f / 60);
            scene->fetch_results();
        }
    }
    sdk->release_scene(scene);
    sdk->release_mesh(mesh);
    px::release_sdk(sdk);
    return 0;
}

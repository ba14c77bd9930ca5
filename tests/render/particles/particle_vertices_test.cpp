// Particle vertices as the render side builds them for a view: the same bytes on the pool
// as on one thread, sorted emitters back to front with ties kept in order, and steady
// frames (update, vertices, draws) that allocate nothing on the render side.
#include "render/particles/render_particle_world.h"

#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/commands/render_context.h"
#include "render/materials/material_resource.h"
#include "render/resources/render_resource_set.h"
#include "render/shaders/shader_manager.h"
#include "tests/render/particles/particle_fixture.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/fakes/recording_allocator.h"
#include "tests/support/fakes/recording_render_device.h"
#include "tests/support/writers/shader_library_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

namespace tallow {
namespace {

using namespace test;

constexpr u64 effect_name = 77;

Matrix4x4 at(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

u64 fnv(u64 h, const void *data, size_t bytes)
{
    const u8 *p = static_cast<const u8 *>(data);
    for (size_t i = 0; i < bytes; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

// The "sprite" template drawing into an "alpha" layer, and material 0x1234 (the one the
// typical emitter names) using it: emitters get materials and their draws are filed.
struct SpriteShading {
    Allocator &a = default_allocator();
    RecordingRenderDevice device{a};
    BackBufferWrapper back_buffer{a, 0};
    LibraryPtr library;
    LayerConfig config{a};
    MaterialResource materials{a};
    RenderResourceSet resources{a};
    std::unique_ptr<ShaderManager> shaders; // after what it refers to: goes first

    SpriteShading()
    {
        device.add_window_targets(0, &back_buffer);
        device.set_keep_frames(false);
        shaders = std::make_unique<ShaderManager>(device, a);
        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"sprite", {{"alpha", ShaderValueType::Scalar}}, {}, {{"alpha", "v", "p"}}}));
        source.templates.push_back({id32("sprite"), {{id32("default"), {{id32("sprite"), {}}}}}});
        library = read_library(source);
        Layer layer;
        layer.name = id32("alpha");
        EXPECT_TRUE(make_layer_key(0, &layer.key));
        config.layers.push_back(layer);
        library->passes[0].keys.sort_bits[0] = 1 | layer.key;
        EXPECT_TRUE(shaders->add_shader_library(*library));
        shaders->update_templates(*library);
        materials.entries.push_back(make_new<MaterialEntry>(a, a));
        materials.entries[0]->name = 0x1234;
        materials.entries[0]->shader_template = id32("sprite");
    }
};

// A RenderParticleWorld driven by hand as the render thread drives it: the material table
// and `count` effects in a row, then per frame the update (with a resource context), the
// feedback taken, and one view rendered into a context that is reused frame after frame.
struct DrawnEffects {
    DrawnEffects(SpriteShading &shading, ThreadPool *pool, Allocator &world_memory, Allocator &context_memory,
                 const ParticleEffectResource &effect, u32 count)
        : shading(shading), feedback(ParticleFeedback::create(default_allocator())),
          world(world_memory, pool, shading.shaders.get(), *feedback), context(context_memory),
          taken(default_allocator())
    {
        ParticleMaterialsMessage m;
        m.name = effect_name;
        m.count = 1;
        ParticleMaterialPair pair;
        pair.name = 0x1234;
        pair.entry = shading.materials.entries[0];
        std::vector<u8> payload(m.pairs_offset + sizeof pair);
        memcpy(payload.data(), &m, sizeof m);
        memcpy(payload.data() + m.pairs_offset, &pair, sizeof pair);
        world.apply_message(u32(ParticleMessage::Materials), payload.data(), u32(payload.size()));
        for (u32 i = 0; i < count; ++i)
            create(i, effect, at(f32(i % 20) * 0.7f, f32(i / 20) * 1.3f, 0));
    }
    ~DrawnEffects()
    {
        RenderResourceContext *resources = shading.device.alloc_resource_context();
        world.destroy_resources(resources);
        shading.device.update_resources(1, &resources);
        shading.device.release_resource_context(resources);
        feedback->release();
    }
    void create(u32 id, const ParticleEffectResource &effect, const Matrix4x4 &pose)
    {
        ParticleCreateMessage m;
        m.id = id;
        m.name = effect_name;
        m.effect = &effect;
        m.pose = pose;
        world.apply_message(u32(ParticleMessage::Create), reinterpret_cast<const u8 *>(&m), sizeof m);
    }
    void destroy(u32 id)
    {
        ParticleIdMessage m;
        m.id = id;
        world.apply_message(u32(ParticleMessage::Destroy), reinterpret_cast<const u8 *>(&m), sizeof m);
    }
    void frame(f32 dt, const ParticleView &view)
    {
        RenderResourceContext *resources = shading.device.alloc_resource_context();
        world.update_from_world(dt, resources);
        shading.device.update_resources(1, &resources);
        shading.device.release_resource_context(resources);
        taken.clear();
        feedback->take(taken);
        context.reset();
        context.bind_layer_config(&shading.config, &shading.resources);
        world.render(view, context);
    }

    SpriteShading &shading;
    ParticleFeedback *feedback;
    RenderParticleWorld world;
    RenderContext context;
    Array<u8> taken;
};

// Two systems: the typical sorted emitter, and a smaller system (spawning into itself)
// whose emitter is not sorted.
EffectPtr two_emitter_effect()
{
    ParticleEffectSource source = typical_effect(256, 100);
    source.systems.push_back(typical_system(96, 1));
    source.systems.back().emitters[0].flags = 0;
    return read_effect(write_particle_effect(source));
}

ParticleView moving_view(u32 frame)
{
    ParticleView view;
    view.pose = at(3.0f + 0.25f * f32(frame), -12.0f, 1.5f);
    view.view = at(-3.0f - 0.25f * f32(frame), 12.0f, -1.5f);
    return view;
}

struct BuiltFrames {
    std::vector<u64> frame_hashes; // vertex bytes, counts and filed draws of each frame
    std::vector<u8> last_vertices; // every emitter's vertices of the last frame, in live order
    u64 state_hash = 0;
    u32 last_vertex_count = 0;
};

BuiltFrames build_frames(ThreadPool *pool)
{
    SpriteShading shading;
    EffectPtr effect = two_emitter_effect();
    EXPECT_TRUE(effect);
    BuiltFrames out;
    if (!effect)
        return out;
    DrawnEffects w(shading, pool, default_allocator(), default_allocator(), *effect, 160);
    for (u32 f = 0; f < 36; ++f) {
        if (f == 10) // the live array reorders: later effects move into the holes
            for (u32 id = 5; id < 40; id += 3)
                w.destroy(id);
        if (f == 16)
            for (u32 id = 1000; id < 1020; ++id)
                w.create(id, *effect, at(f32(id - 1000), 4.0f, 0.5f));
        w.frame(1.0f / 30.0f, moving_view(f));
        u64 h = fnv(0xCBF29CE484222325ull, &f, 4);
        u32 entries = w.context.entries().size();
        h = fnv(h, &entries, 4);
        out.last_vertices.clear();
        out.last_vertex_count = 0;
        for (u32 i = 0; i < w.world.live_count(); ++i) {
            ParticleEffect *e = w.world.live(i);
            for (u32 k = 0; k < e->emitter_count(); ++k) {
                const ParticleEmitter &emitter = e->emitter(k);
                const u32 n = emitter.vertex_count();
                const size_t bytes = size_t(n) * emitter.info().stride;
                h = fnv(h, &n, 4);
                h = fnv(h, emitter.vertices(), bytes);
                out.last_vertices.insert(out.last_vertices.end(), emitter.vertices(), emitter.vertices() + bytes);
                out.last_vertex_count += n;
            }
        }
        out.frame_hashes.push_back(h);
    }
    out.state_hash = w.world.state_hash();
    EXPECT_TRUE(shading.device.errors().empty()) << shading.device.errors().front();
    return out;
}

TEST(ParticleVerticesTest, ManyEffectsBuildTheSameVertexBytesOnThePoolAsWithout)
{
    ThreadRegistry registry(default_allocator(), "main");
    const BuiltFrames alone = build_frames(nullptr);
    ASSERT_GT(alone.last_vertex_count, 10000u) << "the scene has particles to build";
    struct Case {
        const char *name;
        u32 workers;
    };
    const Case cases[] = {{"one worker", 1}, {"eight workers", 8}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ThreadPool pool(default_allocator(), c.workers, registry);
        const BuiltFrames pooled = build_frames(&pool);
        EXPECT_EQ(pooled.state_hash, alone.state_hash);
        EXPECT_EQ(pooled.last_vertex_count, alone.last_vertex_count);
        EXPECT_TRUE(pooled.last_vertices == alone.last_vertices) << "the last frame's vertex bytes";
        ASSERT_EQ(pooled.frame_hashes.size(), alone.frame_hashes.size());
        for (size_t f = 0; f < alone.frame_hashes.size(); ++f)
            EXPECT_EQ(pooled.frame_hashes[f], alone.frame_hashes[f]) << "frame " << f;
    }
}

// One sorted emitter over particles placed by hand: position (depth along the camera's
// forward axis, y) and their spawn index, copied to the vertex at offset 12.
struct PlacedParticles {
    EffectPtr resource;
    ParticleEffect *effect = nullptr;

    explicit PlacedParticles(const std::vector<f32> &depths)
    {
        ParticleSystemSource s;
        s.capacity = u32(depths.size());
        s.channels = {16, 4}; // position, index
        ParticleEmitterSource e;
        e.material = 0x1234;
        e.flags = 1; // sorted
        e.stride = 16;
        e.elements = {{0, 2, 0}, {4, 0, 0}};
        e.output = {particle_op(0, {s.at(0), 0}), particle_op(5, {s.at(1), 12})};
        s.emitters.push_back(e);
        ParticleEffectSource source;
        source.duration = 10;
        source.systems.push_back(s);
        resource = read_effect(write_particle_effect(source));
        if (!resource)
            return;
        effect = ParticleEffect::create(default_allocator(), *resource, 0, 0, matrix4x4_identity, 1);
        effect->spawn(0, {}, {}, u32(depths.size()));
        ParticleDataView v = effect->system(0).view();
        for (u32 i = 0; i < depths.size(); ++i) {
            v.vectors(s.at(0))[4 * i + 0] = f32(i % 7) - 3.0f; // sideways: no part of the depth
            v.vectors(s.at(0))[4 * i + 1] = depths[i];
            v.floats(s.at(1))[i] = f32(i);
        }
    }
    ~PlacedParticles() { ParticleEffect::destroy(effect, nullptr); }

    // The spawn indices in vertex order after a build from the origin looking along +y.
    std::vector<u32> built_order()
    {
        effect->build_vertices(matrix4x4_identity);
        const ParticleEmitter &emitter = effect->emitter(0);
        std::vector<u32> order;
        for (u32 i = 0; i < emitter.vertex_count(); ++i) {
            f32 index;
            memcpy(&index, emitter.vertices() + 16 * i + 12, 4);
            order.push_back(u32(index));
        }
        return order;
    }
};

TEST(ParticleVerticesTest, SortedEmittersGoFarthestFirstAndKeepEqualDepthsInOrder)
{
    const f32 nan = std::numeric_limits<f32>::quiet_NaN();
    std::vector<f32> spread, rising;
    u32 seed = 12345;
    for (u32 i = 0; i < 700; ++i) {
        seed = seed * 1664525u + 1013904223u;
        spread.push_back(f32((seed >> 16) % 40) * 0.5f - 10.0f); // many ties, long cycles
        rising.push_back(f32(i));
    }
    struct Case {
        const char *name;
        std::vector<f32> depths;
    };
    const Case cases[] = {
        {"distinct", {1, 3, 2}},
        {"ties keep their order", {2, 5, 2, 5, 2}},
        {"all equal", {4, 4, 4, 4}},
        {"behind the camera", {-1, 2, -3, 0}},
        {"nearest first reverses", rising},
        {"random with ties", spread},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PlacedParticles placed(c.depths);
        ASSERT_NE(placed.effect, nullptr);
        std::vector<u32> expected(c.depths.size());
        std::iota(expected.begin(), expected.end(), 0u);
        std::stable_sort(expected.begin(), expected.end(),
                         [&](u32 a, u32 b) { return c.depths[a] > c.depths[b]; });
        EXPECT_EQ(placed.built_order(), expected);
        EXPECT_EQ(placed.built_order(), expected) << "a second build of the same particles";
    }
    // NaN depths (a particle that blew up) order somewhere but lose no vertex, and the
    // others still go back to front.
    const std::vector<f32> with_nan = {1, nan, 3, nan, 2, -nan, 0};
    PlacedParticles placed(with_nan);
    ASSERT_NE(placed.effect, nullptr);
    std::vector<u32> order = placed.built_order();
    std::vector<u32> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    std::vector<u32> all(with_nan.size());
    std::iota(all.begin(), all.end(), 0u);
    EXPECT_EQ(sorted, all) << "every vertex once";
    std::vector<u32> finite;
    for (u32 i : order)
        if (!std::isnan(with_nan[i]))
            finite.push_back(i);
    EXPECT_EQ(finite, (std::vector<u32>{2, 4, 0, 6}));
}

TEST(ParticleVerticesTest, SteadyFramesAllocateNothingOnTheRenderSide)
{
    ThreadRegistry registry(default_allocator(), "main");
    EffectPtr effect = two_emitter_effect();
    ASSERT_TRUE(effect);
    struct Case {
        const char *name;
        u32 workers; // 0: no pool
    };
    const Case cases[] = {{"no pool", 0}, {"eight workers", 8}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SpriteShading shading;
        RecordingAllocator world_memory, context_memory, pool_memory;
        std::unique_ptr<ThreadPool> pool;
        if (c.workers)
            pool = std::make_unique<ThreadPool>(pool_memory, c.workers, registry);
        {
            DrawnEffects w(shading, pool.get(), world_memory, context_memory, *effect, 200);
            for (u32 f = 0; f < 60; ++f)
                w.frame(1.0f / 30.0f, moving_view(f));
            ASSERT_GT(w.context.entries().size(), 200u) << "the effects draw";
            const u64 world_calls = world_memory.allocate_calls();
            const u64 context_calls = context_memory.allocate_calls();
            const size_t pool_events = pool_memory.events().size();
            constexpr u32 frames = 20;
            for (u32 f = 60; f < 60 + frames; ++f)
                w.frame(1.0f / 30.0f, moving_view(f));
            EXPECT_EQ(world_memory.allocate_calls(), world_calls) << "effects, vertices, sorting, feedback";
            EXPECT_EQ(context_memory.allocate_calls(), context_calls) << "the draws' constants";
            // The pool's own records of the two jobs a frame: a few small blocks, however
            // many effects there are.
            const std::vector<RecordingAllocator::Event> events = pool_memory.events();
            u32 allocations = 0;
            u64 largest = 0;
            for (size_t i = pool_events; i < events.size(); ++i)
                if (events[i].call == RecordingAllocator::Call::Allocate) {
                    ++allocations;
                    largest = std::max(largest, events[i].size);
                }
            EXPECT_LE(allocations, 4 * frames);
            EXPECT_LE(largest, 8192u);
        }
        EXPECT_TRUE(shading.device.errors().empty()) << shading.device.errors().front();
    }
}

} // namespace
} // namespace tallow

// The particle worlds through the state stream: create, stop, destroy, move, link and
// release, reload, material tables, feedback, the same particles on 1 and 8 workers, and
// an effect's instanced billboard draw.
#include "render/particles/particle_world.h"
#include "render/particles/render_particle_world.h"

#include "foundation/memory/trace_allocator.h"
#include "foundation/threads/thread_pool.h"
#include "foundation/threads/thread_registry.h"
#include "render/materials/material_resource.h"
#include "render/resources/render_resource_set.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/render/particles/particle_fixture.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/fakes/recording_render_device.h"
#include "tests/support/writers/material_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tallow {
namespace {

using namespace test;

Matrix4x4 at(f32 x)
{
    Matrix4x4 m = matrix4x4_identity;
    m.m[3][0] = x;
    return m;
}

// A World's two particle sides over a render world; frame() hands the state buffer across
// and runs the particle update, as the world-update message does.
struct ParticleWorlds {
    explicit ParticleWorlds(ThreadPool *pool = nullptr, ShaderManager *shaders = nullptr,
                            RenderDevice *device = nullptr)
        : device(device)
    {
        render = std::make_unique<RenderWorld>(allocator, nullptr);
        link = std::make_unique<WorldRenderLink>(allocator, render->acquire_state_buffer());
        game = std::make_unique<ParticleWorld>(allocator, *render, *link, pool, shaders);
    }
    ~ParticleWorlds()
    {
        game.reset();
        frame(0);
        link.reset();
        render.reset();
    }
    void frame(f32 dt)
    {
        RenderResourceContext *context = device ? device->alloc_resource_context() : nullptr;
        RenderStateQueue *filled = link->swap_state(render->acquire_state_buffer());
        render->update_state(*filled, context);
        render->release_state_buffer(filled);
        link->handles().collect();
        if (RenderParticleWorld *p = render->particle_world())
            p->update_from_world(dt, context);
        if (context) {
            device->update_resources(1, &context);
            device->release_resource_context(context);
        }
    }
    RenderParticleWorld &side() { return *render->particle_world(); }
    u32 scene_graph()
    {
        Matrix4x4 nodes[2] = {at(10), at(20)};
        u32 handle = no_render_handle;
        return render->create_scene_graph(*link, handle, nodes, 2);
    }

    TraceAllocator allocator{"particle_world_test", default_allocator()};
    RenderDevice *device;
    std::unique_ptr<RenderWorld> render;
    std::unique_ptr<WorldRenderLink> link;
    std::unique_ptr<ParticleWorld> game;
};

ParticleEffectSource short_effect()
{
    ParticleEffectSource e = typical_effect(64, 100.0f);
    return e;
}

TEST(ParticleWorldTest, MessagesOnUnknownIdsChangeNothingAndEffectsLeaveWhenDone)
{
    EffectPtr effect = read_effect(write_particle_effect(short_effect()));
    ASSERT_TRUE(effect);
    ParticleWorlds w;
    const u32 a = w.game->create_particles(1, *effect, nullptr, at(1));
    const u32 b = w.game->create_particles(1, *effect, nullptr, at(2));
    w.frame(0.1f);
    ASSERT_EQ(w.side().live_count(), 2u);
    const u64 before = w.side().state_hash();
    w.game->destroy_particles(99);
    w.game->stop_spawning(98);
    w.game->move_particles(97, at(5));
    w.game->link_particles(96, 0, 0, matrix4x4_identity, ParticleLinkPolicy::Destroy);
    w.frame(0.0f);
    EXPECT_EQ(w.side().live_count(), 2u);
    EXPECT_EQ(w.side().state_hash(), before) << "unknown ids touch no effect";

    w.game->move_particles(a, at(7));
    w.game->destroy_particles(b);
    w.frame(0.1f);
    ASSERT_EQ(w.side().live_count(), 1u);
    EXPECT_EQ(w.side().find(a)->pose().m[3][0], 7.0f);
    EXPECT_EQ(w.side().find(b), nullptr);

    w.game->stop_spawning(a);
    u32 frames = 0;
    while (w.side().find(a) && frames++ < 200)
        w.frame(0.1f);
    EXPECT_EQ(w.side().find(a), nullptr) << "a stopped effect goes once its last particle died";
    EXPECT_LT(frames, 200u);
}

TEST(ParticleWorldTest, EffectOlderThanItsDurationGoesWithLiveParticles)
{
    EffectPtr effect = read_effect(write_particle_effect(typical_effect(64, 0.5f)));
    ParticleWorlds w;
    const u32 id = w.game->create_particles(1, *effect, nullptr, matrix4x4_identity);
    w.frame(0.1f);
    for (u32 i = 0; i < 4; ++i)
        w.frame(0.1f);
    ASSERT_NE(w.side().find(id), nullptr);
    EXPECT_GT(w.side().find(id)->live_total(), 0u);
    w.frame(0.1f); // time 0.6 > 0.5 after this step
    w.frame(0.1f);
    EXPECT_EQ(w.side().find(id), nullptr);
}

TEST(ParticleWorldTest, LinksFollowTheirNodeAndActOnTheirPolicyWhenTheUnitGoes)
{
    EffectPtr effect = read_effect(write_particle_effect(short_effect()));
    ParticleWorlds w;
    const u32 graph = w.scene_graph();
    u32 ids[3];
    for (u32 p = 0; p < 3; ++p) {
        ids[p] = w.game->create_particles(1, *effect, nullptr, matrix4x4_identity);
        w.game->link_particles(ids[p], graph, 1, at(f32(p)), ParticleLinkPolicy(p));
    }
    w.frame(0.1f);
    w.frame(0.1f);
    for (u32 p = 0; p < 3; ++p)
        EXPECT_EQ(w.side().find(ids[p])->pose().m[3][0], 20.0f + f32(p)) << "offset x node";
    u32 handle = graph;
    w.render->destroy_object(*w.link, handle);
    w.frame(0.1f);
    w.frame(0.1f);
    EXPECT_EQ(w.side().find(ids[0]), nullptr) << "policy destroy";
    ASSERT_NE(w.side().find(ids[1]), nullptr);
    EXPECT_FALSE(w.side().find(ids[1])->is_spawning()) << "policy stop";
    ASSERT_NE(w.side().find(ids[2]), nullptr);
    EXPECT_TRUE(w.side().find(ids[2])->is_spawning()) << "policy unlink keeps it running";
    EXPECT_EQ(w.side().find(ids[2])->pose().m[3][0], 22.0f) << "where the unit left it";
}

TEST(ParticleWorldTest, ReloadRestartsOnlyThatResourcesEffectsKeepingIdAndPose)
{
    EffectPtr first = read_effect(write_particle_effect(short_effect()));
    EffectPtr other = read_effect(write_particle_effect(short_effect()));
    EffectPtr fresh = read_effect(write_particle_effect(typical_effect(32, 50)));
    ParticleWorlds w;
    const u32 a = w.game->create_particles(1, *first, nullptr, at(3));
    const u32 b = w.game->create_particles(2, *other, nullptr, at(4));
    w.frame(0.1f);
    w.game->post_reload(*first, *fresh);
    first.reset(); // the old data goes right after the hand-over, before the render side runs
    w.frame(0.1f);
    ASSERT_NE(w.side().find(a), nullptr);
    EXPECT_EQ(&w.side().find(a)->resource(), fresh.get());
    EXPECT_EQ(w.side().find(a)->pose().m[3][0], 3.0f);
    EXPECT_EQ(&w.side().find(b)->resource(), other.get());
    w.frame(0.1f);
}

TEST(ParticleWorldTest, MaterialTableGoesOnceAndIsKeptByName)
{
    EffectPtr effect = read_effect(write_particle_effect(short_effect()));
    Allocator &a = default_allocator();
    MaterialResource materials(a);
    materials.entries.push_back(make_new<MaterialEntry>(a, a));
    materials.entries[0]->name = 0x1234;
    ParticleWorlds w;
    w.game->create_particles(1, *effect, &materials, matrix4x4_identity);
    w.game->create_particles(1, *effect, &materials, matrix4x4_identity);
    u32 tables = 0, at_ = w.link->state()->update_stream(0).first_record();
    RenderStateStream::Record record;
    while (w.link->state()->update_stream(0).read(at_, record))
        tables += record.kind == u32(ParticleMessage::Materials);
    EXPECT_EQ(tables, 1u) << "a second effect of the resource sends no second table";
    w.frame(0.1f);
    EXPECT_EQ(w.side().material_table_count(), 1u);
}

TEST(ParticleWorldTest, FeedbackArrivesInOrderAndGridRequestsAreAnsweredById)
{
    EffectPtr effect = read_effect(write_particle_effect(short_effect()));
    ParticleWorlds w;
    const u32 a = w.game->create_particles(1, *effect, nullptr, at(0));
    const u32 b = w.game->create_particles(1, *effect, nullptr, at(50));
    w.frame(0.1f);
    w.frame(0.1f);
    Array<u8> records(default_allocator());
    w.game->take_feedback(records);
    std::vector<std::pair<u32, u32>> seen; // (record id, effect of a grid request)
    u32 at_ = 0;
    ParticleGridRequest request{};
    while (at_ + 8 <= records.size()) {
        u32 head[2];
        memcpy(head, records.data() + at_, 8);
        u32 effect_id = 0xFFFFFFFFu;
        if (head[1] == particle_grid_feedback) {
            memcpy(&request, records.data() + at_ + 8, sizeof request);
            effect_id = request.id;
        }
        seen.push_back({head[1], effect_id});
        at_ += 8 + head[0];
    }
    EXPECT_EQ(at_, records.size());
    // Frame 1: grid requests of a then b (once each), no trail yet (no particles
    // simulated); frame 2: a's trail, then b's.
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(particle_grid_feedback, a));
    EXPECT_EQ(seen[1].second, b);
    EXPECT_EQ(seen.back().first, particle_trail_feedback);
    Array<u8> empty(default_allocator());
    w.game->take_feedback(empty);
    EXPECT_EQ(empty.size(), 0u) << "taken once";

    // The answer: every height 1.5; particles that reach it bounce.
    std::vector<f32> heights(request.header.n * request.header.n, 1.5f);
    w.game->send_heights(request, heights.data());
    w.frame(0.1f);
    ParticleEffect *e = w.side().find(request.id);
    ASSERT_NE(e, nullptr);
    const u8 *grid = e->system(request.system).state() + request.state_offset;
    f32 stored;
    memcpy(&stored, grid + 20, 4);
    EXPECT_EQ(stored, 1.5f);
}

u64 run_world(ThreadPool *pool, u32 frames)
{
    EffectPtr effect = read_effect(write_particle_effect(typical_effect(512, 100)));
    ParticleWorlds w(pool);
    for (u32 i = 0; i < 24; ++i)
        w.game->create_particles(1, *effect, nullptr, at(f32(i)));
    for (u32 f = 0; f < frames; ++f) {
        if (f == 10)
            w.game->destroy_particles(3);
        w.frame(1.0f / 30.0f);
    }
    u64 hash = w.side().state_hash();
    Array<u8> records(default_allocator());
    w.game->take_feedback(records);
    for (u8 byte : records)
        hash = (hash ^ byte) * 0x100000001B3ull;
    return hash;
}

TEST(ParticleWorldTest, SameParticlesOnOneAndEightWorkers)
{
    ThreadRegistry registry(default_allocator(), "main");
    const u64 alone = run_world(nullptr, 40);
    u64 one, eight;
    {
        ThreadPool pool(default_allocator(), 1, registry);
        one = run_world(&pool, 40);
    }
    {
        ThreadPool pool(default_allocator(), 8, registry);
        eight = run_world(&pool, 40);
    }
    EXPECT_EQ(one, alone);
    EXPECT_EQ(eight, one);
    EXPECT_NE(run_world(nullptr, 41), alone) << "the hash sees the state";
}

TEST(ParticleWorldTest, EffectDrawsItsLiveParticlesAsInstancedBillboards)
{
    Allocator &a = default_allocator();
    RecordingRenderDevice device(a);
    BackBufferWrapper back_buffer(a, 0);
    device.add_window_targets(0, &back_buffer);
    std::vector<LibraryPtr> libraries;
    {
        ShaderManager shaders(device, a);
        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"sprite", {{"alpha", ShaderValueType::Scalar}}, {}, {{"alpha", "v", "p"}}}));
        source.templates.push_back({id32("sprite"), {{id32("default"), {{id32("sprite"), {}}}}}});
        libraries.push_back(read_library(source));
        LayerConfig config(a);
        Layer layer;
        layer.name = id32("alpha");
        ASSERT_TRUE(make_layer_key(0, &layer.key));
        config.layers.push_back(layer);
        libraries.back()->passes[0].keys.sort_bits[0] = 1 | layer.key;
        ASSERT_TRUE(shaders.add_shader_library(*libraries.back()));
        shaders.update_templates(*libraries.back());

        MaterialResource materials(a);
        materials.entries.push_back(make_new<MaterialEntry>(a, a));
        materials.entries[0]->name = 0x1234;
        materials.entries[0]->shader_template = id32("sprite");
        EffectPtr effect = read_effect(write_particle_effect(typical_effect(128, 100)));
        EffectPtr reloaded = read_effect(write_particle_effect(typical_effect(128, 100)));
        {
            ParticleWorlds w(nullptr, &shaders, &device);
            // Reloaded data keeps the material table (kept by name, not by data); an effect
            // of a name without a table simulates and draws nothing.
            w.game->create_particles(7, *effect, &materials, matrix4x4_identity);
            w.game->create_particles(8, *effect, nullptr, matrix4x4_identity);
            w.frame(0.05f);
            w.game->post_reload(*effect, *reloaded);
            const u32 id = 0;
            for (u32 f = 0; f < 6; ++f)
                w.frame(0.05f);
            ASSERT_EQ(&w.side().find(id)->resource(), reloaded.get());
            EXPECT_GT(w.side().find(1)->live_total(), 0u);
            ParticleEffect *e = w.side().find(id);
            ASSERT_NE(e, nullptr);
            const u32 live = e->system(0).live_count;
            ASSERT_GT(live, 1u);
            RenderResourceSet resources(a);
            RenderContext *context = device.alloc_render_context();
            context->bind_layer_config(&config, &resources);
            ParticleView camera;
            camera.pose.m[3][1] = -10;
            w.side().render(camera, *context);
            device.dispatch(1, &context);
            device.release_render_context(context);
            const auto &commands = device.frames().back().commands;
            const DecodedCommand *draw = nullptr;
            const DecodedCommand *upload = nullptr;
            u32 draws = 0;
            for (const DecodedCommand &c : commands) {
                if (c.type == RenderCommand::DrawBatch) {
                    draw = &c;
                    ++draws;
                }
                if (c.type == RenderCommand::UpdateVertexBuffer)
                    upload = &c;
            }
            EXPECT_EQ(draws, 1u) << "the effect without a material table draws nothing";
            ASSERT_NE(draw, nullptr);
            ASSERT_NE(upload, nullptr);
            const ParticleEmitter &emitter = e->emitter(0);
            EXPECT_EQ(draw->draw.instance_count, live) << "one instance per live particle";
            EXPECT_EQ(draw->draw.vertex_count, 4u);
            EXPECT_EQ(draw->draw.primitive_count, 2u);
            ASSERT_EQ(draw->bindings.size(), 4u);
            EXPECT_EQ(draw->bindings[0].handle, emitter.corner_buffer().resource.handle);
            EXPECT_EQ(draw->bindings[1].handle, emitter.instance_buffer().resource.handle);
            EXPECT_EQ(draw->bindings[2].kind, 6u);
            EXPECT_EQ(upload->buffer.description.resource.handle, emitter.instance_buffer().resource.handle);
            EXPECT_EQ(emitter.instance_buffer().element_size, 24u);
            // The quad: 4 corners, 6 indices; the declaration: corner + 4 per-instance elements.
            EXPECT_EQ(emitter.corner_buffer().element_count, 4u);
            EXPECT_EQ(emitter.index_buffer().element_count, 6u);
            EXPECT_EQ(emitter.declaration().channel_count, 5u);
            EXPECT_EQ(emitter.declaration().channels[1].per_instance, 1u);
            // Sorted back to front along the camera's forward axis (y).
            const u8 *v = emitter.vertices();
            for (u32 i = 1; i < emitter.vertex_count(); ++i) {
                f32 y0, y1;
                memcpy(&y0, v + (i - 1) * 24 + 4, 4);
                memcpy(&y1, v + i * 24 + 4, 4);
                ASSERT_GE(y0, y1) << i;
            }
        }
    }
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();
}


TEST(ParticleWorldTest, EmittersFileTheirDrawsInTheirShadersLayerEarlierEmittersFirst)
{
    Allocator &a = default_allocator();
    RecordingRenderDevice device(a);
    BackBufferWrapper back_buffer(a, 0);
    device.add_window_targets(0, &back_buffer);
    std::vector<LibraryPtr> libraries;
    {
        // Only the vertex colour variant exists: the emitters draw only when they ask for it.
        ShaderManager shaders(device, a);
        ShaderLibrarySource source;
        source.shaders.push_back(build_shader({"sprite_colour", {{"alpha", ShaderValueType::Scalar}}, {}, {{"alpha", "v", "p"}}}));
        source.templates.push_back({id32("sprite:VERTEX_COLOR"), {{id32("default"), {{id32("sprite_colour"), {}}}}}});
        libraries.push_back(read_library(source));
        LayerConfig config(a);
        for (const char *name : {"opaque", "alpha"}) {
            Layer layer;
            layer.name = id32(name);
            ASSERT_TRUE(make_layer_key(config.layers.size(), &layer.key));
            config.layers.push_back(layer);
        }
        const u64 alpha_key = config.layers[1].key;
        libraries.back()->passes[0].keys.sort_bits[0] = 1 | alpha_key;
        libraries.back()->passes[0].keys.sort_mode[0] = SortMode::BackFront;
        ASSERT_TRUE(shaders.add_shader_library(*libraries.back()));
        shaders.update_templates(*libraries.back());

        MaterialResource materials(a);
        materials.entries.push_back(make_new<MaterialEntry>(a, a));
        materials.entries[0]->name = 0x1234;
        materials.entries[0]->shader_template = id32("sprite");
        for (char c : std::string("sprite"))
            materials.entries[0]->shader_name.push_back(c);
        // Two systems with an emitter each.
        ParticleEffectSource source_effect = typical_effect(128, 100);
        source_effect.systems.push_back(typical_system(64, 1)); // spawning into itself
        for (ParticleSystemSource &system : source_effect.systems)
            system.emitters[0].flags |= particle_emitter_flags::vertex_colour;
        EffectPtr effect = read_effect(write_particle_effect(source_effect));
        ASSERT_TRUE(effect);
        ParticleWorlds w(nullptr, &shaders, &device);
        w.game->create_particles(7, *effect, &materials, matrix4x4_identity);
        for (u32 f = 0; f < 6; ++f)
            w.frame(0.05f);
        ParticleEffect *e = w.side().find(0);
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(e->emitter_count(), 2u);
        EXPECT_EQ(e->emitter(0).shader_template(), id32("sprite:VERTEX_COLOR"));
        ASSERT_GT(e->system(0).live_count, 0u);
        ASSERT_GT(e->system(1).live_count, 0u);
        EXPECT_GT(e->emitter_order(0), e->emitter_order(1));

        RenderResourceSet resources(a);
        RenderContext *context = device.alloc_render_context();
        context->bind_layer_config(&config, &resources);
        ParticleView view;
        view.pose.m[3][1] = -10;
        w.side().render(view, *context);
        device.dispatch(1, &context);
        device.release_render_context(context);
        std::vector<const DecodedCommand *> draws;
        for (const DecodedCommand &c : device.frames().back().commands)
            if (c.type == RenderCommand::DrawBatch)
                draws.push_back(&c);
        ASSERT_EQ(draws.size(), 2u);
        // Both in the alpha layer; far first in a back-to-front layer, and the first
        // emitter's order value is the larger one, so it is drawn first (under the second).
        for (const DecodedCommand *d : draws)
            EXPECT_EQ(u64(d->key) & alpha_key, alpha_key);
        EXPECT_LT(draws[0]->entry_index, draws[1]->entry_index);
        EXPECT_EQ(draws[0]->draw.instance_count, e->system(0).live_count);
        EXPECT_EQ(draws[1]->draw.instance_count, e->system(1).live_count);
    }
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();
}

TEST(ParticleWorldTest, EmittersDrawWithTheVariantOfTheirMaterialsNamedTemplate)
{
    Allocator &a = default_allocator();
    // Materials written with their template names, read back as the engine loads them.
    MaterialSource spark;
    spark.name = id32("spark");
    spark.shader_template = id32("particle");
    spark.shader_name = "particle";
    MaterialSource plain;
    plain.name = id32("plain");
    plain.shader_template = id32("sprite");
    plain.shader_name = "sprite";
    const std::vector<u8> bytes = write_material_resource({spark, plain});
    MaterialResource *named = read_material_resource(bytes.data(), bytes.size(), a);
    ASSERT_NE(named, nullptr);
    const MaterialEntry &entry = *named->entries[0];
    ASSERT_EQ(std::string(entry.shader_name.begin(), entry.shader_name.end()), "particle");

    namespace f = particle_emitter_flags;
    struct Case {
        const char *name;
        u32 flags;
        const char *expected;
    };
    const Case cases[] = {
        {"no variant flags (sorting is not one)", 0x01, "particle"},
        {"pivot", f::pivot, "particle:PIVOT"},
        {"rotation", f::rotation, "particle:ROTATION"},
        {"vertex colour", f::vertex_colour, "particle:VERTEX_COLOR"},
        {"all three, in their order", f::vertex_colour | f::rotation | f::pivot | 1, "particle:PIVOT:ROTATION:VERTEX_COLOR"},
        {"pivot and vertex colour", f::pivot | f::vertex_colour, "particle:PIVOT:VERTEX_COLOR"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool named_ok = false;
        EXPECT_EQ(particle_shader_template(entry, c.flags, &named_ok), id32(c.expected));
        EXPECT_TRUE(named_ok);
    }

    // Data without names (or with a names block that does not match) still loads; a variant
    // then falls back to the plain template, and says so.
    std::vector<u8> unnamed = bytes;
    const std::vector<u8> bare = write_material_resource({MaterialSource{}, MaterialSource{}});
    struct Damage {
        const char *name;
        std::vector<u8> data;
    };
    std::vector<u8> wrong_count = bytes, truncated = bytes, long_name = bytes;
    const size_t block = bare.size(); // the names block starts where unnamed data ends
    wrong_count[block] = 3;
    truncated.resize(truncated.size() - 2);
    long_name[block + 4] = 0x00;
    long_name[block + 5] = 0x01; // 256 bytes
    const Damage damages[] = {{"wrong count", wrong_count}, {"truncated", truncated}, {"name past 255", long_name}};
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.name);
        MaterialResource *m = read_material_resource(d.data.data(), d.data.size(), a);
        ASSERT_NE(m, nullptr) << "the materials load without their names";
        ASSERT_EQ(m->entries.size(), 2u);
        EXPECT_TRUE(m->entries[0]->shader_name.empty());
        EXPECT_TRUE(m->entries[1]->shader_name.empty());
        bool named_ok = true;
        EXPECT_EQ(particle_shader_template(*m->entries[0], f::vertex_colour, &named_ok), id32("particle"));
        EXPECT_FALSE(named_ok);
        destroy_material_resource(m);
    }
    destroy_material_resource(named);
}

} // namespace
} // namespace tallow

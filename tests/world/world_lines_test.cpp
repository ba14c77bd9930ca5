// A World's debug lines and GUIs over a real render world: line objects made by scripts go
// to the drawer of their pool, the world's own line objects are sent every frame, destroyed
// line objects leave their drawer, particle debug lines arrive through the feedback walk.
#include "foundation/memory/memory_globals.h"
#include "render/gui/gui.h"
#include "render/lines/render_line_object_drawer.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "world/world.h"
#include "world/world_events.h"

#include <gtest/gtest.h>

#include <vector>

namespace tallow {
namespace {

/// Adds the trail records the test queued to the world's lines, as the particle service
/// does with its feedback in its update.
class FeedbackParticles final : public IParticleWorld {
  public:
    explicit FeedbackParticles(World &world) : _world(world) {}
    void update(f32) override
    {
        Array<u8> stream(default_allocator());
        for (u8 b : pending)
            stream.push_back(b);
        pending.clear();
        walk_world_events(stream, [&](u32 id, const u8 *record, u32 payload_size) {
            if (id == 0x15BFF7EF)
                add_line_pairs(*_world.world_line_object(2), 0xFFFFFF00u, record + 8, payload_size);
        });
    }
    static inline std::vector<u8> pending;

  private:
    World &_world;
};

IParticleWorld *make_feedback_particles(const WorldServiceParams &p)
{
    return make_new<FeedbackParticles>(p.allocator, p.world);
}

class WorldLines : public ::testing::Test {
  protected:
    Allocator &a = default_allocator();
    RenderWorld render_world{a, nullptr};
    WorldRenderLink link{a, render_world.acquire_state_buffer()};
    WorldServiceFactories factories;
    World *world = nullptr;

    void SetUp() override
    {
        factories.particles = make_feedback_particles;
        WorldParams params;
        params.render_world = &render_world;
        params.render_link = &link;
        params.factories = &factories;
        world = make_new<World>(a, a, params);
        flush();
    }
    void TearDown() override
    {
        delete_with_allocator(a, world);
        flush();
        EXPECT_EQ(render_world.live_object_count(), 0u);
    }
    void flush()
    {
        RenderStateQueue *filled = link.swap_state(render_world.acquire_state_buffer());
        render_world.update_state(*filled, nullptr);
        render_world.release_state_buffer(filled);
    }
    void step()
    {
        world->update(1.0f / 30);
        flush();
    }
    /// The world's three drawers: plain, then the two without depth test.
    std::vector<RenderLineObjectDrawer *> drawers()
    {
        std::vector<RenderLineObjectDrawer *> out;
        for (const RenderRecord &r : render_world.unculled())
            if (r.class_id == u32(RenderObjectClass::LineObjectDrawer))
                out.push_back(static_cast<RenderLineObjectDrawer *>(render_world.object_in_slot(r.slot)));
        return out;
    }
};

TEST_F(WorldLines, ScriptLineObjectsDrawThroughTheirPoolsDrawerUntilDestroyed)
{
    ASSERT_EQ(drawers().size(), 3u);
    LineObject *plain = world->create_line_object(false);
    LineObject *over = world->create_line_object(true);
    ASSERT_TRUE(plain && over);
    EXPECT_EQ(World::line_object_owner(plain), world);
    EXPECT_EQ(World::line_object_owner(world->world_line_object(0)), nullptr); // not a script's
    plain->add_line(1, {0, 0, 0}, {1, 0, 0});
    over->add_box(2, matrix4x4_identity, {1, 1, 1});
    world->dispatch_line_object(*plain);
    world->dispatch_line_object(*over);
    flush();
    auto d = drawers();
    EXPECT_EQ(d[0]->primitive_count(), 1u);
    EXPECT_EQ(d[1]->primitive_count(), 12u);
    EXPECT_EQ(d[2]->primitive_count(), 0u);

    // Reset and an empty dispatch: the lines stay drawn.
    over->reset();
    world->dispatch_line_object(*over);
    flush();
    EXPECT_EQ(d[1]->primitive_count(), 12u);

    // Destroyed: its drawer forgets its lines.
    EXPECT_TRUE(world->destroy_line_object(over));
    EXPECT_FALSE(world->destroy_line_object(over));
    EXPECT_EQ(World::line_object_owner(over), nullptr);
    flush();
    EXPECT_EQ(d[1]->primitive_count(), 0u);
    EXPECT_EQ(d[0]->primitive_count(), 1u);
}

TEST_F(WorldLines, TheWorldsOwnLinesAreSentEveryFrameAndTheFrameLinesEmptied)
{
    LineObject *frame = world->world_line_object(0);
    LineObject *permanent = world->world_line_object(1);
    ASSERT_TRUE(frame && permanent && world->world_line_object(2));
    EXPECT_EQ(world->world_line_object(3), nullptr);
    frame->add_line(1, {0, 0, 0}, {1, 0, 0});
    permanent->add_circle(2, {0, 0, 0}, 1, {0, 0, 1}, 8);
    step();
    auto d = drawers();
    EXPECT_EQ(d[0]->primitive_count(), 9u);
    EXPECT_TRUE(frame->lines().empty());
    EXPECT_EQ(permanent->lines().size(), 8u);
    world->clear_permanent_lines();
    EXPECT_TRUE(permanent->lines().empty());
    permanent->add_line(3, {0, 0, 0}, {0, 0, 1});
    step();
    // The permanent object's range shrank to its one line; the frame lines stay from their
    // last non-empty dispatch.
    EXPECT_EQ(d[0]->primitive_count(), 2u);
}

TEST_F(WorldLines, ParticleDebugLinesArriveInTheLinesWithoutDepthTest)
{
    auto record = [](u32 claimed, u32 held) {
        std::vector<u8> payload(4 + held * 24);
        memcpy(payload.data(), &claimed, 4);
        for (u32 i = 0; i < held * 6; ++i) {
            f32 v = f32(i);
            memcpy(payload.data() + 4 + i * 4, &v, 4);
        }
        Array<u8> stream(default_allocator());
        append_world_event(stream, 0x15BFF7EF, payload.data(), u32(payload.size()));
        append_world_event(stream, 0x12345678, payload.data(), 4); // another record: skipped
        return std::vector<u8>(stream.begin(), stream.end());
    };
    FeedbackParticles::pending = record(2, 2);
    std::vector<u8> liar = record(1000, 1); // claims more than it holds
    FeedbackParticles::pending.insert(FeedbackParticles::pending.end(), liar.begin(), liar.end());
    // The particle world's update comes before the frame's lines go out.
    step();
    auto d = drawers();
    ASSERT_EQ(d[2]->primitive_count(), 3u);
    EXPECT_EQ(d[2]->vertices()[0].color, 0xFFFFFF00u);
    EXPECT_EQ(d[2]->vertices()[1].x, 3.0f);
    EXPECT_TRUE(world->world_line_object(2)->lines().empty()); // emptied after sending
}

TEST_F(WorldLines, GuisBelongToTheirWorld)
{
    ASSERT_TRUE(world->gui().is_available());
    GuiCreateParams params;
    Gui *gui = world->gui().create_gui(params);
    ASSERT_NE(gui, nullptr);
    EXPECT_EQ(World::gui_owner(gui), world);
    flush();
    EXPECT_EQ(render_world.unculled().size(), 4u);
    EXPECT_TRUE(world->gui().destroy_gui(gui));
    EXPECT_EQ(World::gui_owner(gui), nullptr);
    flush();
    EXPECT_EQ(render_world.unculled().size(), 3u);
}

TEST(WorldWithoutRenderWorld, LineObjectsWorkAndGuisAreMissing)
{
    World world(default_allocator(), WorldParams{});
    LineObject *lines = world.create_line_object(true);
    ASSERT_NE(lines, nullptr);
    lines->add_line(1, {0, 0, 0}, {1, 1, 1});
    world.dispatch_line_object(*lines); // nowhere to send: nothing happens
    world.update(0.1f);
    EXPECT_TRUE(world.destroy_line_object(lines));
    EXPECT_FALSE(world.gui().is_available());
}

} // namespace
} // namespace tallow

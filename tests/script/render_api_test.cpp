// The LineObject and Gui tables, the World's line-object and GUI functions and the global
// constructors, called from Lua over a world with a render world: good calls reach the line
// objects and the render side's batches, bad arguments raise naming the function.
#include "script_fixture.h"

#include "render/gui/font.h"
#include "render/gui/gui.h"
#include "render/gui/render_gui.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "script/render/render_api.h"
#include "script/script_api.h"
#include "script/world/world_api.h"
#include "tests/render/shaders/shader_test_support.h"
#include "tests/support/writers/font_writer.h"
#include "world/world.h"

namespace tallow::test {
namespace {

FakeResources *g_resources = nullptr;
f32 g_aspect = -1;

/// The GUI service over the test's fake resources.
class TestGuiWorld final : public IGuiWorld {
  public:
    TestGuiWorld(Allocator &a, const WorldServiceParams &p) : _guis(a, *p.render_world, *p.render_link, g_resources->lookup()) {}
    void update(f32) override {}
    bool is_available() const override { return true; }
    Gui *create_gui(const GuiCreateParams &params) override { return _guis.create_gui(params); }
    bool destroy_gui(Gui *gui) override { return _guis.destroy_gui(gui); }
    bool owns(const Gui *gui) const override { return _guis.owns(gui); }

  private:
    GuiWorld _guis;
};

IGuiWorld *make_test_gui_world(const WorldServiceParams &p) { return make_new<TestGuiWorld>(p.allocator, p.allocator, p); }

bool test_resolution(LuaEnvironment &, u32 &w, u32 &h, f32 &aspect)
{
    w = 1280;
    h = 720;
    aspect = g_aspect;
    return true;
}

class RenderApiTest : public ScriptTest {
  protected:
    Allocator &a = default_allocator();
    FakeResources resources;
    std::vector<u8> font_bytes;
    FontResource font;
    RenderWorld render_world{a, nullptr};
    WorldRenderLink link{a, render_world.acquire_state_buffer()};
    WorldServiceFactories factories;
    World *world = nullptr;
    World *bare = nullptr; // no render world: no GUI service

    RenderApiTest()
    {
        g_resources = &resources;
        g_aspect = -1;
        FontDescription f;
        f.glyphs = {{'?', 0, 0, 6, 10, 0, 1, 7}, {'A', 10, 20, 8, 12, 1, 2, 9}};
        font_bytes = write_font(f);
        EXPECT_TRUE(read_font(font_bytes.data(), font_bytes.size(), font.font));
        resources.put("font", "fonts/test", &font);
        register_script_api(env, nullptr, nullptr, a);
        set_gui_resolution_source(test_resolution);
        factories.gui = make_test_gui_world;
        WorldParams params;
        params.render_world = &render_world;
        params.render_link = &link;
        params.factories = &factories;
        world = make_new<World>(a, a, params);
        bare = make_new<World>(a, a, WorldParams{});
        push_world(env.state(), world);
        lua_setglobal(env.state(), "w");
        push_world(env.state(), bare);
        lua_setglobal(env.state(), "bare");
    }
    ~RenderApiTest() override
    {
        lua_pushnil(env.state());
        lua_setglobal(env.state(), "w");
        delete_with_allocator(a, world);
        delete_with_allocator(a, bare);
        flush();
        set_gui_resolution_source(nullptr);
        g_resources = nullptr;
    }
    void flush()
    {
        RenderStateQueue *filled = link.swap_state(render_world.acquire_state_buffer());
        render_world.update_state(*filled, nullptr);
        render_world.release_state_buffer(filled);
    }
    LineObject *global_line_object(const char *name)
    {
        lua_getglobal(env.state(), name);
        auto *p = static_cast<LineObject *>(lua_touserdata(env.state(), -1));
        lua_pop(env.state(), 1);
        return p;
    }
    std::vector<RenderGui *> render_guis()
    {
        std::vector<RenderGui *> out;
        for (const RenderRecord &r : render_world.unculled())
            if (r.class_id == u32(RenderObjectClass::Gui))
                out.push_back(static_cast<RenderGui *>(render_world.object_in_slot(r.slot)));
        return out;
    }
};

TEST_F(RenderApiTest, LineObjectFunctionsAddTheirShapes)
{
    ASSERT_EQ(run("lo = World.create_line_object(w)\n"
                  "over = World.create_line_object(w, true)\n"
                  "local red = Color(255, 0, 0)\n"
                  "LineObject.add_line(lo, red, Vector3(0, 0, 0), Vector3(1, 0, 0))\n"        // 1
                  "LineObject.add_circle(lo, red, Vector3(0, 0, 0), 1, Vector3(0, 0, 1))\n"   // 20
                  "LineObject.add_circle(lo, red, Vector3(0, 0, 0), 1, Vector3(0, 0, 1), 5)\n" // 5
                  "LineObject.add_sphere(lo, red, Vector3(0, 0, 0), 1, 20, 1)\n"              // 60
                  "LineObject.add_sphere(lo, red, Vector3(0, 0, 0), 1, 20, 1, 'x')\n"         // nothing
                  "LineObject.add_half_sphere(lo, red, Vector3(0, 0, 0), 1, Vector3(0, 0, 1), 20, 1)\n" // 60
                  "LineObject.add_half_sphere(lo, red, Vector3(0, 0, 0), 1, Vector3(0, 0, 1), 20, 1, 0)\n" // nothing
                  "LineObject.add_box(lo, red, Matrix4x4.identity(), Vector3(1, 1, 1))\n"      // 12
                  "LineObject.add_capsule(lo, red, Vector3(0, 0, 0), Vector3(0, 0, 2), 1, 20, 4, 0)\n" // 290
                  "LineObject.add_capsule(lo, red, Vector3(0, 0, 0), Vector3(0, 0, 2), 1, 20, 4, 10, 1)\n" // nothing
                  "LineObject.add_axes(over, Matrix4x4.from_translation(Vector3(1, 2, 3)))\n"
                  "LineObject.add_axes(over, Matrix4x4.identity(), 2)\n"),
              "");
    LineObject *lo = global_line_object("lo");
    LineObject *over = global_line_object("over");
    ASSERT_TRUE(lo && over);
    EXPECT_EQ(lo->lines().size(), 1u + 20 + 5 + 60 + 60 + 12 + 290);
    EXPECT_EQ(lo->lines()[0].color, 0xFFFF0000u);
    ASSERT_EQ(over->lines().size(), 6u);
    const u32 axis_colors[3] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu};
    for (u32 i = 0; i < 3; ++i) {
        EXPECT_EQ(over->lines()[i].color, axis_colors[i]);
        EXPECT_EQ(over->lines()[i].from, (Vector3{1, 2, 3}));
        EXPECT_NEAR(length(over->lines()[i].to - over->lines()[i].from), 1.0f, 1e-6f);
        EXPECT_NEAR(length(over->lines()[3 + i].to), 2.0f, 1e-6f);
    }
    ASSERT_EQ(run("LineObject.dispatch(w, lo); LineObject.reset(lo)"), "");
    EXPECT_TRUE(lo->lines().empty());
    ASSERT_EQ(run("World.clear_permanent_lines(w)\n"
                  "World.destroy_line_object(w, lo)\n"),
              "");
    EXPECT_EQ(World::line_object_owner(lo), nullptr);
    EXPECT_NE(run("LineObject.reset(lo)").find("not a live LineObject"), std::string::npos);
}

TEST_F(RenderApiTest, LineObjectAndWorldLineFunctionsRaiseForBadArguments)
{
    ASSERT_EQ(run("lo = World.create_line_object(w)\nother = World.create_line_object(bare)"), "");
    const ScriptErrorCase cases[] = {
        {"LineObject.add_line(nil, Color(1, 2, 3), Vector3(0, 0, 0), Vector3(1, 0, 0))", "LineObject.add_line"},
        {"LineObject.add_line(Vector3(0, 0, 0), Color(1, 2, 3), Vector3(0, 0, 0), Vector3(1, 0, 0))", "not a live LineObject"},
        {"LineObject.add_line(lo, 5, Vector3(0, 0, 0), Vector3(1, 0, 0))", "bad argument #2 to 'LineObject.add_line'"},
        {"LineObject.add_line(lo, Color(1, 2, 3), Vector3(0, 0, 0))", "bad argument #4"},
        {"LineObject.add_circle(lo, Color(1, 2, 3), Vector3(0, 0, 0), 'r', Vector3(0, 0, 1))", "bad argument #4"},
        {"LineObject.add_circle(lo, Color(1, 2, 3), Vector3(0, 0, 0), 1, Vector3(0, 0, 1), 'many')", "bad argument #6"},
        {"LineObject.add_sphere(lo, Color(1, 2, 3), Vector3(0, 0, 0), 1, 1e12)", "bad argument #5"},
        {"LineObject.add_half_sphere(lo, Color(1, 2, 3), Vector3(0, 0, 0), 1, nil)", "bad argument #5"},
        {"LineObject.add_box(lo, Color(1, 2, 3), Vector3(0, 0, 0), Vector3(1, 1, 1))", "bad argument #3"},
        {"LineObject.add_capsule(lo, Color(1, 2, 3), Vector3(0, 0, 0), Vector3(0, 0, 1))", "bad argument #5"},
        {"LineObject.add_axes(lo, 1)", "bad argument #2 to 'LineObject.add_axes'"},
        {"LineObject.reset(12)", "LineObject.reset"},
        {"LineObject.dispatch(lo, lo)", "bad argument #1 to 'LineObject.dispatch'"},
        {"LineObject.dispatch(w, other)", "belongs to another world"},
        {"World.create_line_object(w, 'yes')", "bad argument #2"},
        {"World.destroy_line_object(w, other)", "belongs to another world"},
        {"World.destroy_line_object(w, nil)", "bad argument #2 to 'World.destroy_line_object'"},
        {"World.clear_permanent_lines(nil)", "World.clear_permanent_lines"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });
    // Counts far past the bounds are clamped, not allocated.
    ASSERT_EQ(run("LineObject.add_circle(lo, Color(1, 2, 3), Vector3(0, 0, 0), 1, Vector3(0, 0, 1), 2000000000)"), "");
    EXPECT_EQ(global_line_object("lo")->lines().size(), max_line_segments);
}

TEST_F(RenderApiTest, GuiFunctionsPostTheirPrimitives)
{
    ASSERT_EQ(run("g = World.create_screen_gui(w, 10, 20, 'scale', 2, 2, 'dock_right', 'unknown', 'immediate')\n"
                  "local a = Gui.rect(g, Vector3(5, 6, 3))\n"
                  "local b = Gui.rect(g, Vector3(0, 0, 3), Vector2(10, 20), Color(128, 1, 2, 3))\n"
                  "assert(b == a + 1)\n"
                  "Gui.update_rect(g, a, Vector3(5, 6, 3), Color(0, 0, 255))\n"
                  "t = Gui.triangle(g, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0), 7)\n"
                  "Gui.update_triangle(g, t, Vector3(0, 0, 0), Vector3(2, 0, 0), Vector3(0, 2, 0), 7, Color(1, 1, 1))\n"
                  "local m = Matrix4x4.identity()\n"
                  "Gui.rect_3d(g, m, Vector3(0, 0, 0), 2, Vector2(3, 4))\n"
                  "local bm = Gui.bitmap(g, 'nothing', Vector3(0, 0, 4))\n"
                  "Gui.update_bitmap(g, bm, 'nothing', Vector3(0, 0, 4), Vector2(8, 8))\n"
                  "Gui.bitmap_uv(g, 'nothing', Vector2(0.5, 0.5), Vector2(1, 1), Vector3(0, 0, 4))\n"
                  "Gui.bitmap_3d(g, 'nothing', m, Vector3(0, 0, 0), 4)\n"
                  "local b3 = Gui.bitmap_3d_uv(g, 'nothing', Vector2(0, 0), Vector2(1, 1), m, Vector3(0, 0, 0), 4)\n"
                  "Gui.update_bitmap_3d_uv(g, b3, 'nothing', Vector2(0, 0), Vector2(1, 1), m, Vector3(0, 0, 0), 4)\n"
                  "Gui.update_rect_3d(g, 100, m, Vector3(0, 0, 0), 2)\n"
                  "Gui.update_bitmap_uv(g, 101, 'nothing', Vector2(0, 0), Vector2(1, 1), Vector3(0, 0, 4))\n"
                  "Gui.update_bitmap_3d(g, 102, 'nothing', m, Vector3(0, 0, 0), 4)\n"
                  "local tx = Gui.text(g, 'AA', 'fonts/test', 16, 'nothing', Vector3(0, 0, 5))\n"
                  "Gui.update_text(g, tx, 'A?', 'fonts/test', 16, 'nothing', Vector3(0, 0, 5), Color(1, 2, 3))\n"
                  "local t3 = Gui.text_3d(g, 'A', 'fonts/test', 16, 'nothing', m, Vector3(0, 0, 0), 5)\n"
                  "Gui.update_text_3d(g, t3, 'AA', 'fonts/test', 16, 'nothing', m, Vector3(0, 0, 0), 5)\n"
                  "for _, f in ipairs({'destroy_triangle', 'destroy_rect', 'destroy_rect_3d', 'destroy_bitmap',\n"
                  "                    'destroy_bitmap_3d', 'destroy_text', 'destroy_text_3d'}) do\n"
                  "  Gui[f](g, 1000)\n"
                  "end\n"
                  "Gui.destroy_rect(g, b)\n"
                  "local lo, hi = Gui.text_extents(g, 'A', 'fonts/test', 32)\n"
                  "assert(lo.x == 2 and hi.x == 18, tostring(lo) .. tostring(hi))\n"
                  "local elo, ehi = Gui.text_extents(g, '', 'fonts/test', 16)\n"
                  "assert(elo.x > 1e38 and ehi.z < -1e38)\n"
                  "assert(Gui.has_all_glyphs(g, 'A?', 'fonts/test') and not Gui.has_all_glyphs(g, 'AB', 'fonts/test'))\n"
                  "Gui.move(g)\n"
                  "Gui.move(g, 30, 40)\n"
                  "Gui.move(g, Matrix4x4.identity())\n"
                  "Gui.move(g, Matrix4x4.identity(), 50, 60)\n"
                  "assert(tostring(g) == '[GUI]', tostring(g))\n"),
              "");
    flush();
    auto guis = render_guis();
    ASSERT_EQ(guis.size(), 1u);
    const RenderGui &rg = *guis[0];
    EXPECT_TRUE(rg.validate());
    EXPECT_EQ(rg.settings().position[0], 50.0f);
    EXPECT_EQ(rg.settings().position[1], 60.0f);
    EXPECT_EQ(rg.settings().scale[0], 2.0f);
    EXPECT_EQ(rg.settings().follow_width, 1u);
    EXPECT_EQ(rg.settings().immediate, 1u);
    EXPECT_EQ(rg.settings().resolution[0], 1280u);
    // The first rect: 100 x 100 on layer 3, rewritten blue; b was destroyed.
    const RenderGui::Primitive *first = rg.primitive(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->layer, 3);
    EXPECT_EQ(rg.primitive(1), nullptr);
    const RenderGui::Batch &batch = rg.batch(first->batch);
    GuiVertex v[6];
    memcpy(v, batch.vertices.data() + first->offset_bytes, sizeof v);
    EXPECT_EQ(v[0].color, 0xFF0000FFu);
    EXPECT_EQ(v[5].x, 105.0f);
    EXPECT_EQ(v[5].z, 106.0f);
    EXPECT_EQ(v[0].y, 3.0f);
}

TEST_F(RenderApiTest, GuiFunctionsRaiseForBadArgumentsAndMissingServices)
{
    ASSERT_EQ(run("g = World.create_screen_gui(w)\n"
                  "gone = World.create_screen_gui(w)\n"
                  "World.destroy_gui(w, gone)\n"),
              "");
    const ScriptErrorCase cases[] = {
        {"Gui.rect(nil, Vector3(0, 0, 0))", "bad argument #1 to 'Gui.rect'"},
        {"Gui.rect(gone, Vector3(0, 0, 0))", "not a live Gui"},
        {"Gui.rect(g, 5)", "bad argument #2 to 'Gui.rect'"},
        {"Gui.rect(g, Vector3(0, 0, 1e30))", "layer"},
        // Numbers that are not finite never reach the vertices.
        {"Gui.rect(g, Vector3(0/0, 0, 1))", "bad argument #2 to 'Gui.rect' (the position ("},
        {"Gui.rect(g, Vector3(0, 1/0, 1))", "bad argument #2 to 'Gui.rect' (the position"},
        {"Gui.rect(g, Vector3(0, 0, 1), Vector2(0/0, 1))", "bad argument #3 to 'Gui.rect' (the size"},
        {"Gui.update_rect(g, 0, Vector3(0/0, 0, 1))", "bad argument #3 to 'Gui.update_rect' (the position"},
        {"Gui.triangle(g, Vector3(0, 0, 0), Vector3(0/0, 0, 0), Vector3(0, 1, 0), 1)", "bad argument #3 to 'Gui.triangle' (the point"},
        {"Gui.rect_3d(g, Matrix4x4.identity(), Vector3(0, 0/0, 0), 1)", "bad argument #3 to 'Gui.rect_3d' (the position"},
        {"Gui.rect_3d(g, Matrix4x4.from_translation(Vector3(0/0, 0, 0)), Vector3(0, 0, 0), 1)", "bad argument #2 to 'Gui.rect_3d' (the pose"},
        {"Gui.bitmap_uv(g, 'm', Vector2(0/0, 0), Vector2(1, 1), Vector3(0, 0, 0))", "bad argument #3 to 'Gui.bitmap_uv' (the uv corner"},
        {"Gui.text(g, 'A', 'fonts/test', 0/0, 'm', Vector3(0, 0, 0))", "bad argument #4 to 'Gui.text' (the font size"},
        {"Gui.text(g, 'A', 'fonts/test', 16, 'm', Vector3(1/0, 0, 0))", "bad argument #6 to 'Gui.text' (the position"},
        {"Gui.move(g, 0/0, 2)", "bad argument #2 to 'Gui.move' (the x"},
        {"Gui.move(g, 1, -1/0)", "bad argument #3 to 'Gui.move' (the y"},
        {"World.create_screen_gui(w, 0/0, 2)", "bad argument #2 to 'World.create_screen_gui' (the x"},
        {"World.create_screen_gui(w, 'scale', 1, 0/0)", "bad argument #4 to 'World.create_screen_gui' (the scale"},
        {"Gui.update_rect(g, -1, Vector3(0, 0, 0))", "bad argument #2 to 'Gui.update_rect'"},
        {"Gui.triangle(g, Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0))", "bad argument #5"},
        {"Gui.rect_3d(g, Vector3(0, 0, 0), Vector3(0, 0, 0), 1)", "bad argument #2"},
        {"Gui.rect_3d(g, Matrix4x4.identity(), Vector3(0, 0, 0), 'top')", "bad argument #4"},
        {"Gui.bitmap(g, {}, Vector3(0, 0, 0))", "bad argument #2"},
        {"Gui.bitmap_uv(g, 'm', Vector2(0, 0), 1, Vector3(0, 0, 0))", "bad argument #4"},
        {"Gui.bitmap_3d(g, 'm', Matrix4x4.identity(), Vector3(0, 0, 0))", "bad argument #5"},
        {"Gui.bitmap_3d_uv(g, 'm', Vector2(0, 0), Vector2(1, 1), Matrix4x4.identity(), nil, 1)", "bad argument #6"},
        {"Gui.text(g, 'A', 'fonts/absent', 16, 'm', Vector3(0, 0, 0))", "no \"font\" resource"},
        {"Gui.text(g, 'A', 'fonts/test', 'big', 'm', Vector3(0, 0, 0))", "bad argument #4"},
        {"Gui.text_3d(g, 'A', 'fonts/test', 16, 'm', Matrix4x4.identity(), Vector3(0, 0, 0))", "bad argument #8"},
        {"Gui.update_text(g, 0, nil, 'fonts/test', 16, 'm', Vector3(0, 0, 0))", "bad argument #3"},
        {"Gui.destroy_text(g)", "bad argument #2 to 'Gui.destroy_text'"},
        {"Gui.text_extents(g, 'A', 'fonts/absent', 16)", "no \"font\" resource"},
        {"Gui.text_extents(g, 'A', 'fonts/test')", "bad argument #4"},
        {"Gui.has_all_glyphs(g, {}, 'fonts/test')", "bad argument #2"},
        {"Gui.move(g, 1)", "expected a pose"},
        {"Gui.move(g, Matrix4x4.identity(), 1, 2, 3)", "expected a pose"},
        {"Gui.move(g, 'x', 2)", "bad argument #2"},
        {"World.create_screen_gui(bare)", "the GUI service is not built yet"},
        {"World.create_world_gui(bare, Matrix4x4.identity(), 1, 1)", "the GUI service is not built yet"},
        {"World.create_world_gui(w, Matrix4x4.identity(), 0, 1)", "bad argument #3"},
        {"World.create_world_gui(w, Matrix4x4.identity(), 1, 0/0)", "bad argument #4"},
        {"World.create_world_gui(w, 1, 1, 1)", "bad argument #2"},
        {"World.create_screen_gui(w, 'scale', 2)", "bad argument #4"},
        {"World.create_screen_gui(w, 'material')", "bad argument #3"},
        {"World.destroy_gui(bare, g)", "the GUI service is not built yet"},
        {"World.destroy_gui(w, gone)", "not a live Gui"},
        {"Vector2(1)", "bad argument #2 to 'Vector2'"},
        {"Color(1, 2)", "bad argument #3 to 'Color'"},
        {"Rotation2D(1, 2)", "bad argument #1 to 'Rotation2D'"},
        {"Rotation2D(Vector2(0, 0))", "bad argument #2 to 'Rotation2D'"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });
}

TEST_F(RenderApiTest, ConstructorsAndResolution)
{
    ASSERT_EQ(run("local v = Vector2(3, 4); assert(v.x == 3 and v.y == 4 and v.z == 0)\n"
                  "local v3 = Vector2(3, 4, 5); assert(v3.z == 5)\n"
                  "local c = Color(255, 0, 0); local d = Color(255, 255, 0, 0)\n"
                  "assert(c.x == d.x and c.y == d.y and c.z == d.z and c.w == d.w and c.x == 255)\n"
                  "local r = Rotation2D(Vector2(10, 20), 0)\n"
                  "local p = Matrix4x4.transform(r, Vector3(1, 0, 2)); assert(p.x == 11 and p.z == 22)\n"
                  "local q = Rotation2D(Vector2(1, 0), math.pi / 2, Vector2(5, 5))\n"
                  // The point pivot - position lands on the pivot.
                  "local s = Matrix4x4.transform(q, Vector3(4, 0, 5))\n"
                  "assert(math.abs(s.x - 5) < 1e-5 and math.abs(s.z - 5) < 1e-5, tostring(s))\n"
                  "local t = Rotation2D(Vector2(7, 8), 1.2)\n"
                  "local o = Matrix4x4.transform(t, Vector3(0, 0, 0)); assert(math.abs(o.x - 7) < 1e-5 and math.abs(o.z - 8) < 1e-5)\n"
                  "local w, h = Gui.resolution(); assert(w == 1280 and h == 720)\n"),
              "");
    g_aspect = 1.5f;
    EXPECT_EQ(run("local w, h = Gui.resolution(); assert(w == 1080 and h == 720, w)"), "");
    set_gui_resolution_source(nullptr);
    EXPECT_NE(run("Gui.resolution()").find("not known"), std::string::npos);
}

TEST_F(RenderApiTest, LineObjectsAndGuisMadeInACoroutineAreWhole)
{
    EXPECT_EQ(run("local function inside(f) local co = coroutine.create(f); local ok, v = coroutine.resume(co); assert(ok, v); return v end\n"
                  "local lo = inside(function() return World.create_line_object(w) end)\n"
                  "LineObject.add_line(lo, Color(255, 0, 0), Vector3(0, 0, 0), Vector3(1, 0, 0))\n"
                  "local g = inside(function() return World.create_screen_gui(w) end)\n"
                  "assert(tostring(g) == '[GUI]')\n"
                  "collectgarbage(); collectgarbage()\n"),
              "");
}

TEST_F(RenderApiTest, CameraLightAndMeshRefuseValuesThatAreNotTheirs)
{
    // The tables work over units' render objects (tests/script/render_object_api_test.cpp);
    // a line object or a GUI is not one of them.
    ASSERT_EQ(run("lo = World.create_line_object(w)\ng = World.create_screen_gui(w)"), "");
    const ScriptErrorCase cases[] = {
        {"Camera.near_range(lo)", "bad argument #1 to 'Camera.near_range'"},
        {"Camera.world_pose(g)", "bad argument #1 to 'Camera.world_pose'"},
        {"Light.set_type(nil, 'spot')", "bad argument #1 to 'Light.set_type'"},
        {"Mesh.material(w, 'm')", "bad argument #1 to 'Mesh.material'"},
    };
    expect_script_errors(cases, [&](const char *code) { return run(code); });
    EXPECT_EQ(run("assert(Camera.PERSPECTIVE == 1 and Camera.ORTHOGRAPHIC == 0)"), "");
}

TEST_F(RenderApiTest, ReleasedWorldsTakeTheirLineObjectsAndGuisWithThem)
{
    ASSERT_EQ(run("lo = World.create_line_object(w)\ng = World.create_screen_gui(w)"), "");
    delete_with_allocator(a, world);
    world = nullptr;
    EXPECT_NE(run("LineObject.reset(lo)").find("not a live LineObject"), std::string::npos);
    EXPECT_NE(run("Gui.rect(g, Vector3(0, 0, 0))").find("not a live Gui"), std::string::npos);
    // The test's teardown deletes a null world.
    world = make_new<World>(a, a, WorldParams{});
}

} // namespace
} // namespace tallow::test

// GUIs and fonts: UTF-8 decoding, the font reader's checks, glyph layout and extents, the
// primitives a Gui posts, the batches a RenderGui keeps (checked on the uploaded bytes) and
// the draws it files for screen and world guis.
#include "render/gui/font.h"
#include "render/gui/gui.h"
#include "render/gui/render_gui.h"
#include "render/materials/material_resource.h"
#include "render/world/render_state_queue.h"
#include "render/world/render_world.h"
#include "render/world/world_render_link.h"
#include "tests/render/lines/draw_fixture.h"
#include "tests/support/writers/font_writer.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>

namespace tallow {
namespace {

using namespace test;

std::vector<u32> decode(const std::string &text)
{
    std::vector<u32> out;
    for_each_code_point(text.data(), text.size(), [&](u32 cp) { out.push_back(cp); });
    return out;
}

TEST(Utf8, DecodesWellFormedTextAndReplacesEachBadByte)
{
    constexpr u32 bad = replacement_code_point;
    struct Case {
        const char *name;
        std::string text;
        std::vector<u32> code_points;
    };
    const Case cases[] = {
        {"ascii", "Az", {'A', 'z'}},
        {"two bytes", "\xC3\xA9", {0xE9}},
        {"three bytes", "\xE2\x82\xAC", {0x20AC}},
        {"four bytes", "\xF0\x9F\x98\x80", {0x1F600}},
        {"stray continuation", "\x80" "a", {bad, 'a'}},
        {"truncated at the end", "a\xE2\x82", {'a', bad, bad}},
        {"cut by an ascii byte", "\xC3" "a", {bad, 'a'}},
        {"overlong", "\xC0\xAF", {bad, bad}},
        {"surrogate", "\xED\xA0\x80", {bad, bad, bad}},
        {"past U+10FFFF", "\xF4\x90\x80\x80", {bad, bad, bad, bad}},
        {"invalid lead", "\xFF", {bad}},
        {"empty", "", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(c.text), c.code_points);
    }
}

FontDescription test_font()
{
    FontDescription f;
    f.design_size = 16;
    f.base_height = 12;
    f.texture_width = 256;
    f.texture_height = 128;
    f.glyphs = {{'?', 0, 0, 6, 10, 0, 1, 7}, {'A', 10, 20, 8, 12, 1, 2, 9}, {'B', 30, 20, 8, 12, 1, 2, 10}};
    return f;
}

TEST(FontReader, RefusesBytesItCannotTrust)
{
    using Describe = std::function<void(FontDescription &)>;
    using Damage = std::function<void(std::vector<u8> &)>;
    struct Case {
        const char *name;
        Describe describe;
        Damage damage;
        bool read;
    };
    const Describe as_is = [](FontDescription &) {};
    const Damage intact = [](std::vector<u8> &) {};
    const Case cases[] = {
        {"good", as_is, intact, true},
        {"trailing bytes", as_is, [](std::vector<u8> &b) { b.push_back(0); }, true},
        {"short header", as_is, [](std::vector<u8> &b) { b.resize(20); }, false},
        {"cut glyph table", as_is, [](std::vector<u8> &b) { b.pop_back(); }, false},
        {"no glyphs", [](FontDescription &f) { f.glyphs.clear(); }, intact, false},
        {"count past the bytes", [](FontDescription &f) { f.count_override = 4; }, intact, false},
        {"huge count", [](FontDescription &f) { f.count_override = 0xFFFFFFFE; }, intact, false},
        {"design size 0", [](FontDescription &f) { f.design_size = 0; }, intact, false},
        {"texture width NaN", [](FontDescription &f) { f.texture_width = NAN; }, intact, false},
        {"glyph metric infinite", [](FontDescription &f) { f.glyphs[1].advance = INFINITY; }, intact, false},
        {"out of order", [](FontDescription &f) { std::swap(f.glyphs[1], f.glyphs[2]); }, intact, false},
        {"repeated code point", [](FontDescription &f) { f.glyphs[2].code_point = 'A'; }, intact, false},
    };
    test::LogCapture log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FontDescription f = test_font();
        c.describe(f);
        std::vector<u8> bytes = write_font(f);
        c.damage(bytes);
        Font font;
        EXPECT_EQ(read_font(bytes.data(), bytes.size(), font), c.read);
    }
}

TEST(FontLayout, GlyphsScaleByTheSizeAndMissingOnesUseTheFirstGlyph)
{
    std::vector<u8> bytes = write_font(test_font());
    Font font;
    ASSERT_TRUE(read_font(bytes.data(), bytes.size(), font));
    GlyphQuad q;
    f32 pen = 5;
    font.layout_glyph('A', pen, 100, 32, q); // scale 2
    EXPECT_FLOAT_EQ(q.min_x, 7);
    EXPECT_FLOAT_EQ(q.max_x, 23);
    EXPECT_FLOAT_EQ(q.min_y, 100 + (12 - 2 - 12) * 2);
    EXPECT_FLOAT_EQ(q.max_y, q.min_y + 24);
    EXPECT_FLOAT_EQ(q.u_min, 10.0f / 256);
    EXPECT_FLOAT_EQ(q.v_min, 20.0f / 128);
    EXPECT_FLOAT_EQ(q.u_max, 18.0f / 256);
    EXPECT_FLOAT_EQ(q.v_max, 32.0f / 128);
    EXPECT_FLOAT_EQ(pen, 23);

    FontGlyph g;
    EXPECT_FALSE(font.find_glyph('Z', g));
    pen = 0;
    font.layout_glyph('Z', pen, 0, 16, q); // the first glyph, '?'
    EXPECT_FLOAT_EQ(pen, 7);
    EXPECT_FLOAT_EQ(q.max_x - q.min_x, 6);

    for (u32 cp : {u32('?'), u32('A'), u32('B')}) {
        ASSERT_TRUE(font.find_glyph(cp, g));
        EXPECT_EQ(g.code_point, cp);
    }
    FontDescription single = test_font();
    single.glyphs = {{'x', 1, 2, 3, 4, 0, 0, 5}};
    std::vector<u8> one = write_font(single);
    ASSERT_TRUE(read_font(one.data(), one.size(), font));
    ASSERT_TRUE(font.find_glyph('x', g));
    EXPECT_EQ(g.advance, 5.0f);
    EXPECT_FALSE(font.find_glyph('w', g));
    EXPECT_FALSE(font.find_glyph('y', g));
}

TEST(GuiOrder, LayersGiveOrderValuesThatNeverGoNegative)
{
    struct Case {
        i32 layer;
        bool screen;
        f32 order;
    };
    const Case cases[] = {{0, true, 0.1f},    {5, true, 0.0995f},  {1000, true, 0.0f}, {2000, true, 0.0f},
                          {-3, true, 0.1f},   {0, false, 0.2f},    {1000, false, 0.1f}, {5000, false, 0.1f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layer);
        EXPECT_NEAR(gui_order_value(c.layer, c.screen), c.order, 1e-6f);
    }
}

/// A render world with its link, fonts in a fake resource lookup, and the RenderGuis read
/// back after each hand-over.
class GuiFixture : public DrawFixture {
  protected:
    RenderWorld render_world{a, nullptr};
    WorldRenderLink link{a, render_world.acquire_state_buffer()};
    FakeResources resources;
    std::vector<u8> font_bytes = write_font(test_font());
    struct {
        FontResource resource;
    } font;
    GuiWorld guis{a, render_world, link, resources.lookup()};

    void SetUp() override
    {
        DrawFixture::SetUp();
        ASSERT_TRUE(read_font(font_bytes.data(), font_bytes.size(), font.resource.font));
        resources.put("font", "fonts/test", &font.resource);
    }
    void TearDown() override
    {
        DrawFixture::TearDown();
    }

    /// Hands the frame's state over and applies it, as message 7 does.
    void flush()
    {
        RenderStateQueue *filled = link.swap_state(render_world.acquire_state_buffer());
        with_resources([&](RenderResourceContext *rc) { render_world.update_state(*filled, rc); });
        render_world.release_state_buffer(filled);
    }
    /// The RenderGuis filed for drawing, in filing order.
    std::vector<RenderGui *> render_guis()
    {
        std::vector<RenderGui *> out;
        for (const RenderRecord &r : render_world.unculled())
            if (r.class_id == u32(RenderObjectClass::Gui))
                out.push_back(static_cast<RenderGui *>(render_world.object_in_slot(r.slot)));
        return out;
    }
    Gui *screen_gui()
    {
        GuiCreateParams params;
        params.settings.resolution[0] = 1280;
        params.settings.resolution[1] = 720;
        return guis.create_gui(params);
    }
    static std::vector<GuiVertex> vertices_of(const RenderGui::Batch &b)
    {
        std::vector<GuiVertex> v(b.vertex_count);
        memcpy(v.data(), b.vertices.data(), b.vertices.size());
        return v;
    }
};

TEST_F(GuiFixture, RectAndBitmapCornersAndUvs)
{
    Gui *gui = screen_gui();
    ASSERT_NE(gui, nullptr);
    u32 rect = gui->take_id();
    u32 bitmap = gui->take_id();
    EXPECT_EQ(bitmap, rect + 1);
    ASSERT_TRUE(gui->rect(rect, {10, 20, 3}, 100, 50, 3, 0xFF112233));
    ASSERT_TRUE(gui->bitmap(bitmap, 0, {0, 0, 1}, 4, 2, 1, 0xFFFFFFFF, 0.25f, 0.5f, 0.75f, 1.0f));
    flush();
    auto list = render_guis();
    ASSERT_EQ(list.size(), 1u);
    RenderGui &rg = *list[0];
    ASSERT_EQ(rg.batch_count(), 2u);
    std::vector<GuiVertex> r = vertices_of(rg.batch(0));
    ASSERT_EQ(r.size(), 6u);
    const f32 expected[6][3] = {{10, 3, 20}, {110, 3, 20}, {10, 3, 70}, {10, 3, 70}, {110, 3, 20}, {110, 3, 70}};
    for (u32 i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].x, expected[i][0]);
        EXPECT_EQ(r[i].y, expected[i][1]);
        EXPECT_EQ(r[i].z, expected[i][2]);
        EXPECT_EQ(r[i].ny, -1.0f);
        EXPECT_EQ(r[i].color, 0xFF112233u);
    }
    std::vector<GuiVertex> b = vertices_of(rg.batch(1));
    ASSERT_EQ(b.size(), 6u);
    for (const GuiVertex &v : b) {
        EXPECT_EQ(v.u, v.x == 0 ? 0.25f : 0.75f); // u min at x, u max at x + w
        EXPECT_EQ(v.v, v.z == 0 ? 1.0f : 0.5f);   // v max at y, v min at y + h
    }
    EXPECT_TRUE(rg.validate());
}

TEST_F(GuiFixture, TextLaysOutOneQuadPerCodePointAndMeasuresItself)
{
    Gui *gui = screen_gui();
    ASSERT_NE(gui, nullptr);
    const char *text = "AB\xC3\xA9"; // the last one is missing: it draws '?'
    ASSERT_TRUE(gui->text(gui->take_id(), text, strlen(text), NameId64("fonts/test"), 16, 0, {0, 0, 2}, 2, 0xFFFFFFFF));
    EXPECT_FALSE(gui->text(gui->take_id(), "A", 1, NameId64("fonts/absent"), 16, 0, {0, 0, 2}, 2, 1));
    flush();
    auto list = render_guis();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0]->batch_count(), 1u);
    std::vector<GuiVertex> v = vertices_of(list[0]->batch(0));
    ASSERT_EQ(v.size(), 18u);
    EXPECT_EQ(v[0].x, 1.0f);      // 'A' x offset
    EXPECT_EQ(v[6].x, 9.0f + 1);  // after 'A''s advance, 'B' x offset
    EXPECT_EQ(v[12].x, 19.0f);    // after 'B''s advance, '?' x offset 0
    EXPECT_EQ(v[0].y, 2.0f);      // depth
    EXPECT_EQ(v[0].v, 32.0f / 128); // (min x, min y): v max
    EXPECT_EQ(v[2].v, 20.0f / 128); // (min x, max y): v min

    Vector3 lo, hi;
    ASSERT_TRUE(gui->text_extents("AB", 2, NameId64("fonts/test"), 16, lo, hi));
    EXPECT_EQ(lo.x, 1.0f);
    EXPECT_EQ(hi.x, 9.0f + 1 + 8);
    EXPECT_EQ(lo.z, 12.0f - 2 - 12);
    EXPECT_EQ(hi.z, 12.0f - 2);
    ASSERT_TRUE(gui->text_extents("", 0, NameId64("fonts/test"), 16, lo, hi));
    EXPECT_EQ(lo.x, FLT_MAX);
    EXPECT_EQ(lo.z, FLT_MAX);
    EXPECT_EQ(hi.y, -FLT_MAX);
    EXPECT_FALSE(gui->text_extents("A", 1, NameId64("fonts/absent"), 16, lo, hi));
    EXPECT_TRUE(gui->has_all_glyphs("AB?", 3, NameId64("fonts/test")));
    EXPECT_FALSE(gui->has_all_glyphs(text, strlen(text), NameId64("fonts/test")));
}

TEST_F(GuiFixture, BatchesRewriteInPlaceAndCompactWhenPrimitivesLeave)
{
    Gui *gui = screen_gui();
    ASSERT_NE(gui, nullptr);
    u32 ids[3];
    for (u32 i = 0; i < 3; ++i) {
        ids[i] = gui->take_id();
        ASSERT_TRUE(gui->rect(ids[i], {f32(i) * 100, 0, 0}, 10, 10, 0, 0xFF000000u | i));
    }
    flush();
    RenderGui &rg = *render_guis()[0];
    auto upload_of = [&](u32 batch) {
        std::vector<DecodedCommand> commands = draw([&](const RenderDrawParams &p) { rg.render(p); });
        std::vector<GuiVertex> out;
        for (const DecodedCommand *c : of_type(commands, RenderCommand::UpdateVertexBuffer))
            if (c->buffer.description.resource.handle == rg.batch(batch).vertex_buffer.resource.handle) {
                out.resize(c->buffer.description.element_count);
                memcpy(out.data(), c->buffer.data, out.size() * sizeof(GuiVertex));
            }
        return out;
    };
    std::vector<GuiVertex> first = upload_of(0);
    ASSERT_EQ(first.size(), 18u);

    struct Step {
        const char *name;
        std::function<void()> change;
        std::vector<u32> colours_in_batch0; // per primitive, in vertex order
        std::vector<u32> colours_in_batch1;
    };
    const Step steps[] = {
        {"same size, layer and material: rewritten in place",
         [&] { gui->rect(ids[1], {100, 0, 0}, 20, 20, 0, 0xFF0000AA); },
         {0xFF000000, 0xFF0000AA, 0xFF000002},
         {}},
        {"a new layer: moved to another batch, the old one compacted",
         [&] { gui->rect(ids[0], {0, 0, 4}, 10, 10, 4, 0xFF0000BB); },
         {0xFF0000AA, 0xFF000002},
         {0xFF0000BB}},
        {"destroying the first keeps the later one addressed",
         [&] { gui->destroy_primitive(ids[1]); },
         {0xFF000002},
         {0xFF0000BB}},
        {"rewriting what moved down lands at its new place",
         [&] { gui->rect(ids[2], {200, 0, 0}, 10, 10, 0, 0xFF0000CC); },
         {0xFF0000CC},
         {0xFF0000BB}},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        s.change();
        flush();
        EXPECT_TRUE(rg.validate());
        std::vector<GuiVertex> uploaded = upload_of(0);
        ASSERT_EQ(uploaded.size(), s.colours_in_batch0.size() * 6);
        for (u32 i = 0; i < uploaded.size(); ++i)
            EXPECT_EQ(uploaded[i].color, s.colours_in_batch0[i / 6]) << i;
        if (!s.colours_in_batch1.empty()) {
            ASSERT_EQ(rg.batch_count(), 2u);
            std::vector<GuiVertex> other = vertices_of(rg.batch(1));
            ASSERT_EQ(other.size(), 6u);
            EXPECT_EQ(other[0].color, s.colours_in_batch1[0]);
        }
    }
    // The rewrite in place changed its vertices: the rect at 100 is 20 wide.
    EXPECT_EQ(rg.primitive(ids[1]), nullptr);
    EXPECT_EQ(rg.primitive(ids[2])->offset_bytes, 0u);
}

TEST_F(GuiFixture, ScreenAndWorldGuisDrawEachBatchWithItsOrderValue)
{
    Gui *screen = screen_gui();
    GuiCreateParams world_params;
    world_params.settings.screen = 0;
    world_params.settings.width = 200;
    world_params.settings.height = 100;
    Gui *world = guis.create_gui(world_params);
    ASSERT_TRUE(screen && world);
    screen->rect(screen->take_id(), {0, 0, 0}, 10, 10, 0, 1);
    screen->rect(screen->take_id(), {0, 0, 5}, 10, 10, 5, 1);
    screen->rect(screen->take_id(), {0, 0, 0}, 10, 10, 2000, 1);
    world->rect(world->take_id(), {0, 0, 0}, 10, 10, 0, 1);
    flush();
    auto list = render_guis();
    ASSERT_EQ(list.size(), 2u);
    std::vector<f32> orders;
    std::vector<DecodedCommand> commands = draw([&](const RenderDrawParams &p) {
        EXPECT_EQ(list[0]->render(p), 3u);
        EXPECT_EQ(list[1]->render(p), 1u);
    });
    for (const DecodedCommand *c : of_type(commands, RenderCommand::DrawBatch)) {
        EXPECT_EQ(c->draw.primitive_type, primitive_type::triangle_list);
        EXPECT_EQ(c->draw.primitive_count, 2u);
        orders.push_back(c->draw.sort_depth);
    }
    std::sort(orders.begin(), orders.end());
    ASSERT_EQ(orders.size(), 4u);
    EXPECT_NEAR(orders[0], 0.0f, 1e-6f);    // layer 2000, clamped to 1000
    EXPECT_NEAR(orders[1], 0.0995f, 1e-6f); // layer 5
    EXPECT_NEAR(orders[2], 0.1f, 1e-6f);    // layer 0
    EXPECT_NEAR(orders[3], 0.2f, 1e-6f);    // the world gui's layer 0
    // Back to front: the higher layer (smaller order value) sorts later.
    EXPECT_GT(sort_depth_bits(0.0995f, SortMode::BackFront), sort_depth_bits(0.1f, SortMode::BackFront));
}

TEST_F(GuiFixture, MaterialTexturesAreBoundToTheirChannels)
{
    // A "text" material whose second channel (diffuse_map) holds a texture.
    Texture texture(a);
    texture.handle = 77;
    MaterialEntry entry(a);
    entry.name = id32("text");
    entry.shader_template = id32("gui_text");
    entry.slots.push_back(nullptr);
    entry.slots.push_back(&texture);
    MaterialResource materials(a);
    materials.entries.push_back(&entry);
    resources.put("material", "materials/gui", &materials);
    const NameId64 names[1] = {NameId64("materials/gui")};
    GuiCreateParams params;
    params.settings.resolution[0] = 1280;
    params.settings.resolution[1] = 720;
    params.materials = names;
    params.material_count = 1;
    Gui *gui = guis.create_gui(params);
    ASSERT_TRUE(gui);
    ASSERT_TRUE(gui->bitmap(gui->take_id(), id32("text"), {0, 0, 0}, 16, 16, 0, 0xFFFFFFFF, 0, 0, 1, 1));
    flush();
    auto list = render_guis();
    ASSERT_EQ(list.size(), 1u);
    const u32 channels[2] = {id32("normal_map"), id32("diffuse_map")};
    std::vector<DecodedCommand> commands = draw([&](const RenderDrawParams &p) {
        RenderDrawParams with_channels = p;
        with_channels.texture_channels = channels;
        with_channels.texture_channel_count = 2;
        EXPECT_EQ(list[0]->render(with_channels), 1u);
    });
    auto draws = of_type(commands, RenderCommand::DrawBatch);
    ASSERT_EQ(draws.size(), 1u);
    const ShaderVariable *map = shaders.find_shader(id32("gui_text"))->find_variable(id32("diffuse_map"));
    ASSERT_TRUE(map);
    u32 bound = 0;
    ASSERT_LE(map->offset + 4, draws[0]->constants.size());
    memcpy(&bound, draws[0]->constants.data() + map->offset, 4);
    EXPECT_EQ(bound, 77u);
    EXPECT_TRUE(guis.destroy_gui(gui));
    flush();
    materials.entries.clear();
}

TEST_F(GuiFixture, WorldGuisWithoutASizeAreRefusedAndDockedGuisFollowTheResolutionOnce)
{
    test::LogCapture log;
    for (f32 w : {0.0f, -1.0f, NAN}) {
        GuiCreateParams p;
        p.settings.screen = 0;
        p.settings.width = w;
        p.settings.height = 10;
        EXPECT_EQ(guis.create_gui(p), nullptr);
    }
    EXPECT_EQ(guis.count(), 0u);

    GuiCreateParams p;
    p.settings.resolution[0] = 1280;
    p.settings.resolution[1] = 720;
    p.settings.position[0] = 1200;
    p.settings.follow_width = 1;
    Gui *gui = guis.create_gui(p);
    ASSERT_NE(gui, nullptr);
    gui->rect(gui->take_id(), {0, 0, 0}, 10, 10, 0, 1);
    flush();
    RenderGui &rg = *render_guis()[0];
    draw([&](const RenderDrawParams &params) { rg.render(params); }, 1280, 720);
    EXPECT_EQ(rg.settings().position[0], 1200.0f);
    draw([&](const RenderDrawParams &params) { rg.render(params); }, 1600, 900);
    EXPECT_EQ(rg.settings().position[0], 1520.0f);
    EXPECT_EQ(rg.settings().position[1], 0.0f); // not docked on the height
    draw([&](const RenderDrawParams &params) { rg.render(params); }, 1600, 900);
    EXPECT_EQ(rg.settings().position[0], 1520.0f);

    // Moving posts the settings: the render side takes the new position.
    gui->move(matrix4x4_identity, 30, 40);
    flush();
    EXPECT_EQ(rg.settings().position[0], 30.0f);
    EXPECT_EQ(rg.settings().position[1], 40.0f);
    EXPECT_TRUE(guis.destroy_gui(gui));
    EXPECT_FALSE(guis.destroy_gui(gui));
    flush();
    EXPECT_TRUE(render_guis().empty());
}

TEST_F(GuiFixture, MessagesThatDoNotFitTheirPayloadAreDropped)
{
    test::LogCapture log;
    RenderGui rg(a, GuiSettings{});
    GuiPrimitiveHeader h{u32(RenderObjectClass::Gui), 0, 1, 0, 6, sizeof(GuiPrimitiveHeader), no_gui_material};
    std::vector<u8> payload(sizeof h + 3 * sizeof(GuiVertex));
    memcpy(payload.data(), &h, sizeof h);
    rg.apply_message(gui_primitive_kind, payload.data(), u32(payload.size())); // claims 6, holds 3
    h.vertex_count = 2;
    memcpy(payload.data(), &h, sizeof h);
    rg.apply_message(gui_primitive_kind, payload.data(), u32(payload.size())); // not whole triangles
    rg.apply_message(gui_settings_kind, payload.data(), 12);
    EXPECT_EQ(rg.batch_count(), 0u);
    EXPECT_TRUE(rg.validate());
}

} // namespace
} // namespace tallow

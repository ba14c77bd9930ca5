// Line objects: the shapes' exact line counts and geometry, the drawer's ranges as line
// objects dispatch, are destroyed and grow, and the line-list draw it files.
#include "render/lines/line_object.h"
#include "render/lines/render_line_object_drawer.h"
#include "render/world/render_state_stream.h"
#include "tests/render/lines/draw_fixture.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace tallow {

bool operator==(const LineRange &a, const LineRange &b)
{
    return a.line_object == b.line_object && a.first == b.first && a.end == b.end;
}

namespace {

using namespace test;

constexpr f32 nan_value = NAN;

int count_lines(test::LogCapture &log, const char *text)
{
    int n = 0;
    for (const std::string &line : log.lines())
        n += line.find(text) != std::string::npos;
    return n;
}

TEST(LineObjectShapes, EachShapeAddsItsExactLineCount)
{
    // Sphere of radius 1, 20 segments, 2 parts: the centre rings (3 x 20) and, at d = 0.5,
    // rings of trunc(20 x 0.866 + 0.5) = 17 segments (6 x 17). A half sphere has one ring
    // and two half rings at the centre, one ring and four half rings per further slice.
    struct Case {
        const char *name;
        std::function<void(LineObject &)> add;
        u32 lines;
    };
    const Vector3 o{0, 0, 0}, up{0, 0, 1};
    const Case cases[] = {
        {"line", [&](LineObject &l) { l.add_line(1, o, up); }, 1},
        {"circle of 20", [&](LineObject &l) { l.add_circle(1, o, 1, up, 20); }, 20},
        {"circle of 1", [&](LineObject &l) { l.add_circle(1, o, 1, up, 1); }, 1},
        {"circle of 0", [&](LineObject &l) { l.add_circle(1, o, 1, up, 0); }, 0},
        {"circle of -3", [&](LineObject &l) { l.add_circle(1, o, 1, up, -3); }, 0},
        {"circle of a million is clamped", [&](LineObject &l) { l.add_circle(1, o, 1, up, 1000000); }, max_line_segments},
        {"sphere of 1 part", [&](LineObject &l) { l.add_sphere(1, o, 1, 20, 1); }, 3 * 20},
        {"sphere of 2 parts", [&](LineObject &l) { l.add_sphere(1, o, 1, 20, 2); }, 3 * 20 + 6 * 17},
        {"sphere of radius 0", [&](LineObject &l) { l.add_sphere(1, o, 0, 20, 2); }, 0},
        {"sphere of NaN radius", [&](LineObject &l) { l.add_sphere(1, o, nan_value, 20, 2); }, 0},
        {"sphere of 0 parts", [&](LineObject &l) { l.add_sphere(1, o, 1, 20, 0); }, 0},
        {"half sphere of 2 parts", [&](LineObject &l) { l.add_half_sphere(1, o, 1, up, 20, 2); }, 20 + 2 * 20 + 17 + 4 * 17},
        {"half sphere of radius 0", [&](LineObject &l) { l.add_half_sphere(1, o, 0, up, 20, 2); }, 0},
        {"half sphere of NaN radius", [&](LineObject &l) { l.add_half_sphere(1, o, nan_value, up, 20, 2); }, 0},
        {"box", [&](LineObject &l) { l.add_box(1, matrix4x4_identity, {1, 2, 3}); }, 12},
        {"capsule", [&](LineObject &l) { l.add_capsule(1, o, {0, 0, 2}, 1, 20, 4, 10); }, 10 + 2 * 145},
        {"capsule without sides", [&](LineObject &l) { l.add_capsule(1, o, {0, 0, 2}, 1, 20, 4, 0); }, 2 * 145},
        {"capsule of radius 0", [&](LineObject &l) { l.add_capsule(1, o, {0, 0, 2}, 0, 20, 4, 10); }, 10},
        {"capsule of no length", [&](LineObject &l) { l.add_capsule(1, o, o, 1, 20, 4, 10); }, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LineObject lines(default_allocator(), 0);
        c.add(lines);
        EXPECT_EQ(lines.lines().size(), c.lines);
        for (const LineRecord &r : lines.lines()) {
            EXPECT_TRUE(std::isfinite(r.from.x) && std::isfinite(r.to.z));
            EXPECT_EQ(r.color, 1u);
        }
    }
}

TEST(LineObjectShapes, CircleLiesOnItsRingAndOneSegmentReturnsToItsStart)
{
    LineObject lines(default_allocator(), 0);
    const Vector3 centre{1, 2, 3};
    for (Vector3 normal : {Vector3{0, 0, 1}, Vector3{1, 0, 0}, Vector3{0.6f, 0, 0.8f}}) {
        lines.reset();
        lines.add_circle(7, centre, 2, normal, 12);
        ASSERT_EQ(lines.lines().size(), 12u);
        for (u32 i = 0; i < 12; ++i) {
            const LineRecord &r = lines.lines()[i];
            EXPECT_NEAR(length(r.from - centre), 2.0f, 1e-4f);
            EXPECT_NEAR(dot(r.from - centre, normal), 0.0f, 1e-4f);
            if (i > 0) {
                EXPECT_EQ(r.from, lines.lines()[i - 1].to); // a closed chain
            }
        }
        EXPECT_NEAR(length(lines.lines()[11].to - lines.lines()[0].from), 0.0f, 1e-4f);
    }
    lines.reset();
    lines.add_circle(7, centre, 1, {0, 0, 1}, 1);
    ASSERT_EQ(lines.lines().size(), 1u);
    EXPECT_NEAR(length(lines.lines()[0].to - lines.lines()[0].from), 0.0f, 1e-5f);
}

TEST(LineObjectShapes, BoxEdgesJoinCornersThatDifferInOneSign)
{
    LineObject lines(default_allocator(), 0);
    Matrix4x4 pose = matrix4x4_identity;
    set_translation(pose, {10, 0, 0});
    lines.add_box(3, pose, {1, 2, 3});
    ASSERT_EQ(lines.lines().size(), 12u);
    for (const LineRecord &r : lines.lines()) {
        Vector3 d = r.to - r.from;
        u32 differing = (d.x != 0) + (d.y != 0) + (d.z != 0);
        EXPECT_EQ(differing, 1u);
        EXPECT_EQ(std::fabs(r.from.x - 10), 1.0f);
        EXPECT_EQ(std::fabs(r.from.y), 2.0f);
    }
}

TEST(LineObjectShapes, ColoursPackArgbTruncatedToEightBits)
{
    EXPECT_EQ(pack_line_color(255, 255, 0, 0), 0xFFFF0000u);
    EXPECT_EQ(pack_line_color(255.9f, 1.7f, 2.2f, 3.9f), 0xFF010203u);
    EXPECT_EQ(pack_line_color(256, 257, -1, 0), 0x0001FF00u);
    EXPECT_EQ(pack_line_color(nan_value, 1e30f, 0, 0), 0u);
}

TEST(LineObjectShapes, ALineObjectHoldsABoundedNumberOfLines)
{
    test::LogCapture log;
    LineObject lines(default_allocator(), 4);
    for (u32 i = 0; i < max_lines_per_object / max_line_segments + 1; ++i)
        lines.add_circle(1, {0, 0, 0}, 1, {0, 0, 1}, i32(max_line_segments));
    EXPECT_EQ(lines.lines().size(), max_lines_per_object);
    EXPECT_EQ(count_lines(log, "holds"), 1);
}

TEST(LineObjectShapes, LinePairRecordsAreCutToTheBytesTheyHold)
{
    std::vector<u8> record(4 + 2 * 24);
    for (u32 i = 0; i < 12; ++i) {
        f32 v = f32(i);
        memcpy(record.data() + 4 + i * 4, &v, 4);
    }
    struct Case {
        u32 claimed;
        u32 bytes;
        u32 lines;
    };
    const Case cases[] = {{2, u32(record.size()), 2}, {1, u32(record.size()), 1}, {1000, u32(record.size()), 2},
                          {2, 4 + 24 + 23, 1}, {5, 3, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.claimed);
        memcpy(record.data(), &c.claimed, 4);
        LineObject lines(default_allocator(), 0);
        EXPECT_EQ(add_line_pairs(lines, 0xFFFFFF00u, record.data(), c.bytes), c.lines);
        ASSERT_EQ(lines.lines().size(), c.lines);
        if (c.lines) {
            EXPECT_EQ(lines.lines()[0].to.x, 3.0f);
            EXPECT_EQ(lines.lines()[0].color, 0xFFFFFF00u);
        }
    }
}

/// The line messages written to a stream, applied to a drawer.
void apply_all(const RenderStateStream &stream, RenderLineObjectDrawer &drawer)
{
    RenderStateStream::Record record;
    for (u32 at = stream.first_record(); stream.read(at, record);)
        drawer.apply_message(record.kind, record.payload, record.payload_bytes);
}

std::vector<LineRange> ranges(const RenderLineObjectDrawer &d) { return {d.ranges().begin(), d.ranges().end()}; }

TEST(LineDrawer, SameCountRewritesInPlaceAndOtherCountsMoveToTheEnd)
{
    Allocator &al = default_allocator();
    RenderStateStream stream(al);
    LineObjects pool(al, 5);
    LineObject *a = pool.create(), *b = pool.create(), *c = pool.create();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->id(), 0u);
    EXPECT_EQ(c->id(), 2u);
    a->add_line(1, {0, 0, 0}, {1, 0, 0});
    a->add_line(1, {0, 0, 0}, {2, 0, 0});
    for (int i = 0; i < 3; ++i)
        b->add_line(2, {0, 0, 0}, {0, 1, 0});
    c->add_line(3, {0, 0, 0}, {0, 0, 1});
    for (LineObject *l : {a, b, c})
        ASSERT_TRUE(l->dispatch(stream, pool.drawer()));
    RenderLineObjectDrawer drawer(al, LineDrawerDescription{});
    apply_all(stream, drawer);
    EXPECT_EQ(ranges(drawer), (std::vector<LineRange>{{0, 0, 4}, {1, 4, 10}, {2, 10, 12}}));
    EXPECT_EQ(drawer.primitive_count(), 6u);

    // The same count: the vertices change where they are.
    stream.reset();
    a->reset();
    a->add_line(9, {5, 5, 5}, {6, 6, 6});
    a->add_line(9, {7, 7, 7}, {8, 8, 8});
    a->dispatch(stream, pool.drawer());
    apply_all(stream, drawer);
    EXPECT_EQ(ranges(drawer), (std::vector<LineRange>{{0, 0, 4}, {1, 4, 10}, {2, 10, 12}}));
    EXPECT_EQ(drawer.vertices()[2].x, 7.0f);
    EXPECT_EQ(drawer.vertices()[3].color, 9u);
    EXPECT_EQ(drawer.vertices()[10].z, 0.0f); // c untouched
    EXPECT_EQ(drawer.vertices()[11].z, 1.0f);

    // Another count: b leaves its place, c moves down, b goes to the end.
    stream.reset();
    b->reset();
    b->add_line(4, {0, 0, 0}, {0, 0, 4});
    b->dispatch(stream, pool.drawer());
    apply_all(stream, drawer);
    EXPECT_EQ(ranges(drawer), (std::vector<LineRange>{{0, 0, 4}, {2, 4, 6}, {1, 6, 8}}));
    EXPECT_EQ(drawer.vertices()[5].z, 1.0f);
    EXPECT_EQ(drawer.vertices()[7].z, 4.0f);

    // An empty dispatch writes nothing: the old lines stay drawn.
    stream.reset();
    b->reset();
    EXPECT_TRUE(b->dispatch(stream, pool.drawer()));
    EXPECT_TRUE(stream.empty());

    // Destroying a line object makes the drawer forget its lines.
    stream.reset();
    EXPECT_TRUE(pool.destroy(a, &stream));
    EXPECT_FALSE(pool.destroy(a, &stream));
    apply_all(stream, drawer);
    EXPECT_EQ(ranges(drawer), (std::vector<LineRange>{{2, 0, 2}, {1, 2, 4}}));
    EXPECT_EQ(pool.count(), 2u);
}

TEST(LineDrawer, MessagesThatDoNotFitTheirPayloadAreDropped)
{
    test::LogCapture log;
    RenderLineObjectDrawer drawer(default_allocator(), LineDrawerDescription{});
    LineMessageHeader header{u32(RenderObjectClass::LineObjectDrawer), 0, 3, 2, sizeof(LineMessageHeader)};
    u8 payload[sizeof header + sizeof(LineRecord)] = {};
    memcpy(payload, &header, sizeof header);
    drawer.apply_message(line_message_kind, payload, sizeof payload); // claims 2, holds 1
    header.count = 0x10000000;
    memcpy(payload, &header, sizeof header);
    drawer.apply_message(line_message_kind, payload, sizeof payload);
    drawer.apply_message(line_message_kind, payload, 8);
    drawer.apply_message(7, payload, sizeof payload);
    EXPECT_EQ(drawer.vertex_count(), 0u);
    EXPECT_EQ(count_lines(log, "dropped"), 4);
}

class LineDrawerDraw : public DrawFixture {};

TEST_F(LineDrawerDraw, OneLineListDrawOfEveryVertex)
{
    RenderLineObjectDrawer drawer(a, LineDrawerDescription{});
    with_resources([&](RenderResourceContext *rc) { drawer.create_resources(rc); });
    // No vertices: nothing is filed.
    EXPECT_TRUE(of_type(draw([&](const RenderDrawParams &p) { EXPECT_FALSE(drawer.render(p)); }),
                        RenderCommand::DrawBatch)
                    .empty());
    LineRecord lines[3] = {{{0, 0, 0}, {1, 0, 0}, 0xFF0000FF}, {{0, 0, 0}, {0, 1, 0}, 2}, {{0, 0, 0}, {0, 0, 1}, 3}};
    drawer.submit_lines(0, 3, lines);
    std::vector<DecodedCommand> commands = draw([&](const RenderDrawParams &p) { EXPECT_TRUE(drawer.render(p)); });
    auto draws = of_type(commands, RenderCommand::DrawBatch);
    ASSERT_EQ(draws.size(), 1u);
    const DrawBatchRecord &d = draws[0]->draw;
    EXPECT_EQ(d.primitive_type, primitive_type::line_list);
    EXPECT_EQ(d.primitive_count, 3u);
    EXPECT_EQ(d.vertex_count, 6u);
    ASSERT_EQ(draws[0]->bindings.size(), 2u);
    EXPECT_EQ(draws[0]->bindings[0].handle, drawer.vertex_buffer().resource.handle);
    EXPECT_EQ(draws[0]->bindings[1].handle, drawer.vertex_declaration().resource.handle);
    auto uploads = of_type(commands, RenderCommand::UpdateVertexBuffer);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0]->buffer.description.element_count, 6u);
    EXPECT_EQ(uploads[0]->buffer.description.element_size, 16u);
    LineVertex uploaded[6];
    memcpy(uploaded, uploads[0]->buffer.data, sizeof uploaded);
    EXPECT_EQ(uploaded[1].x, 1.0f);
    EXPECT_EQ(uploaded[1].color, 0xFF0000FFu);
    EXPECT_EQ(uploaded[5].z, 1.0f);
    // The upload runs before the draw.
    EXPECT_LT(uploads[0]->key, draws[0]->key);
    RenderResourceHandle buffer = drawer.vertex_buffer().resource.handle;
    RenderResourceHandle declaration = drawer.vertex_declaration().resource.handle;
    EXPECT_EQ(device.objects().count(buffer), 1u);
    with_resources([&](RenderResourceContext *rc) { drawer.destroy_resources(rc); });
    EXPECT_EQ(device.objects().count(buffer), 0u);
    EXPECT_EQ(device.objects().count(declaration), 0u);
}

TEST_F(LineDrawerDraw, AScreenSpaceDrawerDrawsInPixels)
{
    RenderLineObjectDrawer drawer(a, LineDrawerDescription{0, true});
    with_resources([&](RenderResourceContext *rc) { drawer.create_resources(rc); });
    LineRecord line{{640, 0, 360}, {1280, 0, 720}, 1};
    drawer.submit_lines(0, 1, &line);
    std::vector<DecodedCommand> commands = draw([&](const RenderDrawParams &p) { drawer.render(p); });
    auto draws = of_type(commands, RenderCommand::DrawBatch);
    ASSERT_EQ(draws.size(), 1u);
    // The constants hold world, view, projection (transposed): the projection takes the
    // screen's centre to the clip origin.
    ASSERT_GE(draws[0]->constants.size(), 3 * 64u);
    f32 proj[16];
    memcpy(proj, draws[0]->constants.data() + 128, sizeof proj);
    // Transposed: row r of the shader matrix is column r of ours.
    f32 clip_x = 640 * proj[0] + proj[3];
    f32 clip_y = 360 * proj[6] + proj[7];
    EXPECT_NEAR(clip_x, 0.0f, 1e-5f);
    EXPECT_NEAR(clip_y, 0.0f, 1e-5f);
    with_resources([&](RenderResourceContext *rc) { drawer.destroy_resources(rc); });
}

} // namespace
} // namespace tallow

#include "world/units/scene_graph.h"

#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "render/world/render_scene_graph.h"
#include "render/world/render_state_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace tallow {
namespace {

// A pose turned `angle` radians about z, scaled by `scale` and moved to (x, y, z).
Matrix4x4 pose(f32 x, f32 y, f32 z, f32 angle = 0, f32 scale = 1)
{
    f32 c = std::cos(angle) * scale, s = std::sin(angle) * scale;
    return {{{c, s, 0, 0}, {-s, c, 0, 0}, {0, 0, scale, 0}, {x, y, z, 1}}};
}

::testing::AssertionResult near(const Matrix4x4 &a, const Matrix4x4 &b, f32 tolerance = 1e-4f)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (std::fabs(a.m[i][j] - b.m[i][j]) > tolerance)
                return ::testing::AssertionFailure() << "element " << i << "," << j << ": " << a.m[i][j] << " vs " << b.m[i][j];
    return ::testing::AssertionSuccess();
}

std::vector<u32> flagged(const NodeChangeMask &mask, u32 node_count)
{
    std::vector<u32> nodes;
    for (u32 i = 0; i < node_count; ++i)
        if (mask.test(i))
            nodes.push_back(i);
    return nodes;
}

struct ParsedRecord {
    u32 kind = 0;
    SceneGraphChangeHeader header = {};
    std::vector<SceneGraphChangeEntry> entries;
};

std::vector<ParsedRecord> parse(const RenderStateStream &stream)
{
    std::vector<ParsedRecord> records;
    RenderStateStream::Record record;
    for (u32 at = stream.first_record(); stream.read(at, record);) {
        ParsedRecord parsed;
        parsed.kind = record.kind;
        memcpy(&parsed.header, record.payload, sizeof parsed.header);
        for (u32 i = 0; i < parsed.header.count; ++i) {
            SceneGraphChangeEntry entry;
            memcpy(&entry, record.payload + parsed.header.entries_offset + i * sizeof entry, sizeof entry);
            parsed.entries.push_back(entry);
        }
        records.push_back(parsed);
    }
    return records;
}

// Tree used by most tests:   0 ─ 1 ─ 2 ─ 3
//                               └ 4 ─ 5
class SceneGraphTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(graph.reset(6));
        const u32 parents[6] = {scene_graph_root, 0, 1, 2, 0, 4};
        for (u32 i = 0; i < 6; ++i) {
            ASSERT_TRUE(graph.set_parent(i, parents[i]));
            graph.set_local_pose(i, pose(f32(i), 1, 0, 0.3f * f32(i), 1.0f + 0.1f * f32(i)));
        }
        graph.update_world();
    }
    Matrix4x4 expected_world(u32 node) const
    {
        Matrix4x4 m = graph.local_pose(node);
        for (u32 at = graph.parent(node); at != scene_graph_root; at = graph.parent(at))
            m = m * graph.local_pose(at);
        return m;
    }

    TraceAllocator allocator{"scene_graph_test", default_allocator()};
    SceneGraph graph{allocator};
};

TEST_F(SceneGraphTest, ChangedNodeRecomputesItsSubtreeOnly)
{
    struct Case {
        const char *name;
        u32 changed;
        std::vector<u32> recomputed;
    };
    const Case cases[] = {
        {"root", 0, {0, 1, 2, 3, 4, 5}},
        {"middle of the chain", 2, {2, 3}},
        {"second branch", 4, {4, 5}},
        {"leaf", 3, {3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SceneGraph other(allocator, 2);
        other.set_local_pose(1, pose(5, 5, 5));
        other.update_world();
        Matrix4x4 other_before = other.world_pose(1);

        graph.set_local_pose(c.changed, pose(3, -2, 7, 1.1f, 2.0f));
        NodeChangeMask mask;
        graph.update_world(&mask);
        EXPECT_EQ(flagged(mask, 6), c.recomputed);
        EXPECT_TRUE(mask.any());
        for (u32 i = 0; i < 6; ++i)
            EXPECT_TRUE(near(graph.world_pose(i), expected_world(i))) << "node " << i;
        EXPECT_FALSE(graph.change_mask().any()) << "the update hands its mask over and clears it";

        // Nothing else moved: the other graph reports nothing and keeps its pose.
        NodeChangeMask other_mask;
        other.update_world(&other_mask);
        EXPECT_FALSE(other_mask.any());
        EXPECT_EQ(other.world_pose(1), other_before);
    }
}

TEST_F(SceneGraphTest, UntouchedGraphGivesAnEmptyChangeRecord)
{
    NodeChangeMask mask;
    graph.update_world(&mask);
    EXPECT_FALSE(mask.any());
    RenderStateStream stream(allocator);
    ASSERT_TRUE(graph.collect_changes(stream, mask));
    std::vector<ParsedRecord> records = parse(stream);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].header.count, 0u);
    EXPECT_EQ(stream.size_bytes(), 12u + 16u);
}

TEST_F(SceneGraphTest, FindNodeAndNodeRef)
{
    graph.set_node_name(4, NameId32("hand"));
    EXPECT_EQ(graph.find_node(NameId32("hand")), 4u);
    EXPECT_EQ(graph.node_ref(NameId32("hand")).index, 4u);
    EXPECT_EQ(graph.find_node(NameId32("foot")), scene_graph_no_node);
    NodeRef absent = graph.node_ref(NameId32("foot"));
    EXPECT_EQ(absent.index, 0xFFFFFFFFu);
    EXPECT_FALSE(absent.is_valid());
}

TEST_F(SceneGraphTest, LinkKeepsEveryPoseRelativeToTheRoot)
{
    struct Case {
        const char *name;
        u32 node, new_parent;
    };
    const Case cases[] = {
        {"to another branch", 5, 2},
        {"to the root", 5, 0},
        {"to no parent", 2, scene_graph_root},
        {"to its grandparent", 3, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Matrix4x4 before[6];
        for (u32 i = 0; i < 6; ++i)
            before[i] = graph.world_pose(i);
        ASSERT_TRUE(graph.link(c.node, c.new_parent));
        EXPECT_EQ(graph.parent(c.node), c.new_parent);
        EXPECT_TRUE(graph.validate());
        NodeChangeMask mask;
        graph.update_world(&mask);
        EXPECT_TRUE(mask.test(c.node)) << "the re-parented node reaches the render side";
        for (u32 i = 0; i < 6; ++i)
            EXPECT_TRUE(near(graph.world_pose(i), before[i])) << "node " << i;
    }
}

TEST_F(SceneGraphTest, LinkRefusesOrderBreakingParents)
{
    struct Case {
        const char *name;
        u32 node, new_parent;
    };
    const Case cases[] = {
        {"parent after the node", 1, 3},
        {"itself", 2, 2},
        {"its own child (a cycle)", 1, 2},
        {"node out of range", 6, 0},
        {"parent out of range", 5, 9},
        {"linked-root marker as parent", 3, scene_graph_linked_root},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        u32 old_parent = c.node < graph.node_count() ? graph.parent(c.node) : 0;
        EXPECT_FALSE(graph.link(c.node, c.new_parent));
        if (c.node < graph.node_count()) {
            EXPECT_EQ(graph.parent(c.node), old_parent);
        }
        EXPECT_TRUE(graph.validate());
    }
}

TEST_F(SceneGraphTest, TransformAllMovesRootsAndKeepsChildLocals)
{
    Matrix4x4 spawn = pose(10, 20, 30, 0.5f, 2.0f);
    Matrix4x4 local_before[6], world_before[6];
    for (u32 i = 0; i < 6; ++i) {
        local_before[i] = graph.local_pose(i);
        world_before[i] = graph.world_pose(i);
    }
    graph.transform_all(spawn);
    EXPECT_TRUE(near(graph.local_pose(0), local_before[0] * spawn));
    for (u32 i = 1; i < 6; ++i)
        EXPECT_EQ(graph.local_pose(i), local_before[i]) << "node " << i;
    for (u32 i = 0; i < 6; ++i)
        EXPECT_TRUE(near(graph.world_pose(i), world_before[i] * spawn, 1e-3f)) << "node " << i;
    // The moved graph is consistent: a full recompute gives the same world matrices.
    graph.set_local_pose(0, graph.local_pose(0));
    graph.update_world();
    for (u32 i = 0; i < 6; ++i)
        EXPECT_TRUE(near(graph.world_pose(i), world_before[i] * spawn, 1e-3f)) << "node " << i;
}

TEST_F(SceneGraphTest, CopyTakesNodesAndHandleButNotTheLink)
{
    graph.render_handle_field() = 42;
    graph.set_node_name(5, NameId32("tip"));
    SceneGraph copy(allocator, 1);
    ASSERT_TRUE(copy.copy(graph));
    EXPECT_EQ(copy.node_count(), 6u);
    EXPECT_EQ(copy.render_handle(), 42u);
    EXPECT_EQ(copy.find_node(NameId32("tip")), 5u);
    for (u32 i = 0; i < 6; ++i) {
        EXPECT_EQ(copy.parent(i), graph.parent(i));
        EXPECT_EQ(copy.local_pose(i), graph.local_pose(i));
        EXPECT_EQ(copy.world_pose(i), graph.world_pose(i));
    }
    EXPECT_FALSE(copy.change_mask().any());
}

TEST(SceneGraph, LinkedRootFollowsItsParentAndReportsIt)
{
    TraceAllocator allocator("scene_graph_test", default_allocator());
    SceneGraph parent(allocator, 2);
    ASSERT_TRUE(parent.set_parent(1, 0));
    parent.set_local_pose(1, pose(0, 2, 0));
    parent.update_world();

    SceneGraph child(allocator, 3);
    ASSERT_TRUE(child.set_parent(1, 0));
    ASSERT_TRUE(child.set_parent(2, 1));
    child.set_local_pose(1, pose(1, 0, 0));
    child.set_local_pose(2, pose(0, 0, 1));
    child.set_local_pose(0, pose(50, 50, 50)); // dropped by the link: the root sits on the node
    ASSERT_TRUE(child.link_root(make_node_ref(&parent, 1)));
    EXPECT_EQ(child.parent(0), scene_graph_linked_root);
    EXPECT_TRUE(child.validate());
    child.update_world();
    EXPECT_TRUE(near(child.world_pose(0), pose(0, 2, 0)));

    // The parent moves; the child's graph hears nothing but follows in the next frame.
    for (f32 x : {5.0f, 9.0f}) {
        SCOPED_TRACE(x);
        parent.set_local_pose(0, pose(x, 0, 0, 0.25f));
        parent.update_world();
        child.copy_parent_world();
        NodeChangeMask mask;
        child.update_world(&mask);
        EXPECT_EQ(flagged(mask, 3), (std::vector<u32>{0, 1, 2}));
        EXPECT_TRUE(near(child.world_pose(0), parent.world_pose(1)));
        EXPECT_TRUE(near(child.world_pose(2), pose(0, 0, 1) * pose(1, 0, 0) * parent.world_pose(1)));
    }

    // A resting parent: the root recomputes to the same matrix, so nothing is flagged and
    // the render side hears nothing. The root's own move is still flagged.
    const Matrix4x4 resting = child.world_pose(2);
    child.copy_parent_world();
    NodeChangeMask still;
    child.update_world(&still);
    EXPECT_FALSE(still.any());
    EXPECT_EQ(child.world_pose(2), resting);
    child.set_local_pose(0, pose(0, 0, 0, 0.5f));
    child.copy_parent_world();
    NodeChangeMask turned;
    child.update_world(&turned);
    EXPECT_EQ(flagged(turned, 3), (std::vector<u32>{0, 1, 2}));
    EXPECT_TRUE(near(child.world_pose(0), pose(0, 0, 0, 0.5f) * parent.world_pose(1)));

    // Unlinked, it stays where it was and stops following.
    Matrix4x4 where = child.world_pose(2);
    child.unlink_root();
    EXPECT_EQ(child.parent(0), scene_graph_root);
    EXPECT_FALSE(child.parent_link().is_valid());
    parent.set_local_pose(0, pose(-40, 0, 0));
    parent.update_world();
    child.copy_parent_world();
    child.update_world();
    EXPECT_TRUE(near(child.world_pose(2), where));

    // A link to nothing, to a missing node or to itself is refused.
    EXPECT_FALSE(child.link_root(NodeRef()));
    EXPECT_FALSE(child.link_root(make_node_ref(&parent, 2)));
    EXPECT_FALSE(child.link_root(make_node_ref(&child, 1)));
    EXPECT_EQ(child.parent(0), scene_graph_root);

    // A linked root cannot be re-parented inside its graph.
    ASSERT_TRUE(child.link_root(make_node_ref(&parent, 0)));
    EXPECT_FALSE(child.link(0, scene_graph_root));
    EXPECT_EQ(child.parent(0), scene_graph_linked_root);
}

TEST(SceneGraph, NodeCountAboveTheMaskIsRefused)
{
    TraceAllocator allocator("scene_graph_test", default_allocator());
    SceneGraph graph(allocator);
    EXPECT_TRUE(graph.reset(max_scene_graph_nodes));
    EXPECT_EQ(graph.node_count(), 504u);
    EXPECT_FALSE(graph.reset(max_scene_graph_nodes + 1));
    EXPECT_EQ(graph.node_count(), 0u);
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

TEST(SceneGraph, ChangeRecordBytesAndRenderSideRoundTrip)
{
    TraceAllocator allocator("scene_graph_test", default_allocator());
    SceneGraph graph(allocator, max_scene_graph_nodes);
    graph.render_handle_field() = 77;
    graph.update_world(); // everything clean

    // Mask bits at the byte edges and the last node that has one.
    const u32 nodes[] = {0, 7, 8, 503};
    for (u32 n : nodes)
        graph.set_local_pose(n, pose(f32(n), 1, 2));
    NodeChangeMask mask;
    graph.update_world(&mask);
    EXPECT_EQ(mask.bytes[0], 0x81);
    EXPECT_EQ(mask.bytes[1], 0x01);
    EXPECT_EQ(mask.bytes[62], 0x80);
    EXPECT_EQ(mask.bytes[63], 1);

    RenderStateStream stream(allocator);
    ASSERT_TRUE(graph.collect_changes(stream, mask));
    // Header {kind 0, size, payload offset 12}; payload {class 1, handle, count, 16}; entries.
    ASSERT_EQ(stream.size_bytes(), 12u + 16u + 4u * 68u);
    std::vector<u32> words((stream.size_bytes()) / 4);
    memcpy(words.data(), stream.data(), stream.size_bytes());
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 12u + 16u + 4u * 68u);
    EXPECT_EQ(words[2], 12u);
    EXPECT_EQ(words[3], 1u);
    EXPECT_EQ(words[4], 77u);
    EXPECT_EQ(words[5], 4u);
    EXPECT_EQ(words[6], 16u);
    for (u32 k = 0; k < 4; ++k) {
        const u8 *entry = stream.data() + 28 + k * 68;
        Matrix4x4 m;
        memcpy(&m, entry, sizeof m);
        u32 node;
        memcpy(&node, entry + 64, 4);
        EXPECT_EQ(node, nodes[k]);
        EXPECT_EQ(m, pose(f32(nodes[k]), 1, 2));
    }

    // The render side starts from the graph's matrices with everything flagged, then
    // takes exactly the changed nodes.
    SceneGraph start(allocator, max_scene_graph_nodes);
    RenderSceneGraph render(allocator, start.world_matrices(), start.node_count());
    EXPECT_EQ(flagged(render.changes(0), 504).size(), 504u);
    RenderStateStream::Record record;
    u32 at = stream.first_record();
    ASSERT_TRUE(stream.read(at, record));
    ASSERT_TRUE(render.update_from(record.payload, record.payload_bytes, 1));
    EXPECT_EQ(render.changes(1), mask);
    for (u32 i = 0; i < 504; ++i)
        EXPECT_EQ(render.world(i), graph.world_pose(i)) << "node " << i;
}

// The reflection's in-place records are byte for byte what collect_changes appends for
// the same nodes, and the unreflected mask gathers several updates and is cleared by the
// write.
TEST(SceneGraph, InPlaceChangeRecordsMatchCollectChanges)
{
    TraceAllocator allocator("scene_graph_test", default_allocator());
    struct Case {
        u32 node_count;
        std::vector<std::vector<u32>> moves; // nodes moved before each of several updates
    };
    const Case cases[] = {
        {1, {{}}},
        {8, {{3}, {}, {0}}},
        {9, {{8}, {7}}},
        {64, {{63}, {1, 62}}},
        {65, {{64}}},
        {max_scene_graph_nodes, {{0, 7, 8}, {255, 503}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.node_count);
        SceneGraph graph(allocator, c.node_count);
        for (u32 i = 1; i < c.node_count; ++i)
            ASSERT_TRUE(graph.set_parent(i, i % 3 == 0 ? scene_graph_root : i - 1));
        graph.render_handle_field() = 40 + c.node_count;
        graph.update_world();
        NodeChangeMask all;
        for (const std::vector<u32> &moved : c.moves) {
            for (u32 n : moved)
                graph.set_local_pose(n, pose(f32(n), 2, 3));
            NodeChangeMask mask;
            graph.update_world(&mask);
            all.merge(mask);
            graph.add_unreflected(mask);
        }
        EXPECT_EQ(graph.unreflected(), all);

        RenderStateStream appended(allocator);
        ASSERT_TRUE(graph.collect_changes(appended, all));
        const u32 bytes = graph.change_record_bytes();
        ASSERT_EQ(bytes, appended.size_bytes());
        RenderStateStream placed(allocator);
        u8 *at = placed.reserve(bytes);
        ASSERT_NE(at, nullptr);
        EXPECT_EQ(graph.write_change_record(at), bytes);
        placed.commit(bytes);
        ASSERT_EQ(placed.size_bytes(), bytes);
        EXPECT_EQ(memcmp(placed.data(), appended.data(), bytes), 0);
        EXPECT_FALSE(graph.unreflected().any());
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

TEST(RenderSceneGraph, DamagedRecordsChangeNothing)
{
    TraceAllocator allocator("scene_graph_test", default_allocator());
    const Matrix4x4 start[2] = {pose(1, 0, 0), pose(2, 0, 0)};
    RenderSceneGraph render(allocator, start, 2);

    struct Case {
        const char *name;
        u32 count, entries_offset, payload_bytes;
        bool accepted;
    };
    const Case cases[] = {
        {"shorter than the header", 0, 16, 12, false},
        {"entries past the end", 2, 16, 16 + 68, false},
        {"entries inside the header", 1, 8, 16 + 68, false},
        {"count that overflows 32 bits", 0x04000000, 16, 16 + 68, false},
        {"one entry", 1, 16, 16 + 68, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<u8> payload(256, 0);
        SceneGraphChangeHeader header = {1, 3, c.count, c.entries_offset};
        memcpy(payload.data(), &header, sizeof header);
        SceneGraphChangeEntry entry = {pose(9, 9, 9), 1};
        memcpy(payload.data() + 16, &entry, sizeof entry);
        EXPECT_EQ(render.update_from(payload.data(), c.payload_bytes, 1), c.accepted);
        EXPECT_EQ(render.world(1), c.accepted ? pose(9, 9, 9) : pose(2, 0, 0));
        EXPECT_EQ(render.world(0), pose(1, 0, 0));
    }

    // An entry for a node the graph lacks is skipped; the rest apply.
    std::vector<u8> payload(16 + 2 * 68);
    SceneGraphChangeHeader header = {1, 3, 2, 16};
    SceneGraphChangeEntry entries[2] = {{pose(7, 0, 0), 5}, {pose(8, 0, 0), 0}};
    memcpy(payload.data(), &header, sizeof header);
    memcpy(payload.data() + 16, entries, sizeof entries);
    EXPECT_TRUE(render.update_from(payload.data(), u32(payload.size()), 2));
    EXPECT_EQ(render.world(0), pose(8, 0, 0));
    EXPECT_EQ(flagged(render.changes(2), 2), (std::vector<u32>{0}));
}

// The change mask belongs to one state frame: the first record of a frame starts it
// afresh, later records of the same frame add to it, and a frame without a record reads
// as unchanged while the matrices stay.
TEST(RenderSceneGraph, ChangeMaskBelongsToItsFrame)
{
    TraceAllocator allocator("scene_graph_test", default_allocator());
    const Matrix4x4 start[3] = {pose(1, 0, 0), pose(2, 0, 0), pose(3, 0, 0)};
    RenderSceneGraph render(allocator, start, 3);
    render.mark_created(4);
    auto record = [](u32 node, f32 x) {
        std::vector<u8> payload(16 + 68);
        SceneGraphChangeHeader header = {1, 3, 1, 16};
        SceneGraphChangeEntry entry = {pose(x, 0, 0), node};
        memcpy(payload.data(), &header, sizeof header);
        memcpy(payload.data() + 16, &entry, sizeof entry);
        return payload;
    };
    struct Step {
        const char *name;
        u64 frame;
        i32 node; // the node a record moves this step; -1 for none
        std::vector<u32> changed; // read in `frame` afterwards
        std::vector<u32> earlier; // read in frame 4 (creation) afterwards
    };
    const Step steps[] = {
        {"created: all nodes changed", 4, -1, {0, 1, 2}, {0, 1, 2}},
        {"a record in the creating frame adds to all", 4, 1, {0, 1, 2}, {0, 1, 2}},
        {"next frame, no record", 5, -1, {}, {0, 1, 2}},
        {"first record of a frame starts afresh", 6, 2, {2}, {}},
        {"second record of the same frame adds", 6, 0, {0, 2}, {}},
        {"a later frame without a record", 7, -1, {}, {}},
        {"a record for one node only", 8, 1, {1}, {}},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.node >= 0) {
            const std::vector<u8> payload = record(u32(s.node), 10 + f32(s.frame));
            ASSERT_TRUE(render.update_from(payload.data(), u32(payload.size()), s.frame));
            EXPECT_EQ(render.world(u32(s.node)), pose(10 + f32(s.frame), 0, 0));
        }
        EXPECT_EQ(flagged(render.changes(s.frame), 3), s.changed);
        EXPECT_EQ(flagged(render.changes(4), 3), s.earlier);
    }
    EXPECT_EQ(render.world(0), pose(16, 0, 0)) << "matrices stay through frames without records";
    EXPECT_EQ(render.world(2), pose(16, 0, 0));
}

} // namespace
} // namespace tallow

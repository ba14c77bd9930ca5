#include "world/units/unit_resource.h"

#include "foundation/io/chunk_store.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "tests/support/writers/unit_resource_writer.h"
#include "tools/world/unit_compiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace tallow {
namespace {

Matrix4x4 translate(f32 x, f32 y, f32 z)
{
    Matrix4x4 m = matrix4x4_identity;
    set_translation(m, {x, y, z});
    return m;
}

// A unit with every section non-empty and distinct values in every field.
test::UnitSource full_unit()
{
    test::UnitSource u;
    u.header = 0xA1;
    test::UnitSourceGeometry g;
    g.first_block = {1, 2, 3};
    g.pairs[0] = 11, g.pairs[3] = 14;
    g.words[0] = 21, g.words[2] = 23;
    g.word = 24;
    g.second_block = {9, 8};
    g.entries = {31, 32, 33, 34, 35, 36, 37, 38};
    g.box = {{-1, -2, -3}, {1, 2, 3}, 41};
    g.names = {{51, "alpha"}, {52, ""}};
    u.geometries.push_back(g);
    u.skins.push_back({{61, 62}, {{63}, {}, {64, 65}}});
    u.simple_animation_data = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x41};
    u32 root = u.add_node("root", translate(1, 0, 0), test::no_parent);
    u32 arm = u.add_node("arm", translate(0, 2, 0), root);
    u.add_node("hand", translate(0, 0, 3), arm);
    u.simple_animations = {{0, {0}}, {NameId32("wave").value(), {1, 2}}};
    if (u.simple_animations[1].name_id < u.simple_animations[0].name_id)
        std::swap(u.simple_animations[0], u.simple_animations[1]);
    u.node_references = {71, 2};
    u.meshes.push_back({NameId32("body").value(), 1, {72, 73}, 2});
    test::UnitSourceActor actor;
    actor.name_id = NameId32("torso").value();
    actor.actor_template = 81;
    actor.node = 2;
    actor.pose = translate(0, 0, 5);
    for (u32 kind = 0; kind < 5; ++kind) {
        test::UnitSourceShape s;
        s.kind = kind;
        s.material = 90 + kind;
        s.shape_template = 95 + kind;
        s.pose = translate(f32(kind), 0, 0);
        if (kind >= 3)
            s.mesh_data = {u8(kind), 7};
        static const u32 counts[5] = {1, 3, 2, 0, 0};
        for (u32 p = 0; p < counts[kind]; ++p)
            s.parameters.push_back(100 + kind * 10 + p);
        actor.shapes.push_back(s);
    }
    actor.flow_targets[2] = 3 << 16 | 1;
    actor.create = 0;
    u.actors.push_back(actor);
    test::UnitSourceActor second;
    second.name_id = NameId32("leg").value();
    u.actors.push_back(second);
    u.cameras.push_back({NameId32("eye").value(), 2, {111, 112, 113}});
    test::UnitSourceLight light;
    light.name_id = NameId32("lamp").value();
    light.node = 1;
    for (u32 i = 0; i < 9; ++i)
        light.settings[i] = 120 + i;
    u.lights.push_back(light);
    u.lod_objects.push_back({131, {{{132, 133}, {134, 135}}, {{136, 137}, {}}}, {{0, 0, 0}, {4, 4, 4}, 138}, 139});
    test::UnitSourceJoint joint;
    joint.create = 1;
    joint.joint.words[2] = NameId32("torso").value();
    for (u32 i = 0; i < 8; ++i)
        joint.joint.set_vector(4 + 3 * i, {f32(i), f32(i) + 0.5f, -f32(i)});
    joint.joint.words[0] = NameId32("hinge").value();
    joint.joint.words[31] = 1;
    joint.joint.words[46] = 142;
    u.joints.push_back(joint);
    u.movers.push_back({1.8f, 0.4f, 153, 0.5f, 0.3f, 156, 157});
    u.collision_pairs = {0, 1};
    u.named_strings.push_back({161, {"one", "two"}});
    u.animated = 1;
    u.state_machine = "walker";
    u.data_defaults = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    u.visibility_groups.push_back({NameId32("shell").value(), {0}});
    u.flow_graph = {1, 2, 3, 4};
    u.flow_variable_defaults = {5, 6, 7, 8, 9, 10, 11, 12};
    return u;
}

std::string text(const UnitResource &r, UnitBytes b) { return std::string(reinterpret_cast<const char *>(r.bytes(b)), b.size); }

class UnitResourceTest : public testing::Test {
  protected:
    TraceAllocator allocator{"unit_resource_test", default_allocator()};

    UnitResource *read(const std::vector<u8> &bytes) { return read_unit_resource(bytes.data(), bytes.size(), allocator); }
    void TearDown() override { EXPECT_EQ(allocator.allocation_count(), 0u); }
};

TEST_F(UnitResourceTest, EverySectionRoundTrips)
{
    std::vector<u8> bytes = test::write_unit_resource(full_unit());
    UnitResource *r = read(bytes);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->header, 0xA1u);
    ASSERT_EQ(r->geometries.size(), 1u);
    const UnitMeshGeometry &g = r->geometries[0];
    EXPECT_EQ(g.first_block.size, 3u);
    EXPECT_EQ(r->bytes(g.first_block)[2], 3);
    EXPECT_EQ(g.pairs[3], 14u);
    EXPECT_EQ(g.words[2], 23u);
    EXPECT_EQ(g.word, 24u);
    EXPECT_EQ(r->bytes(g.second_block)[1], 8);
    EXPECT_EQ(g.entries.size, 32u);
    EXPECT_EQ(g.box.min[2], -3.0f);
    EXPECT_EQ(g.box.word, 41u);
    ASSERT_EQ(g.names.count, 2u);
    EXPECT_EQ(text(*r, r->id_strings[g.names.first].text), "alpha");
    EXPECT_EQ(r->id_strings[g.names.first + 1].id, 52u);

    ASSERT_EQ(r->skins.size(), 1u);
    EXPECT_EQ(r->word(r->skins[0].words, 1), 62u);
    ASSERT_EQ(r->skins[0].lists.count, 3u);
    EXPECT_EQ(r->word(r->word_lists[r->skins[0].lists.first + 2], 1), 65u);

    EXPECT_EQ(r->simple_animation_data.size, 12u);
    const UnitSimpleAnimation *wave = r->find_simple_animation(NameId32("wave").value());
    ASSERT_NE(wave, nullptr);
    EXPECT_EQ(r->word(wave->nodes, 1), 2u);
    EXPECT_NE(r->find_simple_animation(0), nullptr);
    EXPECT_EQ(r->find_simple_animation(12345), nullptr);

    ASSERT_EQ(r->node_count, 3u);
    EXPECT_EQ(r->parents[2], 1u);
    EXPECT_EQ(r->node_names[1], NameId32("arm").value());
    EXPECT_EQ(translation(r->world_matrices[2]), (Vector3{1, 2, 3}));
    EXPECT_EQ(translation(r->local_matrices[1]), (Vector3{0, 2, 0}));

    ASSERT_EQ(r->node_references.size(), 1u);
    EXPECT_EQ(r->node_references[0].word, 71u);
    EXPECT_EQ(r->meshes[0].node, 1u);
    EXPECT_EQ(r->meshes[0].words[1], 73u);
    EXPECT_EQ(r->meshes[0].flags, 2u);

    ASSERT_EQ(r->actors.size(), 2u);
    const UnitActorTemplate &a = r->actors[0];
    EXPECT_EQ(a.actor_template, 81u);
    EXPECT_EQ(translation(a.pose), (Vector3{0, 0, 5}));
    EXPECT_EQ(a.flow_targets[2], 3u << 16 | 1);
    EXPECT_EQ(a.flow_targets[4], unit_no_flow_target);
    EXPECT_EQ(a.create, 0);
    ASSERT_EQ(a.shapes.count, 5u);
    for (u32 kind = 0; kind < 5; ++kind) {
        SCOPED_TRACE(kind);
        const UnitShape &s = r->shapes[a.shapes.first + kind];
        static const u32 counts[5] = {1, 3, 2, 0, 0};
        EXPECT_EQ(s.kind, kind);
        EXPECT_EQ(s.material, 90 + kind);
        EXPECT_EQ(s.shape_template, 95 + kind);
        EXPECT_EQ(translation(s.pose).x, f32(kind));
        EXPECT_EQ(s.parameter_count, counts[kind]);
        for (u32 p = 0; p < counts[kind]; ++p)
            EXPECT_EQ(s.parameters[p], 100 + kind * 10 + p);
        EXPECT_EQ(s.mesh_data.size, kind >= 3 ? 2u : 0u);
    }
    EXPECT_EQ(r->actors[1].create, 1);

    EXPECT_EQ(r->cameras[0].settings[2], 113u);
    EXPECT_EQ(r->lights[0].settings[8], 128u);
    ASSERT_EQ(r->lod_objects.size(), 1u);
    const UnitLodObject &lod = r->lod_objects[0];
    EXPECT_EQ(lod.word, 131u);
    EXPECT_EQ(lod.last_word, 139u);
    EXPECT_EQ(lod.box.word, 138u);
    ASSERT_EQ(lod.entries.count, 2u);
    EXPECT_EQ(r->word(r->lod_entries[lod.entries.first].list, 1), 135u);
    EXPECT_EQ(r->lod_entries[lod.entries.first + 1].words[1], 137u);

    const UnitJointTemplate &j = r->joints[0];
    EXPECT_EQ(j.create, 1);
    EXPECT_EQ(j.name_id(), NameId32("hinge").value());
    EXPECT_EQ(j.actor_name(0), NameId32("torso").value());
    EXPECT_EQ(j.actor_name(1), 0u);
    EXPECT_EQ(j.joint.global_anchor(), (Vector3{7, 7.5f, -7}));
    EXPECT_EQ(j.joint.kind(), JointKind::Revolute);
    EXPECT_EQ(j.joint.words[46], 142u);
    EXPECT_EQ(r->movers[0].mover.height, 1.8f);
    EXPECT_EQ(r->movers[0].mover.collision_filter, 153u);
    EXPECT_EQ(r->movers[0].mover.mover_hit_target, 157u);
    EXPECT_EQ(r->collision_pairs[0].actors[1], 1u);
    ASSERT_EQ(r->named_strings[0].strings.count, 2u);
    EXPECT_EQ(text(*r, r->strings[r->named_strings[0].strings.first + 1]), "two");
    EXPECT_EQ(r->animated, 1);
    EXPECT_EQ(text(*r, r->state_machine), "walker");
    EXPECT_EQ(r->data_defaults.size, 8u);
    EXPECT_EQ(r->word(r->visibility_groups[0].members, 0), 0u);
    EXPECT_TRUE(r->has_flow());
    EXPECT_EQ(r->flow_variable_defaults.size, 8u);
    destroy_unit_resource(r, allocator);
}

TEST_F(UnitResourceTest, EmptyUnitLoads)
{
    UnitResource *r = read(test::write_unit_resource({}));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->node_count, 0u);
    EXPECT_FALSE(r->has_flow());
    EXPECT_FALSE(r->has_simple_animations());
    destroy_unit_resource(r, allocator);
}

// Cutting the stream anywhere fails cleanly: at every section start, one byte into it, and
// every few bytes in between.
TEST_F(UnitResourceTest, TruncatedStreamsFail)
{
    test::UnitSectionOffsets offsets;
    std::vector<u8> bytes = test::write_unit_resource(full_unit(), &offsets);
    std::vector<u32> cuts;
    for (auto &[name, offset] : offsets.sections) {
        cuts.push_back(offset);
        cuts.push_back(offset + 1);
    }
    for (u32 cut = 0; cut < bytes.size(); cut += 7)
        cuts.push_back(cut);
    for (u32 cut : cuts) {
        if (cut >= bytes.size())
            continue;
        SCOPED_TRACE(cut);
        std::vector<u8> part(bytes.begin(), bytes.begin() + cut);
        UnitResource *r = read(part);
        EXPECT_EQ(r, nullptr);
        destroy_unit_resource(r, allocator);
    }
    std::vector<u8> longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(read(longer), nullptr) << "trailing bytes";
}

// Each case overwrites one count with a huge value; the reader refuses it before
// allocating or looping.
TEST_F(UnitResourceTest, OversizedCountsFail)
{
    test::UnitSectionOffsets offsets;
    std::vector<u8> bytes = test::write_unit_resource(full_unit(), &offsets);
    auto offset_of = [&](const std::string &name) {
        for (auto &[n, o] : offsets.sections)
            if (n == name)
                return o;
        return 0u;
    };
    struct Case {
        const char *section;
        u32 delta; // bytes after the section start where the count sits
        u32 value;
    };
    const Case cases[] = {
        {"mesh geometries", 0, 0xFFFFFFFF}, {"mesh geometries", 4, 0x7FFFFFFF}, {"skins", 0, 0x40000000},
        {"simple animations", 0, 0xFFFFFFF0}, {"scene graph", 0, 0x10000000}, {"scene graph", 0, 505},
        {"node references", 0, 0x20000000}, {"meshes", 0, 0xFFFFFFFF},       {"actor templates", 0, 0xFFFF},
        {"cameras", 0, 0x1000000},          {"lights", 0, 0xFFFFFFFF},        {"LOD objects", 0, 0xFFFFFFFF},
        {"joint templates", 0, 0xFFFFFFFF}, {"movers", 0, 0xFFFFFFFF},        {"collision pairs", 0, 0xFFFFFFFF},
        {"named strings", 0, 0xFFFFFFFF},   {"animation", 1, 0xFFFFFFFF},     {"data defaults", 0, 0xFFFFFFFF},
        {"visibility groups", 0, 0xFFFFFFFF}, {"flow", 0, 0xFFFFFFFF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.section) + " +" + std::to_string(c.delta));
        std::vector<u8> bad = bytes;
        u32 at = offset_of(c.section) + c.delta;
        ASSERT_LE(at + 4, bad.size());
        memcpy(bad.data() + at, &c.value, 4);
        EXPECT_EQ(read(bad), nullptr);
    }
}

TEST_F(UnitResourceTest, BadCrossReferencesFail)
{
    struct Case {
        const char *name;
        std::function<void(test::UnitSource &)> spoil;
    };
    const Case cases[] = {
        {"parent after child", [](test::UnitSource &u) { u.nodes[1].parent = 2; }},
        {"parent is itself", [](test::UnitSource &u) { u.nodes[2].parent = 2; }},
        {"first node not a root", [](test::UnitSource &u) { u.nodes[0].parent = 0; }},
        {"mesh node", [](test::UnitSource &u) { u.meshes[0].node = 3; }},
        {"actor node", [](test::UnitSource &u) { u.actors[1].node = 99; }},
        {"camera node", [](test::UnitSource &u) { u.cameras[0].node = 3; }},
        {"light node", [](test::UnitSource &u) { u.lights[0].node = 0xFFFFFFFF; }},
        {"node reference", [](test::UnitSource &u) { u.node_references[1] = 3; }},
        {"collision pair", [](test::UnitSource &u) { u.collision_pairs[1] = 2; }},
        {"visibility member", [](test::UnitSource &u) { u.visibility_groups[0].members = {1}; }},
        {"simple animation node", [](test::UnitSource &u) { u.simple_animations[0].nodes = {7}; }},
        {"unsorted simple animations", [](test::UnitSource &u) { std::swap(u.simple_animations[0], u.simple_animations[1]); }},
        {"shape kind", [](test::UnitSource &u) { u.actors[0].shapes[0].kind = 5; }},
        {"flow defaults without a graph", [](test::UnitSource &u) { u.flow_graph.clear(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::UnitSource u = full_unit();
        c.spoil(u);
        EXPECT_EQ(read(test::write_unit_resource(u)), nullptr);
    }
}

TEST_F(UnitResourceTest, FlowValidatorSetsTheVariableBlockSize)
{
    UnitFlowValidator validator;
    validator.validate = [](void *, const u8 *graph, u32 size, u32 &out_block) {
        out_block = size == 4 ? graph[0] * 8 : 0; // the test graph's first byte counts 8-byte variables
        return size == 4;
    };
    set_unit_flow_validator(validator);
    test::UnitSource u = full_unit();
    UnitResource *r = read(test::write_unit_resource(u));
    EXPECT_NE(r, nullptr);
    destroy_unit_resource(r, allocator);
    u.flow_graph[0] = 2; // 16-byte block, 8 bytes of defaults
    EXPECT_EQ(read(test::write_unit_resource(u)), nullptr);
    u.flow_graph.push_back(0); // rejected graph
    EXPECT_EQ(read(test::write_unit_resource(u)), nullptr);
    set_unit_flow_validator({});
}

// The bytes of a data store made through ChunkStore itself, then spoiled by `spoil`.
std::vector<u8> store_bytes(const std::function<void(ChunkStore &)> &fill)
{
    ChunkStore store(default_allocator());
    fill(store);
    return std::vector<u8>(store.bytes().begin(), store.bytes().end());
}

void put_word(std::vector<u8> &bytes, u32 at, u32 value) { memcpy(bytes.data() + at, &value, 4); }

// Data defaults become every unit's script data store, whose reads copy as many bytes as
// a value's kind holds and whose release hands a script reference's state pointer to Lua.
TEST_F(UnitResourceTest, DataDefaultsAreASoundStoreOfStoredValues)
{
    const f32 m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 4, 5, 6, 1};
    auto every_kind = [&](ChunkStore &s) {
        u8 yes = 1;
        f32 f = 2.5f;
        u32 handle = 0x00010002;
        s.set(ChunkStore::root_list, 1, data_store_kind::boolean, 1, &yes);
        s.set(ChunkStore::root_list, 2, data_store_kind::number, 4, &f);
        s.set(ChunkStore::root_list, 3, data_store_kind::string, 4, "abc");
        s.set(ChunkStore::root_list, 4, data_store_kind::vector3, 12, m);
        s.set(ChunkStore::root_list, 5, data_store_kind::quaternion, 16, m);
        u32 none = ChunkStore::not_found;
        u32 group = s.set(ChunkStore::root_list, 6, ChunkStore::nested_list, 4, &none);
        s.set(ChunkStore::nested_head(group), 7, data_store_kind::matrix4x4, 64, m);
        s.set(ChunkStore::nested_head(group), 8, data_store_kind::unit, 4, &handle);
    };
    struct Case {
        const char *name;
        std::function<void(ChunkStore &)> fill;
        std::function<void(std::vector<u8> &)> spoil; // may be null
        bool loads;
    };
    const f32 one = 1;
    struct {
        void *state = reinterpret_cast<void *>(uintptr_t(0x4141414141410));
        i32 reference = 3;
    } forged;
    const Case cases[] = {
        {"every kind, nested", every_kind, nullptr, true},
        {"empty", [](ChunkStore &) {}, nullptr, true},
        {"matrix of 4 bytes",
         [&](ChunkStore &s) { s.set(ChunkStore::root_list, 1, data_store_kind::matrix4x4, 4, &one); }, nullptr, false},
        {"vector3 of 8 bytes",
         [&](ChunkStore &s) { s.set(ChunkStore::root_list, 1, data_store_kind::vector3, 8, m); }, nullptr, false},
        {"quaternion of 12 bytes",
         [&](ChunkStore &s) { s.set(ChunkStore::root_list, 1, data_store_kind::quaternion, 12, m); }, nullptr, false},
        {"number of no bytes",
         [&](ChunkStore &s) { s.set(ChunkStore::root_list, 1, data_store_kind::number, 0, m); }, nullptr, false},
        {"script reference",
         [&](ChunkStore &s) {
             s.set(ChunkStore::root_list, 1, data_store_kind::script_reference, sizeof forged, &forged);
         },
         nullptr, false},
        {"script reference in a group",
         [&](ChunkStore &s) {
             u32 none = ChunkStore::not_found;
             u32 group = s.set(ChunkStore::root_list, 6, ChunkStore::nested_list, 4, &none);
             s.set(ChunkStore::nested_head(group), 1, data_store_kind::script_reference, sizeof forged, &forged);
         },
         nullptr, false},
        {"pointer", [&](ChunkStore &s) { s.set(ChunkStore::root_list, 1, data_store_kind::pointer, 8, &forged); },
         nullptr, false},
        {"unknown kind", [&](ChunkStore &s) { s.set(ChunkStore::root_list, 1, 77, 4, &one); }, nullptr, false},
        {"link past the end", every_kind, [](std::vector<u8> &b) { put_word(b, 0, u32(b.size()) - 8); }, false},
        {"link into the header", every_kind, [](std::vector<u8> &b) { put_word(b, 0, 4); }, false},
        {"value size past the end", every_kind, [](std::vector<u8> &b) { put_word(b, load_u32_le(b.data()) + 12, 1u << 20); },
         false},
        {"list loops", every_kind,
         [](std::vector<u8> &b) {
             u32 first = load_u32_le(b.data());
             put_word(b, load_u32_le(b.data() + first + 4) + 4, first); // second chunk's next: the first
         },
         false},
        {"group holds itself",
         [](ChunkStore &s) {
             u32 none = ChunkStore::not_found;
             s.set(ChunkStore::root_list, 6, ChunkStore::nested_list, 4, &none);
         },
         [](std::vector<u8> &b) {
             u32 group = load_u32_le(b.data());
             put_word(b, ChunkStore::nested_head(group), group);
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test::UnitSource u = full_unit();
        u.data_defaults = store_bytes(c.fill);
        if (c.spoil)
            c.spoil(u.data_defaults);
        UnitResource *r = read(test::write_unit_resource(u));
        EXPECT_EQ(r != nullptr, c.loads);
        destroy_unit_resource(r, allocator);
    }
}

TEST(UnitCompiler, SourceCompilesToTheUnitItDescribes)
{
    const char source[] = R"(
        nodes = [
            { name = "root" }
            { name = "lid" parent = "root" position = [0 0 1] }
        ]
        meshes = [ { name = "body" node = "root" } { name = "cover" node = "lid" flags = 0 } ]
        actors = [ { name = "shell" node = "root" template = "static"
                     shapes = [ { kind = 1 parameters = [1 2 3] } ] }
                   { name = "cap" node = "lid" create = false } ]
        collision_pairs = [ ["shell" "cap"] ]
        joints = [ { name = "hinge" actors = ["shell" ""] } ]
        simple_animations = [ { name = "open" nodes = ["lid"] } { name = "" nodes = ["root" "lid"] } ]
        visibility_groups = [ { name = "top" meshes = ["cover"] } ]
        named_strings = [ { name = "tags" strings = ["box"] } ]
        state_machine = "box_states"
        animated = true
    )";
    std::vector<u8> bytes;
    std::string error;
    ASSERT_TRUE(compile_unit_source(source, sizeof source - 1, bytes, error)) << error;
    UnitResource *r = read_unit_resource(bytes.data(), bytes.size(), default_allocator());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->node_count, 2u);
    EXPECT_EQ(r->parents[1], 0u);
    EXPECT_EQ(translation(r->world_matrices[1]), (Vector3{0, 0, 1}));
    EXPECT_EQ(r->meshes[1].flags, 0u);
    EXPECT_EQ(r->actors[1].create, 0);
    // Sizes are written as the floats the physics world reads.
    f32 size_z;
    memcpy(&size_z, &r->shapes[r->actors[0].shapes.first].parameters[2], 4);
    EXPECT_EQ(size_z, 3.0f);
    EXPECT_EQ(r->collision_pairs[0].actors[1], 1u);
    EXPECT_EQ(r->joints[0].actor_name(0), NameId32("shell").value());
    EXPECT_NE(r->find_simple_animation(NameId32("open").value()), nullptr);
    EXPECT_EQ(r->word(r->visibility_groups[0].members, 0), 1u);
    EXPECT_EQ(r->animated, 1);
    destroy_unit_resource(r, default_allocator());
}

TEST(UnitCompiler, MistakesAreReported)
{
    struct Case {
        const char *source;
        const char *error_part;
    };
    const Case cases[] = {
        {R"(nodes = [ { name = "a" parent = "b" } ])", "no earlier node named 'b'"},
        {R"(nodes = [ { name = "a" } { name = "a" } ])", "two nodes"},
        {R"(meshes = [ { name = "m" node = "x" } ])", "no node named 'x'"},
        {R"(nodes = [ { name = "a" position = [1 2] } ])", "position"},
        {R"(nodes = [ { name = "a" } ] actors = [ { node = "a" shapes = [ { kind = 9 } ] } ])", "kind"},
        {R"(nodes = [ { name = "a" } ] collision_pairs = [ ["p" "q"] ])", "no actor named 'p'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.source);
        std::vector<u8> bytes;
        std::string error;
        EXPECT_FALSE(compile_unit_source(c.source, strlen(c.source), bytes, error));
        EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    }
}

} // namespace
} // namespace tallow

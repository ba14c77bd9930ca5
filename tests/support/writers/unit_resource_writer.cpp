#include "tests/support/writers/unit_resource_writer.h"

#include "foundation/strings/name_id.h"

#include <cstring>
#include <iterator>

namespace tallow::test {

namespace {

class Out {
  public:
    explicit Out(std::vector<u8> &bytes, UnitSectionOffsets *offsets) : _bytes(bytes), _offsets(offsets) {}

    void section(const char *name)
    {
        if (_offsets)
            _offsets->sections.push_back({name, u32(_bytes.size())});
    }
    void u8_(u8 v) { _bytes.push_back(v); }
    void u32_(u32 v)
    {
        for (int i = 0; i < 4; ++i)
            _bytes.push_back(u8(v >> (8 * i)));
    }
    void f32_(f32 v)
    {
        u32 bits;
        memcpy(&bits, &v, 4);
        u32_(bits);
    }
    void words(const u32 *w, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            u32_(w[i]);
    }
    void matrix(const Matrix4x4 &m)
    {
        for (const auto &row : m.m)
            for (f32 v : row)
                f32_(v);
    }
    void blob(const void *data, size_t size)
    {
        u32_(u32(size));
        const u8 *p = static_cast<const u8 *>(data);
        _bytes.insert(_bytes.end(), p, p + size);
    }
    void blob(const std::vector<u8> &b) { blob(b.data(), b.size()); }
    void string(const std::string &s) { blob(s.data(), s.size()); }
    void word_list(const std::vector<u32> &w)
    {
        u32_(u32(w.size()));
        words(w.data(), w.size());
    }
    void box(const UnitSourceBox &b)
    {
        for (f32 v : b.min)
            f32_(v);
        for (f32 v : b.max)
            f32_(v);
        u32_(b.word);
    }
    // A section of records that each hold a name, a node and a fixed row of settings words.
    template <class Record> void node_settings(const char *name, const std::vector<Record> &records)
    {
        section(name);
        u32_(u32(records.size()));
        for (const Record &r : records) {
            u32_(r.name_id);
            u32_(r.node);
            words(r.settings, std::size(r.settings));
        }
    }

  private:
    std::vector<u8> &_bytes;
    UnitSectionOffsets *_offsets;
};

} // namespace

u32 UnitSource::add_node(const char *name, const Matrix4x4 &local, u32 parent)
{
    UnitSourceNode node;
    node.local = local;
    node.parent = parent;
    node.name_id = NameId32(name).value();
    node.world = parent < nodes.size() ? local * nodes[parent].world : local;
    nodes.push_back(node);
    return u32(nodes.size() - 1);
}

std::vector<u8> write_unit_resource(const UnitSource &u, UnitSectionOffsets *out_offsets)
{
    std::vector<u8> bytes;
    Out out(bytes, out_offsets);
    out.section("header");
    out.u32_(u.header);
    out.section("mesh geometries");
    out.u32_(u32(u.geometries.size()));
    for (const UnitSourceGeometry &g : u.geometries) {
        out.blob(g.first_block);
        out.words(g.pairs, 4);
        out.words(g.words, 3);
        out.u32_(g.word);
        out.blob(g.second_block);
        out.u32_(u32(g.entries.size() / 4));
        out.words(g.entries.data(), g.entries.size() / 4 * 4);
        out.box(g.box);
        out.u32_(u32(g.names.size()));
        for (const UnitSourceIdString &n : g.names) {
            out.u32_(n.id);
            out.string(n.text);
        }
    }
    out.section("skins");
    out.u32_(u32(u.skins.size()));
    for (const UnitSourceSkin &s : u.skins) {
        out.word_list(s.words);
        out.u32_(u32(s.lists.size()));
        for (const auto &l : s.lists)
            out.word_list(l);
    }
    out.section("simple animations");
    out.blob(u.simple_animation_data);
    out.u32_(u32(u.simple_animations.size()));
    for (const UnitSourceSimpleAnimation &a : u.simple_animations) {
        out.u32_(a.name_id);
        out.word_list(a.nodes);
    }
    out.section("scene graph");
    out.u32_(u32(u.nodes.size()));
    for (const UnitSourceNode &n : u.nodes)
        out.matrix(n.local);
    for (const UnitSourceNode &n : u.nodes)
        out.matrix(n.world);
    for (const UnitSourceNode &n : u.nodes)
        out.u32_(n.parent);
    for (const UnitSourceNode &n : u.nodes)
        out.u32_(n.name_id);
    out.section("node references");
    out.u32_(u32(u.node_references.size() / 2));
    out.words(u.node_references.data(), u.node_references.size() / 2 * 2);
    out.section("meshes");
    out.u32_(u32(u.meshes.size()));
    for (const UnitSourceMesh &m : u.meshes) {
        out.u32_(m.name_id);
        out.u32_(m.node);
        out.words(m.words, 2);
        out.u32_(m.flags);
    }
    out.section("actor templates");
    out.u32_(u32(u.actors.size()));
    for (const UnitSourceActor &a : u.actors) {
        out.u32_(a.name_id);
        out.u32_(a.actor_template);
        out.u32_(a.node);
        out.matrix(a.pose);
        out.u32_(u32(a.shapes.size()));
        for (const UnitSourceShape &s : a.shapes) {
            out.u32_(s.kind);
            out.u32_(s.material);
            out.u32_(s.shape_template);
            out.matrix(s.pose);
            out.blob(s.mesh_data);
            out.words(s.parameters.data(), s.parameters.size());
        }
        out.words(a.flow_targets, 5);
        out.u8_(a.create);
    }
    out.node_settings("cameras", u.cameras);
    out.node_settings("lights", u.lights);
    out.section("LOD objects");
    out.u32_(u32(u.lod_objects.size()));
    for (const UnitSourceLod &l : u.lod_objects) {
        out.u32_(l.word);
        out.u32_(u32(l.entries.size()));
        for (const UnitSourceLodEntry &e : l.entries) {
            out.words(e.words, 2);
            out.word_list(e.list);
        }
        out.box(l.box);
        out.u32_(l.last_word);
    }
    out.section("joint templates");
    out.u32_(u32(u.joints.size()));
    for (const UnitSourceJoint &j : u.joints) {
        out.u8_(j.create);
        out.words(j.joint.words, joint_template_words);
    }
    out.section("movers");
    out.u32_(u32(u.movers.size()));
    for (const MoverTemplate &m : u.movers) {
        u32 w[7];
        memcpy(w, &m, sizeof w);
        out.words(w, 7);
    }
    out.section("collision pairs");
    out.u32_(u32(u.collision_pairs.size() / 2));
    out.words(u.collision_pairs.data(), u.collision_pairs.size() / 2 * 2);
    out.section("named strings");
    out.u32_(u32(u.named_strings.size()));
    for (const UnitSourceNamedStrings &n : u.named_strings) {
        out.u32_(n.name_id);
        out.u32_(u32(n.strings.size()));
        for (const std::string &s : n.strings)
            out.string(s);
    }
    out.section("animation");
    out.u8_(u.animated);
    out.string(u.state_machine);
    out.section("data defaults");
    out.blob(u.data_defaults);
    out.section("visibility groups");
    out.u32_(u32(u.visibility_groups.size()));
    for (const UnitSourceVisibilityGroup &g : u.visibility_groups) {
        out.u32_(g.name_id);
        out.word_list(g.members);
    }
    out.section("flow");
    out.blob(u.flow_graph);
    out.blob(u.flow_variable_defaults);
    out.section("end");
    return bytes;
}

} // namespace tallow::test

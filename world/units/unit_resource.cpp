#include "world/units/unit_resource.h"

#include "foundation/io/chunk_store.h"
#include "foundation/io/input_archive.h"
#include "foundation/io/little_endian.h"
#include "foundation/log.h"
#include "resource/byte_reader.h"
#include "resource/resource_manager.h"

#include <cstring>

namespace tallow {

namespace {

UnitFlowValidator g_flow_validator;

// The resource's bytes with the section being read, so that every failure names it.
class UnitReader {
  public:
    UnitReader(const u8 *data, u64 size, NameId64 name) : _in(data, size), _name(name) {}

    void section(const char *name) { _section = name; }
    bool ok() const { return _in.ok() && !_failed; }
    bool at_end() const { return _in.left() == 0; }

    bool fail(const char *what)
    {
        if (!_failed)
            log_message("world", "unit resource %016llx: %s in section \"%s\" at byte %llu",
                        (unsigned long long)_name.value(), what, _section, (unsigned long long)_in.position());
        _failed = true;
        return false;
    }

    bool u32_(u32 &out) { return _in.read_u32(out) || fail("truncated"); }
    bool f32_(f32 &out)
    {
        u32 bits = 0;
        if (!u32_(bits))
            return false;
        memcpy(&out, &bits, 4);
        return true;
    }
    bool u8_(u8 &out) { return _in.read_bytes(&out, 1) || fail("truncated"); }
    bool words(u32 *out, u32 n)
    {
        for (u32 i = 0; i < n; ++i)
            if (!u32_(out[i]))
                return false;
        return true;
    }
    bool matrix(Matrix4x4 &out)
    {
        for (auto &row : out.m)
            for (f32 &v : row)
                if (!f32_(v))
                    return false;
        return true;
    }
    bool vector3(Vector3 &out) { return f32_(out.x) && f32_(out.y) && f32_(out.z); }
    bool box(UnitBox &out)
    {
        for (f32 &v : out.min)
            if (!f32_(v))
                return false;
        for (f32 &v : out.max)
            if (!f32_(v))
                return false;
        return u32_(out.word);
    }
    // A blob or string: u32 size and the bytes, kept as a range of the stream.
    bool blob(UnitBytes &out)
    {
        u32 size = 0;
        if (!u32_(size))
            return false;
        if (!_in.has(size))
            return fail("blob larger than the bytes left");
        out = {u32(_in.position()), size};
        return _in.skip(size);
    }
    // `count` entries of `entry_bytes` each, kept as a range of the stream.
    bool range(u32 count, u32 entry_bytes, UnitBytes &out)
    {
        u64 size = u64(count) * entry_bytes;
        if (!_in.has(size))
            return fail("entries larger than the bytes left");
        out = {u32(_in.position()), u32(size)};
        return _in.skip(size);
    }
    bool word_list(UnitWords &out)
    {
        u32 count = 0;
        if (!count_(count, 4))
            return false;
        out = {u32(_in.position()), count};
        return _in.skip(u64(count) * 4);
    }
    // A list count, refused when even the smallest entries could not fit in what is left,
    // so a bad count never drives a huge allocation or a long loop.
    bool count_(u32 &out, u32 min_entry_bytes)
    {
        if (!u32_(out))
            return false;
        if (u64(out) * min_entry_bytes > _in.left())
            return fail("count larger than the bytes left");
        return true;
    }

  private:
    ByteReader _in;
    NameId64 _name;
    const char *_section = "header";
    bool _failed = false;
};

template <typename T> bool grow_to(Array<T> &array, u32 count)
{
    array.reserve(array.size() + count);
    return array.capacity() >= array.size() + count;
}

bool read_string_list(UnitReader &in, UnitResource &r, UnitRange &out)
{
    u32 count = 0;
    if (!in.count_(count, 4))
        return false;
    if (!grow_to(r.strings, count))
        return in.fail("out of memory");
    out = {r.strings.size(), count};
    for (u32 i = 0; i < count; ++i) {
        UnitBytes s;
        if (!in.blob(s))
            return false;
        r.strings.push_back(s);
    }
    return true;
}

bool read_id_strings(UnitReader &in, UnitResource &r, UnitRange &out)
{
    u32 count = 0;
    if (!in.count_(count, 8))
        return false;
    if (!grow_to(r.id_strings, count))
        return in.fail("out of memory");
    out = {r.id_strings.size(), count};
    for (u32 i = 0; i < count; ++i) {
        UnitIdString s;
        if (!in.u32_(s.id) || !in.blob(s.text))
            return false;
        r.id_strings.push_back(s);
    }
    return true;
}

bool read_geometries(UnitReader &in, UnitResource &r)
{
    in.section("mesh geometries");
    u32 count = 0;
    // Smallest record: two empty blobs, 8 words, two empty lists and a box.
    if (!in.count_(count, 4 + 32 + 4 + 4 + 28 + 4))
        return false;
    if (!grow_to(r.geometries, count))
        return in.fail("out of memory");
    for (u32 i = 0; i < count; ++i) {
        UnitMeshGeometry g;
        u32 entry_count = 0;
        if (!in.blob(g.first_block) || !in.words(g.pairs, 4) || !in.words(g.words, 3) || !in.u32_(g.word) ||
            !in.blob(g.second_block) || !in.count_(entry_count, 16) || !in.range(entry_count, 16, g.entries) ||
            !in.box(g.box) || !read_id_strings(in, r, g.names))
            return false;
        r.geometries.push_back(g);
    }
    return true;
}

bool read_skins(UnitReader &in, UnitResource &r)
{
    in.section("skins");
    u32 count = 0;
    if (!in.count_(count, 8))
        return false;
    if (!grow_to(r.skins, count))
        return in.fail("out of memory");
    for (u32 i = 0; i < count; ++i) {
        UnitSkin skin;
        u32 lists = 0;
        if (!in.word_list(skin.words) || !in.count_(lists, 4))
            return false;
        if (!grow_to(r.word_lists, lists))
            return in.fail("out of memory");
        skin.lists = {r.word_lists.size(), lists};
        for (u32 k = 0; k < lists; ++k) {
            UnitWords w;
            if (!in.word_list(w))
                return false;
            r.word_lists.push_back(w);
        }
        r.skins.push_back(skin);
    }
    return true;
}

bool read_simple_animations(UnitReader &in, UnitResource &r)
{
    in.section("simple animations");
    if (!in.blob(r.simple_animation_data))
        return false;
    u32 count = 0;
    if (!in.count_(count, 8))
        return false;
    if (!grow_to(r.simple_animations, count))
        return in.fail("out of memory");
    for (u32 i = 0; i < count; ++i) {
        UnitSimpleAnimation a;
        if (!in.u32_(a.name_id) || !in.word_list(a.nodes))
            return false;
        r.simple_animations.push_back(a);
    }
    return true;
}

bool read_scene_graph(UnitReader &in, UnitResource &r)
{
    in.section("scene graph");
    u32 n = 0;
    if (!in.count_(n, 64 + 64 + 4 + 4))
        return false;
    if (n > max_unit_nodes)
        return in.fail("more nodes than a unit may have (504)");
    r.node_count = n;
    r.local_matrices.resize(n);
    r.world_matrices.resize(n);
    r.parents.resize(n);
    r.node_names.resize(n);
    if (r.local_matrices.size() != n || r.world_matrices.size() != n || r.parents.size() != n ||
        r.node_names.size() != n)
        return in.fail("out of memory");
    for (u32 i = 0; i < n; ++i)
        if (!in.matrix(r.local_matrices[i]))
            return false;
    for (u32 i = 0; i < n; ++i)
        if (!in.matrix(r.world_matrices[i]))
            return false;
    return in.words(r.parents.data(), n) && in.words(r.node_names.data(), n);
}

template <typename T, typename F> bool read_list(UnitReader &in, Array<T> &out, u32 min_entry_bytes, F &&read_one)
{
    u32 count = 0;
    if (!in.count_(count, min_entry_bytes))
        return false;
    if (!grow_to(out, count))
        return in.fail("out of memory");
    for (u32 i = 0; i < count; ++i) {
        T entry;
        if (!read_one(entry))
            return false;
        out.push_back(entry);
    }
    return true;
}

constexpr u32 shape_parameter_counts[5] = {1, 3, 2, 0, 0};

bool read_actors(UnitReader &in, UnitResource &r)
{
    in.section("actor templates");
    return read_list(in, r.actors, 12 + 64 + 4 + 20 + 1, [&](UnitActorTemplate &a) {
        u32 shape_count = 0;
        if (!in.u32_(a.name_id) || !in.u32_(a.actor_template) || !in.u32_(a.node) || !in.matrix(a.pose) ||
            !in.count_(shape_count, 12 + 64 + 4))
            return false;
        if (!grow_to(r.shapes, shape_count))
            return in.fail("out of memory");
        a.shapes = {r.shapes.size(), shape_count};
        for (u32 k = 0; k < shape_count; ++k) {
            UnitShape s;
            if (!in.u32_(s.kind) || !in.u32_(s.material) || !in.u32_(s.shape_template) || !in.matrix(s.pose) ||
                !in.blob(s.mesh_data))
                return false;
            if (s.kind >= 5)
                return in.fail("unknown shape kind");
            s.parameter_count = shape_parameter_counts[s.kind];
            if (!in.words(s.parameters, s.parameter_count))
                return false;
            r.shapes.push_back(s);
        }
        return in.words(a.flow_targets, 5) && in.u8_(a.create);
    });
}

bool read_lod_objects(UnitReader &in, UnitResource &r)
{
    in.section("LOD objects");
    return read_list(in, r.lod_objects, 4 + 4 + 28 + 4, [&](UnitLodObject &lod) {
        u32 entries = 0;
        if (!in.u32_(lod.word) || !in.count_(entries, 12))
            return false;
        if (!grow_to(r.lod_entries, entries))
            return in.fail("out of memory");
        lod.entries = {r.lod_entries.size(), entries};
        for (u32 k = 0; k < entries; ++k) {
            UnitLodEntry e;
            if (!in.words(e.words, 2) || !in.word_list(e.list))
                return false;
            r.lod_entries.push_back(e);
        }
        return in.box(lod.box) && in.u32_(lod.last_word);
    });
}

bool read_joints(UnitReader &in, UnitResource &r)
{
    in.section("joint templates");
    return read_list(in, r.joints, 1 + sizeof(JointTemplate), [&](UnitJointTemplate &j) {
        return in.u8_(j.create) && in.words(j.joint.words, joint_template_words);
    });
}

bool read_stream(UnitReader &in, UnitResource &r)
{
    in.section("header");
    if (!in.u32_(r.header) || !read_geometries(in, r) || !read_skins(in, r) || !read_simple_animations(in, r) ||
        !read_scene_graph(in, r))
        return false;
    in.section("node references");
    if (!read_list(in, r.node_references, 8, [&](UnitNodeReference &n) { return in.u32_(n.word) && in.u32_(n.node); }))
        return false;
    in.section("meshes");
    if (!read_list(in, r.meshes, 20, [&](UnitMesh &m) {
            return in.u32_(m.name_id) && in.u32_(m.node) && in.words(m.words, 2) && in.u32_(m.flags);
        }))
        return false;
    if (!read_actors(in, r))
        return false;
    in.section("cameras");
    if (!read_list(in, r.cameras, 20, [&](UnitCamera &c) {
            return in.u32_(c.name_id) && in.u32_(c.node) && in.words(c.settings, 3);
        }))
        return false;
    in.section("lights");
    if (!read_list(in, r.lights, 44, [&](UnitLight &l) {
            return in.u32_(l.name_id) && in.u32_(l.node) && in.words(l.settings, 9);
        }))
        return false;
    if (!read_lod_objects(in, r) || !read_joints(in, r))
        return false;
    in.section("movers");
    if (!read_list(in, r.movers, sizeof(MoverTemplate), [&](UnitMover &m) {
            u32 w[7];
            if (!in.words(w, 7))
                return false;
            memcpy(&m.mover, w, sizeof w);
            return true;
        }))
        return false;
    in.section("collision pairs");
    if (!read_list(in, r.collision_pairs, 8, [&](UnitCollisionPair &p) { return in.words(p.actors, 2); }))
        return false;
    in.section("named strings");
    if (!read_list(in, r.named_strings, 8, [&](UnitNamedStrings &s) {
            return in.u32_(s.name_id) && read_string_list(in, r, s.strings);
        }))
        return false;
    in.section("animation");
    if (!in.u8_(r.animated) || !in.blob(r.state_machine))
        return false;
    in.section("data defaults");
    if (!in.blob(r.data_defaults))
        return false;
    in.section("visibility groups");
    if (!read_list(in, r.visibility_groups, 8, [&](UnitVisibilityGroup &g) {
            return in.u32_(g.name_id) && in.word_list(g.members);
        }))
        return false;
    in.section("flow");
    if (!in.blob(r.flow_graph) || !in.blob(r.flow_variable_defaults))
        return false;
    if (!in.at_end())
        return in.fail("bytes after the last section");
    return true;
}

bool invalid(const UnitResource &r, const char *what, u32 index, u32 value)
{
    log_message("world", "unit resource %016llx: %s (entry %u, value %u)", (unsigned long long)r.name.value(), what,
                index, value);
    return false;
}

bool node_ok(const UnitResource &r, u32 node) { return node < r.node_count; }

// Bytes a stored value of `kind` is read as; 0 for a kind compiled data may not hold.
u32 data_kind_min_bytes(u32 kind)
{
    switch (kind) {
    case data_store_kind::boolean: return 1;
    case data_store_kind::number: return 4;
    case data_store_kind::string: return 1;
    case data_store_kind::vector3: return 12;
    case data_store_kind::quaternion: return 16;
    case data_store_kind::matrix4x4: return 64;
    case data_store_kind::unit: return 4;
    case ChunkStore::nested_list: return 4; // the group's list head
    default: return 0;
    }
}

// Walks the lists of data defaults as ChunkStore walks them, front to back from the root.
class DataDefaultsWalk {
  public:
    DataDefaultsWalk(const u8 *bytes, u32 size) : _bytes(bytes), _size(size), _steps(size / ChunkStore::header_bytes + 1)
    {
    }

    const char *reason() const { return _reason; }

    bool list(u32 head, u32 depth)
    {
        // The same bound the store's own walks use: deeper is a list inside itself.
        if (depth > 64)
            return fail("groups nest more than 64 deep");
        u32 chunk = word(head);
        while (chunk != ChunkStore::not_found) {
            // Each chunk takes at least its header: more steps than that is a loop.
            if (_steps-- == 0)
                return fail("a list loops");
            if (chunk < 8 || u64(chunk) + ChunkStore::header_bytes > _size)
                return fail("a link points outside the values");
            u32 kind = word(chunk + 8);
            u32 stored = word(chunk + 12);
            if (u64(chunk) + ChunkStore::header_bytes + stored > _size)
                return fail("a value runs past the end");
            if (kind == data_store_kind::pointer || kind == data_store_kind::script_reference)
                return fail("a value that only a running program makes (a pointer or a script reference)");
            u32 need = data_kind_min_bytes(kind);
            if (need == 0)
                return fail("a value of unknown kind");
            if (stored < need)
                return fail("a value shorter than its kind");
            if (kind == ChunkStore::nested_list && !list(ChunkStore::nested_head(chunk), depth + 1))
                return false;
            chunk = word(chunk + 4);
        }
        return true;
    }

  private:
    u32 word(u32 offset) const { return load_u32_le(_bytes + offset); } // callers keep offset + 4 in range
    bool fail(const char *why)
    {
        _reason = why;
        return false;
    }

    const u8 *_bytes;
    u32 _size;
    u32 _steps;
    const char *_reason = nullptr;
};

void *load_unit(const ResourceLoadParams &params)
{
    Array<u8> bytes(params.allocator);
    if (params.size_bytes > 0xFFFFFFFFu) {
        log_message("world", "unit resource %016llx: %llu bytes is too large", (unsigned long long)params.name.value(),
                    (unsigned long long)params.size_bytes);
        return nullptr;
    }
    bytes.resize(u32(params.size_bytes));
    if (bytes.size() != params.size_bytes || !params.archive.read(bytes.data(), bytes.size())) {
        log_message("world", "unit resource %016llx: cannot read its %llu bytes", (unsigned long long)params.name.value(),
                    (unsigned long long)params.size_bytes);
        return nullptr;
    }
    return read_unit_resource(bytes.data(), bytes.size(), params.allocator, params.name);
}

void unload_unit(const ResourceUnloadParams &params)
{
    destroy_unit_resource(static_cast<UnitResource *>(params.data), params.allocator);
}

} // namespace

UnitResource::UnitResource(Allocator &allocator)
    : geometries(allocator), skins(allocator), simple_animations(allocator), local_matrices(allocator),
      world_matrices(allocator), parents(allocator), node_names(allocator), node_references(allocator),
      meshes(allocator), actors(allocator), cameras(allocator), lights(allocator), lod_objects(allocator),
      joints(allocator), movers(allocator), collision_pairs(allocator), named_strings(allocator),
      visibility_groups(allocator), id_strings(allocator), word_lists(allocator), shapes(allocator),
      lod_entries(allocator), strings(allocator), stream(allocator)
{
}

u32 UnitResource::word(UnitWords list, u32 i) const
{
    if (i >= list.count)
        return 0;
    return load_u32_le(stream.data() + list.offset + u64(i) * 4);
}

const UnitSimpleAnimation *UnitResource::find_simple_animation(u32 name_id) const
{
    u32 lo = 0, hi = simple_animations.size();
    while (lo < hi) {
        u32 mid = lo + (hi - lo) / 2;
        if (simple_animations[mid].name_id < name_id)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < simple_animations.size() && simple_animations[lo].name_id == name_id)
        return &simple_animations[lo];
    return nullptr;
}

void set_unit_flow_validator(const UnitFlowValidator &validator) { g_flow_validator = validator; }

bool validate_unit_data_defaults(const u8 *bytes, u32 size, const char *&out_reason)
{
    out_reason = nullptr;
    if (size < 8)
        return true; // an empty store, as ChunkStore::assign_bytes makes of it
    DataDefaultsWalk walk(bytes, size);
    if (walk.list(ChunkStore::root_list, 0))
        return true;
    out_reason = walk.reason();
    return false;
}

bool validate_unit_resource(const UnitResource &r)
{
    for (u32 i = 0; i < r.node_count; ++i) {
        u32 parent = r.parents[i];
        // Parents come before their children: one pass in index order updates a graph.
        if (parent != unit_no_parent && parent >= i)
            return invalid(r, "node parent not before the node", i, parent);
    }
    if (r.node_count > 0 && r.parents[0] != unit_no_parent)
        return invalid(r, "node 0 is not a root", 0, r.parents[0]);
    for (u32 i = 1; i < r.simple_animations.size(); ++i)
        if (r.simple_animations[i].name_id <= r.simple_animations[i - 1].name_id)
            return invalid(r, "simple animations not in ascending id order", i, r.simple_animations[i].name_id);
    for (const UnitSimpleAnimation &a : r.simple_animations)
        for (u32 k = 0; k < a.nodes.count; ++k)
            if (!node_ok(r, r.word(a.nodes, k)))
                return invalid(r, "simple animation node out of range", k, r.word(a.nodes, k));
    for (u32 i = 0; i < r.node_references.size(); ++i)
        if (!node_ok(r, r.node_references[i].node))
            return invalid(r, "node reference out of range", i, r.node_references[i].node);
    for (u32 i = 0; i < r.meshes.size(); ++i)
        if (!node_ok(r, r.meshes[i].node))
            return invalid(r, "mesh node out of range", i, r.meshes[i].node);
    for (u32 i = 0; i < r.actors.size(); ++i)
        if (!node_ok(r, r.actors[i].node))
            return invalid(r, "actor node out of range", i, r.actors[i].node);
    for (u32 i = 0; i < r.cameras.size(); ++i)
        if (!node_ok(r, r.cameras[i].node))
            return invalid(r, "camera node out of range", i, r.cameras[i].node);
    for (u32 i = 0; i < r.lights.size(); ++i)
        if (!node_ok(r, r.lights[i].node))
            return invalid(r, "light node out of range", i, r.lights[i].node);
    for (u32 i = 0; i < r.collision_pairs.size(); ++i)
        for (u32 a : r.collision_pairs[i].actors)
            if (a >= r.actors.size())
                return invalid(r, "collision pair actor out of range", i, a);
    for (u32 i = 0; i < r.visibility_groups.size(); ++i)
        for (u32 k = 0; k < r.visibility_groups[i].members.count; ++k)
            if (r.word(r.visibility_groups[i].members, k) >= r.meshes.size())
                return invalid(r, "visibility group mesh out of range", i, r.word(r.visibility_groups[i].members, k));
    const char *reason = nullptr;
    if (!validate_unit_data_defaults(r.bytes(r.data_defaults), r.data_defaults.size, reason)) {
        log_message("world", "unit resource %016llx: data defaults refused: %s", (unsigned long long)r.name.value(),
                    reason);
        return false;
    }
    if (!r.has_flow()) {
        if (r.flow_variable_defaults.size != 0)
            return invalid(r, "flow variable defaults without a flow graph", 0, r.flow_variable_defaults.size);
        return true;
    }
    u32 block_size = r.flow_variable_defaults.size;
    if (g_flow_validator.validate &&
        !g_flow_validator.validate(g_flow_validator.context, r.bytes(r.flow_graph), r.flow_graph.size, block_size))
        return invalid(r, "flow graph rejected", 0, r.flow_graph.size);
    if (block_size != r.flow_variable_defaults.size)
        return invalid(r, "flow variable defaults differ from the graph's variable block size", block_size,
                       r.flow_variable_defaults.size);
    return true;
}

UnitResource *read_unit_resource(const void *data, u64 size, Allocator &allocator, NameId64 name)
{
    if (size > 0xFFFFFFFFu || (!data && size)) {
        log_message("world", "unit resource %016llx: %llu bytes is too large", (unsigned long long)name.value(),
                    (unsigned long long)size);
        return nullptr;
    }
    UnitResource *r = make_new<UnitResource>(allocator, allocator);
    if (!r)
        return nullptr;
    r->name = name;
    r->stream.resize(u32(size));
    if (r->stream.size() != size) {
        destroy_unit_resource(r, allocator);
        return nullptr;
    }
    if (size)
        memcpy(r->stream.data(), data, size);
    UnitReader in(r->stream.data(), size, name);
    if (!read_stream(in, *r) || !validate_unit_resource(*r)) {
        destroy_unit_resource(r, allocator);
        return nullptr;
    }
    return r;
}

void destroy_unit_resource(UnitResource *resource, Allocator &allocator) { delete_with_allocator(allocator, resource); }

ResourceTypeCallbacks unit_resource_callbacks()
{
    ResourceTypeCallbacks callbacks;
    callbacks.load = load_unit;
    callbacks.unload = unload_unit;
    return callbacks;
}

} // namespace tallow

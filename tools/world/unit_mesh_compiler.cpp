#include "tools/world/unit_mesh_compiler.h"

#include "foundation/config/config_value.h"
#include "foundation/strings/name_id.h"
#include "tests/support/writers/unit_mesh_writer.h"
#include "tools/source_check.h"

#include <algorithm>
#include <cfloat>
#include <cstring>

namespace tallow {

namespace {

struct ChannelName {
    const char *name;
    test::MeshChannelSpec spec;
    u32 values;
    bool integer;
};
const ChannelName channel_names[] = {
    {"position", {0, 2}, 3, false},      {"normal", {1, 2}, 3, false},        {"tangent", {2, 2}, 3, false},
    {"binormal", {3, 2}, 3, false},      {"texcoord", {4, 1}, 2, false},      {"color", {5, 3}, 4, false},
    {"blend_indices", {6, 10}, 4, true}, {"blend_weights", {7, 3}, 4, false},
};

struct Reader {
    std::string &error;

    bool fail(const std::string &what)
    {
        if (error.empty())
            error = what;
        return false;
    }
    bool known(const ConfigValue &v, std::initializer_list<const char *> keys, const std::string &where)
    {
        if (v.kind() != ConfigKind::Object)
            return fail(where + ": must be an object");
        const char *key = unknown_key(v, keys);
        return !key || fail(where + ": unknown key '" + key + "'");
    }
    static bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }
    bool numbers(const ConfigValue *v, std::vector<f32> &out, const std::string &where, size_t exact = 0)
    {
        out.clear();
        if (!v)
            return true;
        if (v->kind() != ConfigKind::Array)
            return fail(where + ": must be an array of numbers");
        for (const ConfigValue &item : v->items()) {
            if (!is_number(item))
                return fail(where + ": must hold numbers");
            out.push_back(item.to_float());
        }
        if (exact && out.size() != exact)
            return fail(where + ": must hold " + std::to_string(exact) + " numbers");
        return true;
    }
    bool index_of(const std::vector<std::string> &names, const ConfigValue *v, const char *kind,
                  const std::string &where, u32 &out)
    {
        const std::string name = v && v->kind() == ConfigKind::String ? v->to_string() : "";
        auto it = std::find(names.begin(), names.end(), name);
        if (it == names.end())
            return fail(where + ": no " + kind + " named '" + name + "'");
        out = u32(it - names.begin());
        return true;
    }
    bool bounds(const ConfigValue *v, f32 out_min[3], f32 out_max[3], const std::string &where)
    {
        std::vector<f32> lo, hi;
        if (!known(*v, {"min", "max"}, where) || !numbers(v->find("min"), lo, where + ".min", 3) ||
            !numbers(v->find("max"), hi, where + ".max", 3))
            return false;
        if (lo.size() != 3 || hi.size() != 3)
            return fail(where + ": needs min and max");
        std::copy(lo.begin(), lo.end(), out_min);
        std::copy(hi.begin(), hi.end(), out_max);
        return true;
    }
};

bool compile_geometry(Reader &r, const ConfigValue &g, const std::vector<std::string> &node_names,
                      test::MeshSource &s, const std::string &where)
{
    if (!r.known(g, {"channels", "vertices", "indices", "index_size", "materials", "batches", "bounds", "bones",
                     "bone_lists"},
                 where))
        return false;
    std::vector<u32> values_per_channel;
    std::vector<bool> integer;
    const ConfigValue *channels = g.find("channels");
    if (!channels || channels->kind() != ConfigKind::Array || channels->items().empty())
        return r.fail(where + ": 'channels' must name the vertex channels");
    if (channels->items().size() > 11)
        return r.fail(where + ": at most 11 channels");
    s.stride = 0;
    for (const ConfigValue &c : channels->items()) {
        const std::string name = c.kind() == ConfigKind::String ? c.to_string() : "";
        const ChannelName *found = nullptr;
        for (const ChannelName &n : channel_names)
            if (name == n.name)
                found = &n;
        if (!found)
            return r.fail(where + ": unknown channel '" + name + "'");
        s.channels.push_back(found->spec);
        values_per_channel.push_back(found->values);
        integer.push_back(found->integer);
        s.stride += test::mesh_channel_bytes(found->spec.type);
    }
    u32 per_vertex = 0;
    for (u32 n : values_per_channel)
        per_vertex += n;
    std::vector<f32> vertices;
    if (!r.numbers(g.find("vertices"), vertices, where + ".vertices"))
        return false;
    if (vertices.empty() || vertices.size() % per_vertex != 0)
        return r.fail(where + ": 'vertices' must hold " + std::to_string(per_vertex) + " numbers per vertex");
    const u32 vertex_count = u32(vertices.size() / per_vertex);
    f32 lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX}, hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    bool has_position = false;
    for (u32 v = 0, at = 0; v < vertex_count; ++v)
        for (u32 c = 0; c < s.channels.size(); ++c)
            for (u32 k = 0; k < values_per_channel[c]; ++k, ++at) {
                u8 bytes[4];
                if (integer[c]) {
                    const u32 i = u32(vertices[at]);
                    memcpy(bytes, &i, 4);
                } else {
                    memcpy(bytes, &vertices[at], 4);
                }
                s.vertices.insert(s.vertices.end(), bytes, bytes + 4);
                if (s.channels[c].semantic == 0 && k < 3) {
                    has_position = true;
                    lo[k] = std::min(lo[k], vertices[at]);
                    hi[k] = std::max(hi[k], vertices[at]);
                }
            }
    std::vector<f32> indices;
    if (!r.numbers(g.find("indices"), indices, where + ".indices"))
        return false;
    if (indices.empty() || indices.size() % 3 != 0)
        return r.fail(where + ": 'indices' must hold whole triangles");
    s.index_32bit = false;
    if (const ConfigValue *size = g.find("index_size")) {
        if (size->kind() != ConfigKind::Integer || (size->to_integer() != 2 && size->to_integer() != 4))
            return r.fail(where + ": 'index_size' must be 2 or 4");
        s.index_32bit = size->to_integer() == 4;
    }
    for (f32 i : indices) {
        if (i < 0 || i >= vertex_count || i != f32(u32(i)))
            return r.fail(where + ": index " + std::to_string(i) + " names no vertex");
        if (!s.index_32bit && vertex_count > 65536)
            return r.fail(where + ": more than 65536 vertices need index_size = 4");
        s.indices.push_back(u32(i));
    }
    if (const ConfigValue *materials = g.find("materials")) {
        if (materials->kind() != ConfigKind::Array)
            return r.fail(where + ": 'materials' must be an array of names");
        for (const ConfigValue &m : materials->items()) {
            if (m.kind() != ConfigKind::String)
                return r.fail(where + ": 'materials' must hold names");
            s.materials.push_back(m.to_string());
        }
    }
    if (const ConfigValue *bones = g.find("bones")) {
        if (bones->kind() != ConfigKind::Array)
            return r.fail(where + ": 'bones' must be an array");
        for (u32 i = 0; i < bones->items().size(); ++i) {
            const ConfigValue &b = bones->items()[i];
            const std::string w = where + ".bones[" + std::to_string(i) + "]";
            test::MeshSourceBone bone;
            std::vector<f32> m;
            if (!r.known(b, {"node", "inverse_bind"}, w) || !r.index_of(node_names, b.find("node"), "node", w, bone.node) ||
                !r.numbers(b.find("inverse_bind"), m, w + ".inverse_bind", 16))
                return false;
            if (m.size() == 16)
                memcpy(&bone.inverse_bind, m.data(), 64);
            s.bones.push_back(bone);
        }
    }
    if (const ConfigValue *lists = g.find("bone_lists")) {
        if (lists->kind() != ConfigKind::Array)
            return r.fail(where + ": 'bone_lists' must be an array of arrays");
        for (const ConfigValue &l : lists->items()) {
            std::vector<f32> bones;
            if (!r.numbers(&l, bones, where + ".bone_lists"))
                return false;
            std::vector<u32> list;
            for (f32 b : bones) {
                if (b < 0 || b >= s.bones.size())
                    return r.fail(where + ": a bone list names bone " + std::to_string(b) + " of " +
                                  std::to_string(s.bones.size()));
                list.push_back(u32(b));
            }
            s.bone_lists.push_back(list);
        }
    }
    const ConfigValue *batches = g.find("batches");
    if (!batches || batches->kind() != ConfigKind::Array || batches->items().empty())
        return r.fail(where + ": 'batches' must list the draws");
    for (u32 i = 0; i < batches->items().size(); ++i) {
        const ConfigValue &b = batches->items()[i];
        const std::string w = where + ".batches[" + std::to_string(i) + "]";
        if (!r.known(b, {"start", "triangles", "material", "bones"}, w))
            return false;
        test::MeshSourceBatch batch;
        const ConfigValue *start = b.find("start"), *triangles = b.find("triangles"), *bones = b.find("bones");
        batch.start_index = start && start->kind() == ConfigKind::Integer ? u32(start->to_integer()) : 0;
        batch.triangle_count = triangles && triangles->kind() == ConfigKind::Integer ? u32(triangles->to_integer())
                                                                                     : u32(indices.size() / 3);
        if (u64(batch.start_index) + u64(batch.triangle_count) * 3 > indices.size())
            return r.fail(w + ": the triangles run past the indices");
        if (!r.index_of(s.materials, b.find("material"), "material slot", w, batch.material_slot))
            return false;
        if (bones) {
            if (bones->kind() != ConfigKind::Integer || bones->to_integer() < 0 ||
                u64(bones->to_integer()) >= s.bone_lists.size())
                return r.fail(w + ": 'bones' must name a bone list");
            batch.bone_list = u32(bones->to_integer());
        }
        s.batches.push_back(batch);
    }
    if (const ConfigValue *b = g.find("bounds"))
        return r.bounds(b, s.box_min, s.box_max, where + ".bounds");
    if (has_position) {
        std::copy(lo, lo + 3, s.box_min);
        std::copy(hi, hi + 3, s.box_max);
    }
    return true;
}

} // namespace

bool compile_unit_mesh_geometry(const ConfigValue &source, const std::vector<std::string> &node_names,
                                test::UnitSource &unit, test::UnitSourceMesh &mesh, const std::string &where,
                                std::string &out_error)
{
    Reader r{out_error};
    const ConfigValue *box = source.find("box");
    const ConfigValue *geometry = source.find("geometry");
    if (box && geometry)
        return r.fail(where + ": a mesh has a box or a geometry, not both");
    if (box) {
        std::vector<f32> half;
        if (!r.numbers(box, half, where + ".box", 3))
            return false;
        const ConfigValue *material = source.find("material");
        if (!material || material->kind() != ConfigKind::String)
            return r.fail(where + ": a box mesh needs a 'material'");
        test::add_mesh_geometry(unit, mesh, test::box_mesh(half[0], half[1], half[2], material->to_string()));
        return true;
    }
    if (source.find("material"))
        return r.fail(where + ": 'material' goes with 'box' (a geometry names its materials)");
    if (!geometry)
        return true;
    test::MeshSource s;
    if (!compile_geometry(r, *geometry, node_names, s, where + ".geometry"))
        return false;
    test::add_mesh_geometry(unit, mesh, s);
    return true;
}

bool compile_unit_lods(const ConfigValue &root, const std::vector<std::string> &node_names,
                       const std::vector<std::string> &mesh_names, test::UnitSource &unit, std::string &out_error)
{
    Reader r{out_error};
    const ConfigValue *lods = root.find("lods");
    if (!lods)
        return true;
    if (lods->kind() != ConfigKind::Array)
        return r.fail("'lods' must be an array");
    for (u32 i = 0; i < lods->items().size(); ++i) {
        const ConfigValue &l = lods->items()[i];
        const std::string where = "lods[" + std::to_string(i) + "]";
        test::UnitSourceLod lod;
        if (!r.known(l, {"node", "bounds", "mask", "steps"}, where) ||
            !r.index_of(node_names, l.find("node"), "node", where, lod.word))
            return false;
        if (const ConfigValue *b = l.find("bounds"); b && !r.bounds(b, lod.box.min, lod.box.max, where + ".bounds"))
            return false;
        const ConfigValue *mask = l.find("mask");
        lod.last_word = mask && mask->kind() == ConfigKind::Integer ? u32(mask->to_integer()) : 1;
        const ConfigValue *steps = l.find("steps");
        if (!steps || steps->kind() != ConfigKind::Array)
            return r.fail(where + ": 'steps' must list the steps");
        for (u32 k = 0; k < steps->items().size(); ++k) {
            const ConfigValue &s = steps->items()[k];
            const std::string w = where + ".steps[" + std::to_string(k) + "]";
            if (!r.known(s, {"upper", "lower", "meshes"}, w))
                return false;
            test::UnitSourceLodEntry entry;
            const ConfigValue *upper = s.find("upper"), *lower = s.find("lower");
            const f32 bounds[2] = {upper && Reader::is_number(*upper) ? upper->to_float() : 1.0f,
                                   lower && Reader::is_number(*lower) ? lower->to_float() : 0.0f};
            memcpy(entry.words, bounds, sizeof bounds);
            if (const ConfigValue *meshes = s.find("meshes")) {
                if (meshes->kind() != ConfigKind::Array)
                    return r.fail(w + ": 'meshes' must be an array of names");
                for (const ConfigValue &m : meshes->items()) {
                    u32 index = 0;
                    if (!r.index_of(mesh_names, &m, "mesh", w, index))
                        return false;
                    entry.list.push_back(index);
                }
            }
            lod.entries.push_back(entry);
        }
        unit.lod_objects.push_back(lod);
    }
    return true;
}

} // namespace tallow

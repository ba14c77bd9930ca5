#include "world/units/unit_render_objects.h"

#include "foundation/log.h"
#include "render/materials/material_resource.h"
#include "world/units/unit_resource.h"

#include <cstring>

namespace tallow {

namespace {

f32 as_f32(u32 bits)
{
    f32 f;
    memcpy(&f, &bits, 4);
    return f;
}

f32 or_default(u32 bits, f32 fallback) { return bits == 0 ? fallback : as_f32(bits); }

} // namespace

UnitMeshBuilder::UnitMeshBuilder(Allocator &allocator)
    : channels(allocator), batches(allocator), bone_nodes(allocator), inverse_binds(allocator), bone_words(allocator),
      bone_lists(allocator), material_names(allocator), materials(allocator)
{
}

bool UnitMeshBuilder::build(const UnitResource &r, u32 index, u32 scene_graph, const void *material, MeshDesc &out)
{
    out = MeshDesc{};
    if (index >= r.meshes.size())
        return false;
    const UnitMesh &mesh = r.meshes[index];
    const u32 geometry_index = mesh.words[0];
    if (geometry_index >= r.geometries.size()) {
        log_message("world", "unit %016llx: mesh %08x names geometry %u of %u; not drawn",
                    (unsigned long long)r.name.value(), mesh.name_id, geometry_index, r.geometries.size());
        return false;
    }
    const UnitMeshGeometry &g = r.geometries[geometry_index];
    const u32 vertex_count = g.pairs[0], stride = g.pairs[1], index_count = g.pairs[2], index_size = g.pairs[3];
    if ((index_size != 2 && index_size != 4) || stride == 0 || u64(vertex_count) * stride > g.first_block.size ||
        u64(index_count) * index_size > g.second_block.size) {
        log_message("world", "unit %016llx: geometry %u does not hold %u vertices of %u bytes and %u indices of %u "
                             "bytes; not drawn",
                    (unsigned long long)r.name.value(), geometry_index, vertex_count, stride, index_count, index_size);
        return false;
    }

    channels.clear();
    for (u32 w = 0; w < 3; ++w)
        for (u32 b = 0; b < 4; ++b) {
            const u32 byte = (g.words[w] >> (8 * b)) & 0xFF;
            if (byte == 0xFF)
                goto declared;
            VertexChannel c;
            c.semantic = byte >> 4;
            c.channel_type = byte & 0xF;
            for (const VertexChannel &before : channels)
                c.semantic_index += before.semantic == c.semantic;
            channels.push_back(c);
        }
declared:
    batches.resize(g.entries.size / 16);
    if (batches.size())
        memcpy(batches.data(), r.bytes(g.entries), batches.size() * 16);

    out.skin = nullptr;
    if (g.word != 0xFFFFFFFFu) {
        if (g.word >= r.skins.size()) {
            log_message("world", "unit %016llx: geometry %u names skin %u of %u; not drawn",
                        (unsigned long long)r.name.value(), geometry_index, g.word, r.skins.size());
            return false;
        }
        const UnitSkin &s = r.skins[g.word];
        const u32 bones = s.words.count / 17;
        bone_nodes.resize(bones);
        inverse_binds.resize(bones);
        for (u32 i = 0; i < bones && bone_nodes.size() == bones && inverse_binds.size() == bones; ++i) {
            bone_nodes[i] = r.word(s.words, i * 17);
            for (u32 k = 0; k < 16; ++k)
                inverse_binds[i].m[k / 4][k % 4] = as_f32(r.word(s.words, i * 17 + 1 + k));
        }
        bone_words.clear();
        bone_lists.clear();
        for (u32 l = 0; l < s.lists.count; ++l) {
            const UnitWords list = r.word_lists[s.lists.first + l];
            for (u32 k = 0; k < list.count; ++k)
                bone_words.push_back(r.word(list, k));
        }
        // Pointers only once every word is in place (the array may have moved).
        u32 at = 0;
        for (u32 l = 0; l < s.lists.count; ++l) {
            const u32 n = r.word_lists[s.lists.first + l].count;
            bone_lists.push_back({bone_words.data() + at, n});
            at += n;
        }
        skin = {bone_nodes.data(), inverse_binds.data(), bone_nodes.size(), bone_lists.data(), bone_lists.size()};
        out.skin = &skin;
    }

    material_names.clear();
    materials.clear();
    const auto *resource = static_cast<const MaterialResource *>(material);
    for (u32 i = 0; i < g.names.count; ++i) {
        const UnitIdString &s = r.id_strings[g.names.first + i];
        const u32 name = s.id;
        material_names.push_back(name);
        materials.push_back(resource ? resource->find(name) : nullptr);
        // A unit without a material resource draws without materials by design (the light
        // proxies); one that has a resource but not this name is a mistake worth a line.
        if (resource && !materials.back()) {
            const int length = int(s.text.size && r.bytes(s.text)[s.text.size - 1] == 0 ? s.text.size - 1 : s.text.size);
            log_message_once(r.name.value() ^ (u64(mesh.name_id) << 32 | name) ^ 0x5E, "world",
                             "unit %016llx, mesh %08x: material '%.*s' is not in the unit's material resource; "
                             "the mesh draws without it",
                             (unsigned long long)r.name.value(), mesh.name_id, length,
                             reinterpret_cast<const char *>(r.bytes(s.text)));
        }
    }

    out.vertices = r.bytes(g.first_block);
    out.vertex_count = vertex_count;
    out.vertex_stride = stride;
    out.indices = r.bytes(g.second_block);
    out.index_count = index_count;
    out.index_32bit = index_size == 4;
    out.channels = channels.data();
    out.channel_count = channels.size();
    out.batches = batches.data();
    out.batch_count = batches.size();
    memcpy(out.box_min, g.box.min, sizeof out.box_min);
    memcpy(out.box_max, g.box.max, sizeof out.box_max);
    out.scene_graph = scene_graph;
    out.node = mesh.node;
    out.mask = mesh.flags & 0xF;
    return true;
}

CameraBlock unit_camera_block(const UnitCamera &c)
{
    CameraBlock b;
    b.near_range = or_default(c.settings[0], b.near_range);
    b.far_range = or_default(c.settings[1], b.far_range);
    b.vertical_fov = or_default(c.settings[2], b.vertical_fov);
    return b;
}

LightBlock unit_light_block(const UnitLight &l)
{
    LightBlock b;
    const u32 *w = l.settings;
    b.color[0] = as_f32(w[0]);
    b.color[1] = as_f32(w[1]);
    b.color[2] = as_f32(w[2]);
    b.falloff_start = as_f32(w[3]);
    b.falloff_end = as_f32(w[4]);
    b.word6 = as_f32(w[5]);
    b.word7 = as_f32(w[6]);
    b.spot_angle = as_f32(w[7]);
    b.type = w[8];
    return b;
}

void build_unit_lod(const UnitResource &r, u32 index, u32 scene_graph, const u32 *meshes, u32 mesh_count,
                    Array<LodStepDesc> &steps, Array<u32> &handles, LodObjectDesc &out)
{
    out = LodObjectDesc{};
    steps.clear();
    handles.clear();
    if (index >= r.lod_objects.size())
        return;
    const UnitLodObject &lod = r.lod_objects[index];
    u32 skipped = 0;
    for (u32 e = 0; e < lod.entries.count; ++e) {
        const UnitLodEntry &entry = r.lod_entries[lod.entries.first + e];
        for (u32 k = 0; k < entry.list.count; ++k) {
            const u32 mesh = r.word(entry.list, k);
            if (mesh < mesh_count)
                handles.push_back(meshes[mesh]);
            else
                ++skipped;
        }
    }
    u32 at = 0;
    for (u32 e = 0; e < lod.entries.count; ++e) {
        const UnitLodEntry &entry = r.lod_entries[lod.entries.first + e];
        u32 n = 0;
        for (u32 k = 0; k < entry.list.count; ++k)
            n += r.word(entry.list, k) < mesh_count;
        steps.push_back({as_f32(entry.words[0]), as_f32(entry.words[1]), handles.data() + at, n});
        at += n;
    }
    if (skipped)
        log_message("world", "unit %016llx: LOD object %u names %u meshes the unit lacks; skipped",
                    (unsigned long long)r.name.value(), index, skipped);
    out.scene_graph = scene_graph;
    out.node = lod.word < r.node_count ? lod.word : 0;
    memcpy(out.box_min, lod.box.min, sizeof out.box_min);
    memcpy(out.box_max, lod.box.max, sizeof out.box_max);
    out.mask = lod.last_word & 0x7;
    out.steps = steps.data();
    out.step_count = steps.size();
}

} // namespace tallow

#include "tests/support/writers/unit_mesh_writer.h"

#include "foundation/strings/name_id.h"

#include <cstring>

namespace tallow::test {

u32 mesh_channel_bytes(u32 type)
{
    static const u32 bytes[] = {4, 8, 12, 16, 4, 4, 8, 4, 8, 12, 16};
    return type < sizeof bytes / sizeof bytes[0] ? bytes[type] : 0;
}

void encode_vertex_channels(const std::vector<MeshChannelSpec> &channels, u32 out_words[3])
{
    u8 bytes[12];
    memset(bytes, 0xFF, sizeof bytes);
    for (size_t i = 0; i < channels.size() && i < 11; ++i)
        bytes[i] = u8((channels[i].semantic & 0xF) << 4 | (channels[i].type & 0xF));
    memcpy(out_words, bytes, sizeof bytes);
}

void add_mesh_geometry(UnitSource &unit, UnitSourceMesh &mesh, const MeshSource &s)
{
    UnitSourceGeometry g;
    g.first_block = s.vertices;
    const u32 index_size = s.index_32bit ? 4 : 2;
    g.pairs[0] = s.stride ? u32(s.vertices.size() / s.stride) : 0;
    g.pairs[1] = s.stride;
    g.pairs[2] = u32(s.indices.size());
    g.pairs[3] = index_size;
    encode_vertex_channels(s.channels, g.words);
    g.word = 0xFFFFFFFFu;
    for (u32 i : s.indices) {
        u8 b[4];
        memcpy(b, &i, 4);
        g.second_block.insert(g.second_block.end(), b, b + index_size);
    }
    for (const MeshSourceBatch &b : s.batches)
        g.entries.insert(g.entries.end(), {b.start_index, b.triangle_count, b.material_slot, b.bone_list});
    memcpy(g.box.min, s.box_min, sizeof g.box.min);
    memcpy(g.box.max, s.box_max, sizeof g.box.max);
    for (const std::string &m : s.materials)
        g.names.push_back({NameId32(m.c_str()).value(), m});
    if (!s.bones.empty()) {
        UnitSourceSkin skin;
        for (const MeshSourceBone &bone : s.bones) {
            skin.words.push_back(bone.node);
            u32 bits[16];
            memcpy(bits, &bone.inverse_bind, sizeof bits);
            skin.words.insert(skin.words.end(), bits, bits + 16);
        }
        skin.lists = s.bone_lists;
        g.word = u32(unit.skins.size());
        unit.skins.push_back(skin);
    }
    mesh.words[0] = u32(unit.geometries.size());
    mesh.words[1] = 0;
    unit.geometries.push_back(g);
}

MeshSource box_mesh(f32 hx, f32 hy, f32 hz, const std::string &material)
{
    MeshSource s;
    s.channels = {{0, 2}, {4, 1}};
    s.stride = 20;
    const f32 h[3] = {hx, hy, hz};
    // Per face: the axis it faces along, its sign, and the two axes across it.
    for (int axis = 0; axis < 3; ++axis)
        for (int sign = -1; sign <= 1; sign += 2) {
            const int u = (axis + 1) % 3, v = (axis + 2) % 3;
            const u32 first = u32(s.vertices.size() / s.stride);
            const f32 corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
            for (const auto &c : corners) {
                f32 vertex[5] = {};
                vertex[axis] = sign * h[axis];
                vertex[u] = c[0] * h[u];
                vertex[v] = c[1] * h[v];
                vertex[3] = (c[0] + 1) * 0.5f;
                vertex[4] = (c[1] + 1) * 0.5f;
                const u8 *p = reinterpret_cast<const u8 *>(vertex);
                s.vertices.insert(s.vertices.end(), p, p + sizeof vertex);
            }
            // Both faces of an axis wind opposite ways, so every face turns the same side out.
            if (sign > 0)
                s.indices.insert(s.indices.end(), {first, first + 1, first + 2, first, first + 2, first + 3});
            else
                s.indices.insert(s.indices.end(), {first, first + 2, first + 1, first, first + 3, first + 2});
        }
    s.batches.push_back({0, 12, 0, 0xFFFFFFFFu});
    s.materials.push_back(material);
    for (int i = 0; i < 3; ++i) {
        s.box_min[i] = -h[i];
        s.box_max[i] = h[i];
    }
    return s;
}

} // namespace tallow::test

#include "tests/support/writers/material_writer.h"

#include <cstring>

namespace tallow {

namespace {

void put_u32(std::vector<u8> &out, u32 v)
{
    const size_t at = out.size();
    out.resize(at + 4);
    memcpy(out.data() + at, &v, 4);
}

void put_u64(std::vector<u8> &out, u64 v)
{
    const size_t at = out.size();
    out.resize(at + 8);
    memcpy(out.data() + at, &v, 8);
}

} // namespace

std::vector<u8> write_material_resource(const std::vector<MaterialSource> &materials)
{
    std::vector<u8> out;
    put_u32(out, 8);
    put_u32(out, u32(materials.size()));
    for (const MaterialSource &m : materials) {
        put_u32(out, m.name);
        put_u32(out, m.shader_template);
        put_u32(out, u32(m.textures.size()));
        for (const MaterialSourceTexture &t : m.textures) {
            put_u32(out, t.channel);
            put_u32(out, 0);
            put_u64(out, t.texture);
        }
        put_u32(out, u32(m.values.size()));
        std::vector<u8> block;
        for (const MaterialSourceValue &v : m.values) {
            put_u32(out, v.kind);
            put_u32(out, 0);
            put_u32(out, v.variable);
            put_u32(out, u32(block.size()));
            const u32 floats = v.kind <= 2 ? v.kind + 1 : 0;
            for (u32 i = 0; i < floats; ++i) {
                u32 bits;
                memcpy(&bits, &v.value[i], 4);
                put_u32(block, bits);
            }
        }
        put_u32(out, u32(block.size()));
        const size_t at = out.size();
        out.resize(at + block.size());
        if (!block.empty())
            memcpy(out.data() + at, block.data(), block.size());
    }
    bool named = false;
    for (const MaterialSource &m : materials)
        named = named || !m.shader_name.empty();
    if (!named)
        return out;
    put_u32(out, u32(materials.size()));
    for (const MaterialSource &m : materials) {
        put_u32(out, u32(m.shader_name.size()));
        const size_t at = out.size();
        out.resize(at + ((m.shader_name.size() + 3) & ~size_t(3)), 0);
        memcpy(out.data() + at, m.shader_name.data(), m.shader_name.size());
    }
    return out;
}

} // namespace tallow

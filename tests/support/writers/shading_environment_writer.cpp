#include "tests/support/writers/shading_environment_writer.h"

#include <cstring>

namespace tallow {

namespace {
void put(std::vector<u8> &out, const void *data, size_t n)
{
    const u8 *p = static_cast<const u8 *>(data);
    out.insert(out.end(), p, p + n);
}
void put32(std::vector<u8> &out, u32 v) { put(out, &v, 4); }
} // namespace

std::vector<u8> write_shading_environment(const ShadingEnvironmentSource &s)
{
    std::vector<u8> out;
    put(out, &s.material, 8);
    put32(out, u32(s.variables.size()));
    for (const auto &v : s.variables)
        for (u32 w : v)
            put32(out, w);
    put32(out, u32(s.settings.size()));
    for (const auto &setting : s.settings) {
        put32(out, setting.name);
        put32(out, u32(setting.bytes.size()));
        put(out, setting.bytes.data(), setting.bytes.size());
    }
    put32(out, u32(s.bindings.size()));
    for (const auto &b : s.bindings)
        for (u32 w : b)
            put32(out, w);
    put32(out, u32(s.render_variables.size()));
    for (const auto &r : s.render_variables)
        for (u32 w : r)
            put32(out, w);
    return out;
}

std::vector<u8> floats_bytes(const std::vector<f32> &values)
{
    std::vector<u8> out(values.size() * 4);
    if (!values.empty())
        memcpy(out.data(), values.data(), out.size());
    return out;
}

} // namespace tallow

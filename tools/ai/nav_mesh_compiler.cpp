#include "tools/ai/nav_mesh_compiler.h"

#include "ai/nav_mesh.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/config/config_value.h"
#include "foundation/memory/memory_globals.h"
#include "tests/support/writers/nav_mesh_writer.h"
#include "tools/source_check.h"

#include <cmath>

namespace tallow {

namespace {

bool is_number(const ConfigValue &v) { return v.kind() == ConfigKind::Integer || v.kind() == ConfigKind::Float; }

} // namespace

bool compile_nav_mesh(const ConfigValue &source, std::vector<u8> &out_block, std::string &out_error)
{
    auto fail = [&](const std::string &why) {
        out_error = "navigation mesh: " + why;
        return false;
    };
    if (source.kind() != ConfigKind::Object)
        return fail("must be an object with 'vertices' and 'polygons'");
    if (const char *key = unknown_key(source, {"vertices", "polygons"}))
        return fail(std::string("unknown key '") + key + "'");
    const ConfigValue *vertices = source.find("vertices");
    const ConfigValue *polygons = source.find("polygons");
    if (!vertices || vertices->kind() != ConfigKind::Array || !polygons || polygons->kind() != ConfigKind::Array)
        return fail("'vertices' and 'polygons' must be arrays");
    if (vertices->items().size() > 0xFFFE || polygons->items().size() > 0xFFFE)
        return fail("more than 65534 vertices or polygons");
    test::NavMeshSource mesh;
    for (u32 i = 0; i < vertices->items().size(); ++i) {
        const ConfigValue &v = vertices->items()[i];
        if (v.kind() != ConfigKind::Array || v.items().size() != 3 || !is_number(v.items()[0]) ||
            !is_number(v.items()[1]) || !is_number(v.items()[2]))
            return fail("vertex " + std::to_string(i) + " must be [x y z]");
        mesh.vertices.push_back({v.items()[0].to_float(), v.items()[1].to_float(), v.items()[2].to_float()});
    }
    for (u32 i = 0; i < polygons->items().size(); ++i) {
        const ConfigValue &p = polygons->items()[i];
        const std::string where = "polygon " + std::to_string(i);
        if (p.kind() != ConfigKind::Array || p.items().size() < 3 || p.items().size() > 6)
            return fail(where + " must list 3 to 6 vertex indices");
        std::vector<u16> corners;
        for (const ConfigValue &c : p.items()) {
            if (c.kind() != ConfigKind::Integer || c.to_integer() < 0 || u32(c.to_integer()) >= mesh.vertices.size())
                return fail(where + ": vertex index out of range");
            corners.push_back(u16(c.to_integer()));
        }
        mesh.add_polygon(corners);
    }
    test::build_nav_mesh_links(mesh);
    out_block = test::write_nav_mesh(mesh);
    // The engine's own reader has the last word (degenerate planes, zero-length edges, ...).
    const char *reason = "refused by the reader";
    NavMesh *check = read_nav_mesh(out_block.data(), out_block.size(), default_allocator(), &reason);
    if (!check)
        return fail(reason);
    destroy_nav_mesh(check, default_allocator());
    return true;
}

bool compile_nav_mesh_source(const char *text, u64 size, std::vector<u8> &out_block, std::string &out_error)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + size, *root);
    std::string unreadable;
    bool ok;
    if (find_unreadable_value(*root, unreadable)) {
        out_error = "navigation mesh: cannot read the value of '" + unreadable + "'";
        ok = false;
    } else {
        ok = compile_nav_mesh(*root, out_block, out_error);
    }
    destroy_config_root(root);
    return ok;
}

} // namespace tallow

// Writes texture and material seeds with the shared writers: make_texture_material_seeds <dir>.
#include "foundation/memory/memory_globals.h"
#include "foundation/strings/name_id.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/writers/material_writer.h"
#include "tests/support/writers/texture_writer.h"

#include <cstdio>
#include <string>

using namespace tallow;

namespace {
void save(const std::string &path, const std::vector<u8> &bytes) { fuzz::write_seed(path, bytes.data(), bytes.size()); }
u32 id(const char *name) { return NameId32(name).value(); }
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_texture_material_seeds <dir>\n");
        return 2;
    }
    memory_globals_init();
    const std::string dir = argv[1];
    DdsDescription rgba;
    rgba.width = 4;
    rgba.height = 2;
    rgba.mip_count = 3;
    save(dir + "/rgba_mips.dds", write_dds(rgba, std::vector<u8>((8 + 2 + 1) * 4, 0x55)));
    DdsDescription dxt;
    dxt.width = 8;
    dxt.height = 8;
    dxt.mip_count = 4;
    dxt.fourcc = dds_fourcc("DXT5");
    save(dir + "/dxt5.dds", write_dds(dxt, std::vector<u8>(64 + 16 + 16 + 16, 0x33)));
    DdsDescription cube;
    cube.width = 2;
    cube.height = 2;
    cube.mip_count = 2;
    cube.fourcc = 116;
    cube.cube = true;
    save(dir + "/cube_float.dds", write_dds(cube, std::vector<u8>((64 + 16) * 6, 0x11)));
    MaterialSource crate;
    crate.name = id("crate");
    crate.shader_template = id("mesh");
    crate.textures = {{id("diffuse_map"), NameId64("textures/crate").value()}, {id("gloss"), 5}};
    crate.values = {{0, id("time"), {0.5f}}, {1, id("uv"), {1, 2}}, {2, id("tint"), {1, 2, 3}}};
    MaterialSource bare;
    bare.name = id("bare");
    save(dir + "/two.material", write_material_resource({crate, bare}));
    save(dir + "/empty.material", write_material_resource({}));
    crate.shader_name = "mesh";
    bare.shader_name = "particle";
    save(dir + "/named.material", write_material_resource({crate, bare}));
    return 0;
}

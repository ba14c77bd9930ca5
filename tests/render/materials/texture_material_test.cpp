#include "render/materials/material_resource.h"
#include "render/textures/texture_resource.h"
#include "render/viewports/viewport.h"

#include "foundation/config/config_blob.h"
#include "foundation/config/config_text_parser.h"
#include "foundation/memory/memory_globals.h"
#include "foundation/memory/trace_allocator.h"
#include "render/world/render_state_stream.h"
#include "tests/support/log_capture.h"
#include "tests/support/fakes/null_render_device.h"
#include "tests/support/writers/material_writer.h"
#include "tests/support/writers/texture_writer.h"
#include "tools/render/material_compiler.h"
#include "tools/render/texture_compiler.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallow {
namespace {

class TextureTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(allocator.allocation_count(), 0u); }
    TraceAllocator allocator{"TextureTest", default_allocator()};
};

TEST(TextureLevels, SizesByFormat)
{
    struct Case {
        u32 format, width, height;
        u64 bytes;
    } cases[] = {
        {4, 1, 1, 8},    {6, 5, 3, 32},     {5, 8, 8, 64},   {7, 4, 4, 8},     {8, 7, 1, 32},
        {0, 5, 3, 60},   {9, 2, 2, 64},     {14, 3, 1, 24},  {13, 3, 3, 18},   {0, 0, 0, 4},
        {15, 4, 4, 0},   {99, 4, 4, 0},     {0, 16384, 16384, u64(16384) * 16384 * 4},
    };
    for (const Case &c : cases)
        EXPECT_EQ(texture_level_bytes(c.format, c.width, c.height), c.bytes)
            << "format " << c.format << " " << c.width << "x" << c.height;
}

// Every format of the table, read from a DDS with a full mip chain: exact level sizes, and
// one byte short is refused.
TEST_F(TextureTest, EveryFormatWithExactLevelSizes)
{
    struct Case {
        const char *name;
        u32 fourcc;
        u32 alpha_mask;
        u32 format;
    } cases[] = {
        {"DXT1", dds_fourcc("DXT1"), 0, 4}, {"DXT3", dds_fourcc("DXT3"), 0, 5}, {"DXT5", dds_fourcc("DXT5"), 0, 6},
        {"ATI1", dds_fourcc("ATI1"), 0, 7}, {"ATI2", dds_fourcc("ATI2"), 0, 8}, {"RGBA8", 0, 0xFF000000u, 0},
        {"RGBX8", 0, 0, 0},                 {"113", 113, 0, 14},                {"116", 116, 0, 9},
    };
    for (const Case &c : cases) {
        DdsDescription d;
        d.width = 8;
        d.height = 4;
        d.mip_count = 4; // 8x4, 4x2, 2x1, 1x1
        d.fourcc = c.fourcc;
        d.masks[3] = c.alpha_mask;
        std::vector<u64> sizes;
        u64 total = 0;
        for (u32 m = 0; m < 4; ++m) {
            sizes.push_back(texture_level_bytes(c.format, 8 >> m, 4 >> m));
            total += sizes.back();
        }
        std::vector<u8> texels(total);
        for (size_t i = 0; i < texels.size(); ++i)
            texels[i] = u8(i * 7);
        std::vector<u8> bytes = write_dds(d, texels);
        TextureImage *image = read_texture_image(bytes.data(), bytes.size(), allocator);
        ASSERT_NE(image, nullptr) << c.name;
        EXPECT_EQ(image->description.format, c.format) << c.name;
        EXPECT_EQ(image->description.mip_count, 4u);
        ASSERT_EQ(image->data.size(), 4u);
        u64 offset = 0;
        for (u32 m = 0; m < 4; ++m) {
            EXPECT_EQ(memcmp(image->data[m], texels.data() + offset, sizes[m]), 0) << c.name << " level " << m;
            offset += sizes[m];
        }
        destroy_texture_image(image);
        test::LogCapture log(nullptr, true);
        bytes.pop_back();
        EXPECT_EQ(read_texture_image(bytes.data(), bytes.size(), allocator), nullptr) << c.name << " one byte short";
    }
}

TEST_F(TextureTest, CubeMapsAreFaceMajor)
{
    DdsDescription d;
    d.width = 4;
    d.height = 4;
    d.mip_count = 3;
    d.cube = true;
    const u64 face = 64 + 16 + 4;
    std::vector<u8> texels(face * 6);
    for (size_t i = 0; i < texels.size(); ++i)
        texels[i] = u8(i / face); // each face's bytes hold its index
    std::vector<u8> bytes = write_dds(d, texels);
    TextureImage *image = read_texture_image(bytes.data(), bytes.size(), allocator);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->description.image_type, 2u);
    EXPECT_EQ(image->description.face_count, 6u);
    ASSERT_EQ(image->data.size(), 18u);
    for (u32 f = 0; f < 6; ++f)
        for (u32 m = 0; m < 3; ++m)
            EXPECT_EQ(*static_cast<const u8 *>(image->data[f * 3 + m]), u8(f)) << "face " << f << " mip " << m;
    destroy_texture_image(image);
}

TEST_F(TextureTest, RefusesBadHeaders)
{
    struct Case {
        const char *what;
        DdsDescription d;
    };
    DdsDescription huge;
    huge.width = 0x80000000u;
    huge.height = 0x80000000u;
    DdsDescription zero;
    zero.width = 0;
    DdsDescription many_mips;
    many_mips.width = 4;
    many_mips.height = 4;
    many_mips.mip_count = 40;
    DdsDescription unknown;
    unknown.fourcc = dds_fourcc("XYZW");
    DdsDescription masks;
    masks.masks[0] = 0xFF; // B and R swapped: not a format of the table
    masks.masks[2] = 0xFF0000;
    const Case cases[] = {{"huge", huge}, {"zero width", zero}, {"40 mips", many_mips}, {"unknown FourCC", unknown},
                          {"other masks", masks}};
    test::LogCapture log(nullptr, true);
    for (const Case &c : cases) {
        std::vector<u8> bytes = write_dds(c.d, std::vector<u8>(4096, 0));
        EXPECT_EQ(read_texture_image(bytes.data(), bytes.size(), allocator), nullptr) << c.what;
    }
    std::vector<u8> header_only = write_dds(DdsDescription{}, {});
    for (u64 size : {u64(0), u64(3), u64(100), u64(header_only.size())})
        EXPECT_EQ(read_texture_image(header_only.data(), size, allocator), nullptr) << size << " bytes";
    // Trailing bytes after the levels are fine.
    std::vector<u8> bytes = write_dds(DdsDescription{}, std::vector<u8>(12, 1));
    TextureImage *image = read_texture_image(bytes.data(), bytes.size(), allocator);
    EXPECT_NE(image, nullptr);
    destroy_texture_image(image);
}

// --- Materials ---------------------------------------------------------------------------

class MaterialTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(allocator.allocation_count(), 0u); }
    TraceAllocator allocator{"MaterialTest", default_allocator()};
};

u32 id32(const char *s) { return NameId32(s).value(); }

template <typename F> void for_each(const RenderStateStream &stream, F f)
{
    RenderStateStream::Record record;
    for (u32 at = stream.first_record(); stream.read(at, record);)
        f(record.kind, record.payload, record.payload_bytes);
}

struct FakeTextures {
    Texture diffuse{default_allocator()};
    Texture normal{default_allocator()};
    static void *get(void *context, NameId64 type, NameId64 name)
    {
        auto *self = static_cast<FakeTextures *>(context);
        if (type != NameId64("texture"))
            return nullptr;
        if (name == NameId64("textures/crate"))
            return &self->diffuse;
        if (name == NameId64("textures/crate_normal"))
            return &self->normal;
        return nullptr;
    }
};

TEST_F(MaterialTest, ResolvesTexturesByChannelAndKeepsValues)
{
    MaterialSource crate;
    crate.name = id32("crate");
    crate.shader_template = id32("mesh");
    crate.textures = {{id32("normal_map"), NameId64("textures/crate_normal").value()},
                      {id32("diffuse_map"), NameId64("textures/crate").value()},
                      {id32("gloss_map"), NameId64("textures/crate").value()},
                      {id32("detail_map"), NameId64("textures/missing").value()}};
    crate.values = {{0, id32("time"), {0.25f}}, {2, id32("tint"), {1, 0.5f, 0.25f}}, {1, id32("uv"), {2, 3}}};
    MaterialSource door;
    door.name = id32("door");
    const std::vector<u8> bytes = write_material_resource({crate, door});
    MaterialResource *m = read_material_resource(bytes.data(), bytes.size(), allocator);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->entries.size(), 2u);
    const MaterialEntry *e = m->find(id32("crate"));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->shader_template, id32("mesh"));
    ASSERT_EQ(e->values.size(), 3u);
    EXPECT_EQ(e->values[1].kind, 2u);
    EXPECT_FLOAT_EQ(e->values[1].value[2], 0.25f);
    EXPECT_FLOAT_EQ(e->values[2].value[1], 3.0f);

    Array<u32> channels(allocator);
    for (const char *c : {"diffuse_map", "normal_map", "detail_map"})
        channels.push_back(id32(c));
    FakeTextures textures;
    ResourceLookup lookup{&textures, &FakeTextures::get};
    test::LogCapture log(nullptr, true);
    EXPECT_EQ(resolve_material_textures(*m, channels, lookup), 1u) << "gloss_map is no channel";
    EXPECT_TRUE(log.contains("is not a texture channel"));
    // The texture that is not loaded is named with the material that binds it, once however
    // often the material is resolved.
    char missing[128];
    snprintf(missing, sizeof missing, "material %08x: texture %016llx (channel %08x) is not loaded", id32("crate"),
             (unsigned long long)NameId64("textures/missing").value(), id32("detail_map"));
    EXPECT_EQ(resolve_material_textures(*m, channels, lookup), 1u);
    size_t reported = 0;
    for (const std::string &line : log.lines())
        reported += line.find(missing) != std::string::npos;
    EXPECT_EQ(reported, 1u) << missing;
    EXPECT_TRUE(m->resolved);
    ASSERT_EQ(e->slots.size(), 3u);
    EXPECT_EQ(e->slots[0], &textures.diffuse);
    EXPECT_EQ(e->slots[1], &textures.normal);
    EXPECT_EQ(e->slots[2], nullptr) << "a texture that is not loaded leaves its slot empty";
    EXPECT_EQ(m->find(id32("door"))->slots.size(), 3u);
    destroy_material_resource(m);
}

TEST_F(MaterialTest, RefusesDamagedResources)
{
    MaterialSource one;
    one.name = 1;
    one.textures = {{2, 3}};
    one.values = {{2, 4, {1, 2, 3}}};
    const std::vector<u8> good = write_material_resource({one});
    test::LogCapture log(nullptr, true);
    // Every truncation fails cleanly.
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_EQ(read_material_resource(good.data(), n, allocator), nullptr) << n << " bytes";
    auto patched = [&](size_t offset, u32 value) {
        std::vector<u8> b = good;
        memcpy(b.data() + offset, &value, 4);
        return b;
    };
    // Offsets: version 0, count 4, name 8, template 12, texture count 16, ref 20..35,
    // value count 36, value record 40 (kind 40, variable 48, offset 52), block length 56.
    const struct {
        const char *what;
        std::vector<u8> bytes;
    } cases[] = {
        {"huge material count", patched(4, 0xFFFFFFFFu)},
        {"huge texture count", patched(16, 0x10000000u)},
        {"value kind 3", patched(40, 3)},
        {"value offset past the block", patched(52, 4)},
        {"value offset wrapping", patched(52, 0xFFFFFFFCu)},
        {"block longer than the bytes", patched(56, 13)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read_material_resource(c.bytes.data(), c.bytes.size(), allocator), nullptr) << c.what;
}

// The render side: values and textures of the entry, then records that change them; bad
// records are dropped.
TEST_F(MaterialTest, RenderMaterialAppliesEntriesAndRecords)
{
    NullRenderDevice device(allocator);
    {
        ShaderManager shaders(device, allocator);
        MaterialEntry crate(allocator), door(allocator);
        crate.shader_template = id32("mesh");
        crate.values.push_back({0, id32("time"), {0.5f}});
        crate.values.push_back({2, id32("tint"), {1, 2, 3}});
        Texture diffuse(allocator);
        diffuse.handle = 42;
        crate.slots.push_back(&diffuse);
        crate.slots.push_back(nullptr);
        door.shader_template = id32("door");
        door.values.push_back({1, id32("uv"), {4, 5}});
        door.slots.push_back(nullptr);

        test::LogCapture log(nullptr, true);
        RenderMaterial material(allocator, crate, shaders);
        EXPECT_EQ(material.shader_template(), id32("mesh"));
        ASSERT_EQ(material.values().size(), 2u);
        ASSERT_EQ(material.textures().size(), 2u);
        EXPECT_EQ(material.textures()[0].handle, 42u);
        EXPECT_EQ(material.textures()[1].handle, invalid_render_handle);

        MaterialValueRecord value;
        value.handle = 1;
        value.variable = id32("time");
        value.value[0] = 2.0f;
        material.apply_message(2, reinterpret_cast<const u8 *>(&value), 16);
        EXPECT_FLOAT_EQ(material.values()[0].value[0], 2.0f);
        material.apply_message(4, reinterpret_cast<const u8 *>(&value), 16); // vector3 needs 24 bytes
        EXPECT_TRUE(log.contains("material record of kind 4 with 16 bytes dropped"));
        const u32 binding[5] = {5, 1, 7, 0, 99};
        material.apply_message(0, reinterpret_cast<const u8 *>(binding), sizeof binding);
        EXPECT_TRUE(log.contains("names texture channel 7 of 2"));
        const u32 binding1[5] = {5, 1, 1, 0, 99};
        material.apply_message(0, reinterpret_cast<const u8 *>(binding1), sizeof binding1);
        EXPECT_EQ(material.textures()[1].handle, 99u);

        u8 switch_record[16] = {};
        const MaterialEntry *entry = &door;
        memcpy(switch_record + 8, &entry, sizeof entry);
        material.apply_message(5, switch_record, 8 + sizeof entry);
        EXPECT_EQ(material.shader_template(), id32("door"));
        ASSERT_EQ(material.values().size(), 1u);
        EXPECT_EQ(material.values()[0].kind, 1u);
        EXPECT_EQ(material.textures().size(), 1u);
    }
}

TEST(MaterialValues, GameSideRecordsAndValueSets)
{
    TraceAllocator allocator("MaterialValues", default_allocator());
    {
        RenderStateStream stream(allocator);
        Material without_handle(&stream, 0xFFFFFFFFu);
        without_handle.set_scalar(1, 2.0f);
        Material no_world(nullptr, 5);
        no_world.set_vector3(1, 1, 2, 3);
        EXPECT_EQ(stream.size_bytes(), 0u) << "nothing is sent without a handle or a world";
        Material material(&stream, 7);
        material.set_scalar(11, 0.5f);
        material.set_vector2(12, 1, 2);
        material.set_vector3(13, 1, 2, 3);
        std::vector<std::pair<u32, std::vector<f32>>> seen;
        for_each(stream, [&](u32 kind, const u8 *payload, u32 bytes) {
            MaterialValueRecord r;
            ASSERT_GE(bytes, 16u);
            memcpy(&r, payload, bytes < sizeof r ? bytes : sizeof r);
            EXPECT_EQ(r.class_id, u32(RenderObjectClass::Material));
            EXPECT_EQ(r.handle, 7u);
            seen.push_back({kind, std::vector<f32>(r.value, r.value + (kind - 1))});
        });
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].first, 2u);
        EXPECT_EQ(seen[1].first, 3u);
        EXPECT_EQ(seen[2].first, 4u);
        EXPECT_EQ(seen[2].second, (std::vector<f32>{1, 2, 3}));

        MaterialValueSet set(allocator);
        set.reserved = 9;
        set.handle = 3;
        set.flags = 4;
        set.shader = 77;
        set.values.push_back({0, 5, {1.5f}});
        set.extra[0] = 8;
        set.extra[1] = 9;
        MaterialValueSet copy(set);
        EXPECT_EQ(copy.reserved, 0u);
        EXPECT_EQ(copy.handle, 0xFFFFFFFFu);
        EXPECT_EQ(copy.flags, 0u);
        EXPECT_EQ(copy.shader, 77u);
        EXPECT_EQ(copy.values.size(), 1u);
        EXPECT_EQ(copy.extra[1], 9u);
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

// --- Viewports ---------------------------------------------------------------------------

std::string blob_of(const char *text)
{
    ConfigValue *root = create_config_root(default_allocator());
    parse_config_text(text, text + strlen(text), *root);
    u32 size = 0;
    void *blob = flatten_config(*root, default_allocator(), &size);
    std::string bytes(static_cast<const char *>(blob), size);
    default_allocator().deallocate(blob);
    destroy_config_root(root);
    return bytes;
}

TEST(ViewportTemplates, ReadDefaultsDebugTemplateAndLookup)
{
    TraceAllocator allocator("Viewports", default_allocator());
    {
        const std::string blob = blob_of(R"(
            default = { layer_config = "main" output_rt = "back_buffer" output_dst = "screen" }
            inset = { rect = [ 0.5 0 0.5 1 ] resources = [ { type = "render_target" name = "t" format = "R8G8B8A8" width = 8 height = 8 } ] }
            tvtech_debug = { layer_config = "other" }
        )");
        ViewportTemplates templates(allocator);
        test::LogCapture log(nullptr, true);
        EXPECT_FALSE(templates.load(ConstConfigValue::root(blob.data(), blob.size()), nullptr, RenderBranchValues{}, nullptr));
        EXPECT_TRUE(log.contains("is built in"));
        ASSERT_EQ(templates.count(), 3u);
        for (u32 i = 1; i < templates.count(); ++i)
            EXPECT_LT(templates.name_at(i - 1), templates.name_at(i)) << "sorted by name id";
        const ViewportTemplate *def = templates.find(id32("default"));
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->rect.x, 0.0f);
        EXPECT_EQ(def->rect.width, 1.0f);
        EXPECT_EQ(def->rect.height, 1.0f);
        EXPECT_EQ(def->rect.layer_config, id32("main"));
        EXPECT_EQ(def->rect.output_target, id32("back_buffer"));
        EXPECT_EQ(def->rect.output_destination, id32("screen"));
        EXPECT_EQ(def->resources.entries().size(), 0u) << "no resources: an empty set";
        const ViewportTemplate *debug = templates.find(id32("tvtech_debug"));
        ASSERT_NE(debug, nullptr);
        EXPECT_EQ(debug->rect.layer_config, id32("tvtech_debug")) << "the built-in one, not the configured one";
        EXPECT_EQ(debug->rect.output_target, id32("back_buffer"));
        EXPECT_EQ(templates.find(id32("nothing")), nullptr);

        const ViewportTemplate *inset = templates.find(id32("inset"));
        ASSERT_NE(inset, nullptr);
        EXPECT_EQ(inset->resources.entries().size(), 1u);
        RenderStateStream stream(allocator);
        GameViewport viewport(*inset, &stream);
        EXPECT_FLOAT_EQ(viewport.aspect_scale(1280.0f / 720.0f), 0.5f * 1280.0f / 720.0f);
        viewport.set_rect(0.25f, 0, 0.5f, 0);
        EXPECT_FLOAT_EQ(viewport.aspect_scale(1.5f), 1.5f) << "no height: the target's aspect";
        EXPECT_EQ(stream.size_bytes(), 0u) << "no handle yet: nothing sent";
        viewport.handle = 4;
        viewport.set_rect(0.1f, 0.2f, 0.3f, 0.4f);
        const Viewport device = viewport.device_rect();
        EXPECT_FLOAT_EQ(device.x, 0.1f);
        EXPECT_FLOAT_EQ(device.max_depth, 1.0f);
        RenderViewport twin(allocator, viewport);
        EXPECT_EQ(twin.resources.entries().size(), 1u) << "its own copy of the template's target";
        EXPECT_NE(twin.resources.entries()[0].resource, inset->resources.entries()[0].resource);
        u32 records = 0;
        for_each(stream, [&](u32 kind, const u8 *payload, u32 bytes) {
            ++records;
            EXPECT_EQ(kind, 0u);
            EXPECT_EQ(bytes, 24u);
            twin.apply_message(kind, payload, bytes);
        });
        EXPECT_EQ(records, 1u);
        EXPECT_FLOAT_EQ(twin.rect.y, 0.2f);
        EXPECT_FLOAT_EQ(twin.rect.height, 0.4f);
        twin.apply_message(0, nullptr, 8); // short: ignored
        EXPECT_FLOAT_EQ(twin.rect.height, 0.4f);
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

// --- Compilers ---------------------------------------------------------------------------

TEST(TextureCompiler, MipChainIsBoxFilteredBgra)
{
    // 2x2 RGBA: red, green, blue, white.
    const u8 rgba[16] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    u32 mips = 0;
    std::vector<u8> chain = build_bgra_mip_chain(rgba, 2, 2, &mips);
    EXPECT_EQ(mips, 2u);
    ASSERT_EQ(chain.size(), 20u);
    EXPECT_EQ((std::vector<u8>(chain.begin(), chain.begin() + 4)), (std::vector<u8>{0, 0, 255, 255})) << "B, G, R, A";
    EXPECT_EQ((std::vector<u8>(chain.begin() + 16, chain.end())), (std::vector<u8>{128, 128, 128, 255}));
    // A 5x1 image halves to 2x1 and 1x1.
    std::vector<u8> row(5 * 4, 100);
    chain = build_bgra_mip_chain(row.data(), 5, 1, &mips);
    EXPECT_EQ(mips, 3u);
    EXPECT_EQ(chain.size(), (5u + 2 + 1) * 4);
}

TEST(TextureCompiler, PngBecomesAReadableTexture)
{
    TraceAllocator allocator("TextureCompiler", default_allocator());
    std::string error;
    std::vector<u8> source, out;
    FILE *f = fopen(TALLOW_SOURCE_DIR "/data/textures/crate.png", "rb");
    ASSERT_NE(f, nullptr);
    u8 buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        source.insert(source.end(), buffer, buffer + n);
    fclose(f);
    ASSERT_TRUE(compile_texture_source("textures/crate.png", source, out, error)) << error;
    TextureImage *image = read_texture_image(out.data(), out.size(), allocator);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->description.width, 32u);
    EXPECT_EQ(image->description.mip_count, 6u) << "32 down to 1";
    EXPECT_EQ(image->description.format, 0u);
    destroy_texture_image(image);
    // A DDS source passes through when it is readable; other bytes are refused.
    std::vector<u8> passed;
    EXPECT_TRUE(compile_texture_source("t.dds", out, passed, error));
    EXPECT_EQ(passed, out);
    test::LogCapture log(nullptr, true);
    EXPECT_FALSE(compile_texture_source("t.png", std::vector<u8>(40, 1), passed, error));
    EXPECT_FALSE(compile_texture_source("t.dds", std::vector<u8>(40, 1), passed, error));
    EXPECT_FALSE(compile_texture_source("t.bmp", source, passed, error));
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

TEST(MaterialCompiler, SourceToResource)
{
    TraceAllocator allocator("MaterialCompiler", default_allocator());
    const char *text = R"(crate = {
        shader = "mesh"
        textures = { diffuse_map = "textures/crate" }
        values = { roughness = 0.5 tint = [1 0.8 0.6] uv = [2 2] }
    })";
    std::vector<u8> out;
    std::string error;
    ASSERT_TRUE(compile_material_source(text, strlen(text), out, error)) << error;
    MaterialResource *m = read_material_resource(out.data(), out.size(), allocator);
    ASSERT_NE(m, nullptr);
    const MaterialEntry *e = m->find(id32("crate"));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->shader_template, id32("mesh"));
    ASSERT_EQ(e->textures.size(), 1u);
    EXPECT_EQ(e->textures[0].channel, id32("diffuse_map"));
    EXPECT_EQ(e->textures[0].texture, NameId64("textures/crate").value());
    ASSERT_EQ(e->values.size(), 3u);
    EXPECT_EQ(e->values[1].kind, 2u);
    EXPECT_FLOAT_EQ(e->values[1].value[1], 0.8f);
    EXPECT_EQ(e->values[2].kind, 1u);
    destroy_material_resource(m);
    const struct {
        const char *text;
        const char *message;
    } bad[] = {
        {"a = { textures = {} }", "names no shader"},
        {"a = { shader = \"m\" colour = 1 }", "unknown key 'colour'"},
        {"a = { shader = \"m\" values = { v = [1 2 3 4] } }", "not a number or 2 or 3 numbers"},
        {"a = { shader = \"m\" textures = { d = 3 } }", "names no texture"},
        {"a = 5", "is not an object"},
    };
    for (const auto &b : bad) {
        error.clear();
        EXPECT_FALSE(compile_material_source(b.text, strlen(b.text), out, error)) << b.text;
        EXPECT_NE(error.find(b.message), std::string::npos) << error;
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

} // namespace
} // namespace tallow

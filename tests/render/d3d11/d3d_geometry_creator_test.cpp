// Vertex and index buffers, vertex declarations and the dynamic rings.
#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"
#include "render/commands/command_buffer.h"

#include <cstring>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

struct GeometryTest : D3DFixture {
    D3DGeometryCreator &geometry() { return manager->geometry_creator(); }
};

TEST_F(GeometryTest, DeclarationOffsetsRunPerStream)
{
    struct Case {
        const char *name;
        std::vector<VertexChannel> channels;
        std::vector<u32> offsets;
        std::vector<DXGI_FORMAT> formats;
    };
    const Case cases[] = {
        {"position then colour", {{0, 2, 0, 0, 0, {}}, {5, 4, 0, 0, 0, {}}}, {0, 12},
         {DXGI_FORMAT_R32G32B32_FLOAT, DXGI_FORMAT_R8G8B8A8_UNORM}},
        {"second stream starts at 0", {{0, 3, 0, 0, 0, {}}, {4, 1, 0, 1, 0, {}}, {4, 1, 1, 1, 0, {}}}, {0, 0, 8},
         {DXGI_FORMAT_R32G32B32A32_FLOAT, DXGI_FORMAT_R32G32_FLOAT, DXGI_FORMAT_R32G32_FLOAT}},
        {"integer types advance by their format", {{6, 5, 0, 0, 0, {}}, {7, 9, 0, 0, 0, {}}, {4, 0, 0, 0, 0, {}}},
         {0, 4, 16}, {DXGI_FORMAT_R16G16_SINT, DXGI_FORMAT_R32G32B32_SINT, DXGI_FORMAT_R32_FLOAT}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VertexDeclarationRecord record(default_allocator());
        ASSERT_TRUE(geometry().create_vertex_declaration(record, c.channels.data(), u32(c.channels.size())));
        ASSERT_EQ(record.elements.size(), c.offsets.size());
        for (u32 i = 0; i < record.elements.size(); ++i) {
            EXPECT_EQ(record.elements[i].AlignedByteOffset, c.offsets[i]) << i;
            EXPECT_EQ(record.elements[i].Format, c.formats[i]) << i;
            EXPECT_STREQ(record.elements[i].SemanticName, vertex_semantic_name(c.channels[i].semantic));
            EXPECT_EQ(record.elements[i].InputSlot, c.channels[i].stream);
        }
        geometry().release_vertex_declaration(record);
    }
    // Per-instance channels step once per instance.
    VertexChannel instanced{4, 3, 5, 2, 1, {}};
    VertexDeclarationRecord record(default_allocator());
    ASSERT_TRUE(geometry().create_vertex_declaration(record, &instanced, 1));
    EXPECT_EQ(record.elements[0].InputSlotClass, D3D11_INPUT_PER_INSTANCE_DATA);
    EXPECT_EQ(record.elements[0].InstanceDataStepRate, 1u);
    EXPECT_EQ(record.elements[0].SemanticIndex, 5u);
}

TEST_F(GeometryTest, DeclarationsPastTheTablesAreRefused)
{
    const VertexChannel bad[] = {
        {8, 0, 0, 0, 0, {}},  // semantic
        {0, 11, 0, 0, 0, {}}, // channel type with a size but no format
        {0, 0, 0, 16, 0, {}}, // stream
    };
    for (const VertexChannel &channel : bad) {
        VertexDeclarationRecord record(default_allocator());
        EXPECT_FALSE(geometry().create_vertex_declaration(record, &channel, 1));
        EXPECT_FALSE(record.valid);
    }
    VertexChannel many[17] = {};
    VertexDeclarationRecord record(default_allocator());
    EXPECT_FALSE(geometry().create_vertex_declaration(record, many, 17));
}

TEST_F(GeometryTest, BufferUpdatesRewriteInPlaceOrRemake)
{
    std::vector<u8> hundred(100 * 16, 1), fifty(50 * 16, 2), two_hundred(200 * 16, 3);
    BufferRecord record;
    ASSERT_TRUE(geometry().create_vertex_buffer(record, {0, 100, 16}, hundred.data()));
    ID3D11Buffer *first = record.object->buffer.get();
    geometry().update_vertex_buffer(immediate, record, {0, 50, 16}, fifty.data());
    EXPECT_EQ(record.object->buffer.get(), first);
    EXPECT_EQ(record.count, 100u);
    std::vector<u8> bytes = hl::headless_resource_bytes(first);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[50 * 16], 1);
    EXPECT_EQ(creates(hl::ObjectKind::buffer), 1u);
    geometry().update_vertex_buffer(immediate, record, {0, 200, 16}, two_hundred.data());
    EXPECT_EQ(record.count, 200u);
    EXPECT_EQ(creates(hl::ObjectKind::buffer), 2u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::buffer), 1u);
    // A smaller update with another stride keeps the buffer but takes the new stride.
    geometry().update_vertex_buffer(immediate, record, {0, 10, 32}, two_hundred.data());
    EXPECT_EQ(record.stride, 32u);
    geometry().release_buffer(record);
    EXPECT_FALSE(record.alive);

    // Count 0 makes no Direct3D buffer until data comes.
    BufferRecord empty;
    ASSERT_TRUE(geometry().create_vertex_buffer(empty, {0, 0, 12}, nullptr));
    ASSERT_NE(empty.object, nullptr);
    EXPECT_EQ(empty.object->buffer.get(), nullptr);
    geometry().update_vertex_buffer(immediate, empty, {0, 4, 12}, hundred.data());
    EXPECT_NE(empty.object->buffer.get(), nullptr);
    geometry().release_buffer(empty);

    // Index buffers: 16- and 32-bit formats; made even for count 0.
    BufferRecord i16, i32;
    geometry().create_index_buffer(i16, {0, 0, 0}, nullptr);
    geometry().create_index_buffer(i32, {0, 6, 1}, hundred.data());
    EXPECT_EQ(i16.index_format, DXGI_FORMAT_R16_UINT);
    EXPECT_EQ(i32.index_format, DXGI_FORMAT_R32_UINT);
    EXPECT_EQ(i32.capacity_bytes, 24u);
    geometry().release_buffer(i16);
    geometry().release_buffer(i32);

    // A CPU-side buffer is only a pointer; release marks it dead.
    BufferRecord cpu;
    geometry().create_vertex_buffer(cpu, {2, 3, 4}, hundred.data());
    EXPECT_TRUE(cpu.cpu_side);
    EXPECT_EQ(cpu.cpu_data, hundred.data());
    EXPECT_EQ(cpu.object, nullptr);
    geometry().release_buffer(cpu);
    EXPECT_FALSE(cpu.alive);
}

TEST_F(GeometryTest, RingsGrowRestartAndMapByTheRules)
{
    DynamicBufferRing ring(device, D3D11_BIND_VERTEX_BUFFER);
    std::vector<u8> a(48, 0xA), b(24, 0xB), c(200, 0xC);
    u32 at = 99;
    ASSERT_TRUE(ring.append(immediate, a.data(), 4, 12, at)); // grows to 48, DISCARD
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(ring.capacity(), 48u);
    ASSERT_TRUE(ring.append(immediate, b.data(), 1, 24, at)); // offset rounds 48 up to 48: grows
    EXPECT_EQ(ring.capacity(), 96u);                          // max(2 x 48, 0 + 24)
    EXPECT_EQ(at, 0u);
    ASSERT_TRUE(ring.append(immediate, a.data(), 2, 20, at)); // 24 rounds to 40; 40 + 40 fits
    EXPECT_EQ(at, 2u);
    EXPECT_EQ(ring.write_offset(), 80u);
    std::vector<u8> bytes = hl::headless_resource_bytes(ring.buffer());
    EXPECT_EQ(bytes[0], 0xB);
    EXPECT_EQ(bytes[40], 0xA);
    ASSERT_TRUE(ring.append(immediate, c.data(), 50, 4, at)); // needs 280: grows to 280
    EXPECT_EQ(ring.capacity(), 280u);
    EXPECT_EQ(at, 0u);

    std::vector<double> map_types;
    for (const hl::JournalEntry &e : hl::headless_journal(immediate))
        if (e.op == hl::ContextOp::map)
            map_types.push_back(e.args[1]);
    const std::vector<double> expected = {D3D11_MAP_WRITE_DISCARD, D3D11_MAP_WRITE_DISCARD,
                                          D3D11_MAP_WRITE_NO_OVERWRITE, D3D11_MAP_WRITE_DISCARD};
    EXPECT_EQ(map_types, expected);

    // The index ring takes a CPU-side record's element size from its format.
    DynamicBufferRing indices(device, D3D11_BIND_INDEX_BUFFER);
    const u16 tri[3] = {0, 1, 2};
    BufferRecord record;
    geometry().create_index_buffer(record, {2, 3, 0}, tri);
    ASSERT_TRUE(indices.append(immediate, record, at));
    EXPECT_EQ(indices.write_offset(), 6u);
    EXPECT_FALSE(ring.append(immediate, nullptr, 3, 4, at));
    EXPECT_FALSE(ring.append(immediate, a.data(), 0x40000000u, 16, at)); // past 32 bits
}

TEST_F(GeometryTest, ALayoutNotedTwiceKeepsOnePairAndOneReference)
{
    VertexDeclaration declaration;
    declaration.resource.handle = front->handle_pool().alloc_handle(render_handle_kind::vertex_declaration);
    declaration.channel_count = 1;
    declaration.channels[0] = {0, 2, 0, 0, 0, {}};
    {
        CommandBuffer stream(default_allocator(), 512);
        stream.write(u32(ResourceUpdate::CreateVertexDeclaration), &declaration, sizeof declaration);
        manager->process(stream);
    }
    const VertexDeclarationRecord *record = manager->vertex_declaration(declaration.resource.handle);
    ASSERT_NE(record, nullptr);
    const u8 code[] = {1, 2, 3};
    ID3D11VertexShader *vs = manager->caches().get_vertex_shader(code, sizeof code);
    for (int draw = 0; draw < 2; ++draw) {
        ID3D11InputLayout *layout =
            manager->caches().get_input_layout(code, sizeof code, record->elements.data(), record->elements.size());
        manager->note_input_layout(declaration.resource.handle, vs, layout);
    }
    EXPECT_EQ(record->layouts.size(), 1u);
    EXPECT_EQ(manager->caches().input_layout_users(record->layouts[0].layout), 1u);
    manager->release(RenderResourceType::VertexDeclaration, declaration.resource.handle);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::input_layout), 0u);
    manager->caches().release_vertex_shader(vs);
}

} // namespace
} // namespace tallow::render::d3d11::test

// Sorted render commands executed on a Direct3D context: the draw records they give
// (targets, viewports, states, stage resources, constant bytes), the calls the bound-state
// cache saves, and parallel dispatch over deferred contexts giving the serial result.
#include "tests/render/d3d11/d3d_device_fixture.h"

#include <algorithm>
#include <cstring>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

u32 count_ops(const std::vector<hl::JournalEntry> &journal, hl::ContextOp op)
{
    u32 n = 0;
    for (const hl::JournalEntry &entry : journal)
        n += entry.op == op;
    return n;
}

std::vector<u8> constants(f32 a, f32 b, f32 c, f32 d, RenderResourceHandle resource)
{
    std::vector<u8> bytes(20);
    const f32 values[4] = {a, b, c, d};
    memcpy(bytes.data(), values, 16);
    memcpy(bytes.data() + 16, &resource, 4);
    return bytes;
}

std::vector<u8> bytes_of(const std::vector<u8> &block, u32 size) { return {block.begin(), block.begin() + size}; }

struct ContextTest : DeviceTest {
    void SetUp() override
    {
        DeviceTest::SetUp();
        start();
        colour = make_target(0, 64, 32);
        depth = make_target(3, 64, 32);
        shader_handle = create_shader(shader);
        texture_handle = make_texture();
    }

    RenderResourceHandle make_texture()
    {
        texture = std::make_unique<Texture>(default_allocator());
        texture->description = {0, 0, 4, 4, 1, 1};
        submit([&](RenderResourceContext &c) { c.create_resource(texture.get()); });
        return texture->handle;
    }

    const RenderTargetRecord *record(const RenderTarget &target) const
    {
        return device->resource_manager()->render_target(target.handle);
    }

    std::vector<hl::JournalEntry> run(FrameWriter &frame)
    {
        hl::headless_clear_journal(device->immediate_context());
        device->execute_sorted(frame.entries.data(), frame.entries.size());
        return hl::headless_journal(device->immediate_context());
    }

    std::unique_ptr<RenderTarget> colour, depth;
    std::unique_ptr<Texture> texture;
    RenderResourceHandle shader_handle = invalid_render_handle;
    RenderResourceHandle texture_handle = invalid_render_handle;
};

TEST_F(ContextTest, FrameExecutesIntoExactDrawRecords)
{
    FrameWriter frame(default_allocator());
    frame.begin(0);
    frame.set_target(0, colour.get());
    frame.set_depth(depth.get());
    frame.viewports({{0.0f, 0.0f, 0.5f, 1.0f, 0.0f, 1.0f}});
    frame.clear(clear_flags::color | clear_flags::depth | clear_flags::stencil);
    frame.end();
    const std::vector<u8> first = constants(1, 2, 3, 4, texture_handle);
    const std::vector<u8> second = constants(5, 6, 7, 8, invalid_render_handle);
    frame.draw_entry(1, make_batch(shader_handle), {}, first);
    frame.draw_entry(9, make_batch(shader_handle), {}, second);
    const auto journal = run(frame);

    const auto draws = hl::headless_draws(device->immediate_context());
    ASSERT_EQ(draws.size(), 2u);
    const hl::DrawRecord &a = draws[0];
    EXPECT_EQ(a.op, hl::ContextOp::draw);
    EXPECT_EQ(a.vertex_count, 3u);
    EXPECT_EQ(a.render_targets[0], id_of(record(*colour)->linear_targets[0].get()));
    EXPECT_EQ(a.depth_stencil_view, id_of(record(*depth)->depth_targets[0].get()));
    ASSERT_EQ(a.viewports.size(), 1u);
    EXPECT_EQ(a.viewports[0], (std::array<f32, 6>{0, 0, 32, 32, 0, 1}));
    EXPECT_NE(a.rasterizer_state, 0u);
    EXPECT_NE(a.blend_state, 0u);
    const D3DShaderPass *pass = device->resource_manager()->shader(shader_handle)->pass(0);
    EXPECT_EQ(a.rasterizer_state, id_of(pass->rasterizer->state));
    EXPECT_EQ(pass->rasterizer->desc.CullMode, D3D11_CULL_NONE);
    const hl::StageSnapshot &pixel = a.stages[u32(hl::Stage::pixel)];
    EXPECT_EQ(pixel.shader, id_of(pass->stage(PassStage::pixel)->shader));
    EXPECT_EQ(pixel.constant_bytes[0], bytes_of(first, 16));
    EXPECT_EQ(pixel.resources[0], id_of(device->resource_manager()->texture(texture_handle)->linear_view.get()));
    EXPECT_EQ(a.topology, u32(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST));
    // The second draw rewrites the buffer and drops the view its block does not name.
    EXPECT_EQ(draws[1].stages[u32(hl::Stage::pixel)].constant_bytes[0], bytes_of(second, 16));
    EXPECT_EQ(draws[1].stages[u32(hl::Stage::pixel)].resources[0], 0u);

    // Redundant calls are not made: one pass, one set of targets, one state of each kind.
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_rasterizer_state), 1u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_blend_state), 1u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_depth_stencil_state), 1u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_render_targets), 1u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_primitive_topology), 1u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::map), 2u); // one per buffer per draw
    EXPECT_EQ(count_ops(journal, hl::ContextOp::clear_render_target_view), 1u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::clear_depth_stencil_view), 1u);
}

TEST_F(ContextTest, SettingTheSameTargetTwiceBindsOnceAndANewPassRebinds)
{
    FrameWriter frame(default_allocator());
    frame.begin(0);
    frame.set_target(0, colour.get());
    frame.set_target(0, colour.get());
    frame.end();
    frame.draw_entry(1, make_batch(shader_handle));
    frame.draw_entry(2, make_batch(shader_handle)); // pass 2: another pixel shader
    frame.draw_entry(3, make_batch(shader_handle)); // pass 3 does not exist: skipped
    frame.draw_entry(8, make_batch(shader_handle)); // pass 0: skipped
    const auto journal = run(frame);
    const auto draws = hl::headless_draws(device->immediate_context());
    ASSERT_EQ(draws.size(), 2u);
    EXPECT_NE(draws[0].stages[u32(hl::Stage::pixel)].shader, draws[1].stages[u32(hl::Stage::pixel)].shader);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_render_targets), 1u);
    // Both passes share their rasterizer state: set once although the pass changed.
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_rasterizer_state), 1u);
}

TEST_F(ContextTest, ViewportsAndScissorsAreFractionsOfTheTargetTruncated)
{
    struct Case {
        u32 width, height;
        Viewport viewport;
        std::array<f32, 6> expected;
        std::array<i32, 4> scissor;
    };
    const Case cases[] = {
        {1366, 768, {0.25f, 0.0f, 0.5f, 1.0f, 0.0f, 1.0f}, {341, 0, 683, 768, 0, 1}, {341, 0, 1024, 768}},
        {100, 50, {0.333f, 0.5f, 0.333f, 0.5f, 0.25f, 0.75f}, {33, 25, 33, 25, 0.25f, 0.75f}, {33, 25, 66, 50}},
    };
    for (const Case &c : cases) {
        auto target = make_target(0, c.width, c.height);
        FrameWriter frame(default_allocator());
        frame.begin(0);
        frame.set_target(0, target.get());
        frame.viewports({c.viewport});
        frame.scissors({{c.viewport.x, c.viewport.y, c.viewport.width, c.viewport.height}});
        frame.end();
        frame.draw_entry(1, make_batch(shader_handle));
        run(frame);
        const auto draws = hl::headless_draws(device->immediate_context());
        ASSERT_EQ(draws.size(), 1u);
        EXPECT_EQ(draws[0].viewports[0], c.expected);
        EXPECT_EQ(draws[0].scissors[0], c.scissor);
        submit([&](RenderResourceContext &rc) { rc.release_resource(target.get()); });
    }
}

TEST_F(ContextTest, ClearFlagsChooseColourDepthAndStencil)
{
    struct Case {
        u32 flags;
        u32 colour_clears;
        u32 depth_flags; // 0: no depth clear
    };
    const Case cases[] = {{1, 1, 0}, {2, 0, 1}, {4, 0, 2}, {6, 0, 3}, {7, 1, 3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        FrameWriter frame(default_allocator());
        frame.begin(0);
        frame.set_target(0, colour.get());
        frame.set_depth(depth.get());
        frame.clear(c.flags);
        frame.end();
        const auto journal = run(frame);
        EXPECT_EQ(count_ops(journal, hl::ContextOp::clear_render_target_view), c.colour_clears);
        u32 depth_flags = 0;
        for (const hl::JournalEntry &e : journal)
            if (e.op == hl::ContextOp::clear_depth_stencil_view)
                depth_flags = u32(e.args[0]);
        EXPECT_EQ(depth_flags, c.depth_flags);
    }
}

TEST_F(ContextTest, DrawCallsFollowIndexingInstancingAndPrimitiveKind)
{
    // A GPU index buffer of six 16-bit indices.
    static const u16 indices[6] = {0, 1, 2, 2, 1, 3};
    BufferDescription index_buffer{};
    index_buffer.resource.type = RenderResourceType::IndexBuffer;
    index_buffer.element_count = 6;
    index_buffer.element_size = 0;
    index_buffer.fill = [](void *destination, u32, u32 count) { memcpy(destination, indices, count * 2); };
    submit([&](RenderResourceContext &c) { c.create_resource(&index_buffer.resource); });
    ASSERT_NE(device->resource_manager()->index_buffer(index_buffer.resource.handle), nullptr);

    struct Case {
        bool indexed;
        u32 instances;
        u32 primitive_type;
        hl::ContextOp op;
        u32 count;    // vertices or indices per instance
        u32 topology;
    };
    const Case cases[] = {
        {false, 1, 0, hl::ContextOp::draw, 3, 4},
        {false, 4, 1, hl::ContextOp::draw_instanced, 3, 2},
        {true, 1, 0, hl::ContextOp::draw_indexed, 6, 4},  // 2 triangles x 3
        {true, 3, 1, hl::ContextOp::draw_indexed_instanced, 4, 2}, // 2 lines x 2
    };
    for (const Case &c : cases) {
        DrawBatchRecord batch = make_batch(shader_handle);
        batch.instance_count = c.instances;
        batch.primitive_type = c.primitive_type;
        batch.primitive_count = 2;
        batch.start_vertex = 5;
        batch.start_index = 1;
        std::vector<GeometryBinding> bindings;
        if (c.indexed)
            bindings.push_back({u32(RenderResourceType::IndexBuffer), index_buffer.resource.handle});
        FrameWriter frame(default_allocator());
        frame.draw_entry(1, batch, bindings);
        run(frame);
        const auto draws = hl::headless_draws(device->immediate_context());
        ASSERT_EQ(draws.size(), 1u);
        EXPECT_EQ(draws[0].op, c.op);
        EXPECT_EQ(draws[0].vertex_count, c.count);
        EXPECT_EQ(draws[0].instance_count, c.instances);
        EXPECT_EQ(draws[0].topology, c.topology);
        if (c.indexed) {
            EXPECT_EQ(draws[0].start, 1u);
            EXPECT_EQ(draws[0].base_vertex, 5);
            EXPECT_EQ(draws[0].index_format, DXGI_FORMAT_R16_UINT);
        } else {
            EXPECT_EQ(draws[0].start, 5u);
            EXPECT_EQ(draws[0].index_buffer, 0u); // a non-indexed draw leaves none bound
        }
    }
    submit([&](RenderResourceContext &c) { c.release_resource(&index_buffer.resource); });
}

TEST_F(ContextTest, PrimitiveCountZeroBindsButDrawsNothing)
{
    FrameWriter frame(default_allocator());
    DrawBatchRecord batch = make_batch(shader_handle);
    batch.primitive_count = 0;
    frame.draw_entry(1, batch, {}, constants(1, 1, 1, 1, invalid_render_handle));
    const auto journal = run(frame);
    EXPECT_TRUE(hl::headless_draws(device->immediate_context()).empty());
    EXPECT_EQ(count_ops(journal, hl::ContextOp::set_shader), 2u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::map), 1u);
}

TEST_F(ContextTest, CpuSideVerticesGoThroughTheRingAtStrideTimesPosition)
{
    Array<u8> vertices(default_allocator());
    vertices.resize(3 * 12);
    for (u32 i = 0; i < vertices.size(); ++i)
        vertices[i] = u8(i + 1);
    BufferDescription vb = make_vertex_buffer_resource(buffer_mode::cpu_memory, 3, 12, &vertices);
    submit([&](RenderResourceContext &c) { c.create_resource(&vb.resource); });
    const std::vector<GeometryBinding> bindings = {{u32(RenderResourceType::VertexBuffer), vb.resource.handle}};
    FrameWriter frame(default_allocator());
    frame.draw_entry(1, make_batch(shader_handle), bindings);
    frame.draw_entry(2, make_batch(shader_handle), bindings);
    run(frame); // the ring grows to hold the frame
    device->immediate_render_context()->begin_frame(); // as after a present
    const auto journal = run(frame);
    const auto draws = hl::headless_draws(device->immediate_context());
    ASSERT_EQ(draws.size(), 2u);
    EXPECT_EQ(draws[0].vertex_buffers[0].stride, 12u);
    EXPECT_EQ(draws[0].vertex_buffers[0].offset, 0u);
    EXPECT_EQ(draws[1].vertex_buffers[0].offset, 36u); // the second append lands after the first
    EXPECT_EQ(draws[0].vertex_buffers[0].buffer, draws[1].vertex_buffers[0].buffer);
    // The first append of the frame discards, the next one does not overwrite.
    std::vector<u64> map_types;
    for (const hl::JournalEntry &e : journal)
        if (e.op == hl::ContextOp::map && e.objects[0] == draws[0].vertex_buffers[0].buffer)
            map_types.push_back(e.args[1]);
    EXPECT_EQ(map_types, (std::vector<u64>{D3D11_MAP_WRITE_DISCARD, D3D11_MAP_WRITE_NO_OVERWRITE}));
    submit([&](RenderResourceContext &c) { c.release_resource(&vb.resource); });
}

TEST_F(ContextTest, VertexStridesReachTheRingWhole)
{
    // Strides of 42 and 57 bytes are also the numbers of the 32- and 16-bit index formats:
    // the stride must still decide how many bytes of each vertex go to the ring.
    const u32 strides[] = {4, 12, 16, 20, 41, 42, 56, 57, 64};
    for (u32 stride : strides) {
        SCOPED_TRACE(stride);
        Array<u8> vertices(default_allocator());
        vertices.resize(3 * stride);
        for (u32 i = 0; i < vertices.size(); ++i)
            vertices[i] = u8(i * 7 + stride);
        BufferDescription vb = make_vertex_buffer_resource(buffer_mode::cpu_memory, 3, stride, &vertices);
        submit([&](RenderResourceContext &c) { c.create_resource(&vb.resource); });
        const BufferRecord *record = device->resource_manager()->vertex_buffer(vb.resource.handle);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->element_size(), stride);
        FrameWriter frame(default_allocator());
        frame.draw_entry(1, make_batch(shader_handle), {{u32(RenderResourceType::VertexBuffer), vb.resource.handle}});
        device->immediate_render_context()->begin_frame();
        run(frame);
        const auto draws = hl::headless_draws(device->immediate_context());
        ASSERT_EQ(draws.size(), 1u);
        EXPECT_EQ(draws[0].vertex_buffers[0].stride, stride);
        EXPECT_EQ(draws[0].vertex_buffers[0].offset, 0u);
        const DynamicBufferRing &ring = device->immediate_render_context()->vertex_ring();
        EXPECT_EQ(ring.write_offset(), 3 * stride);
        ASSERT_NE(ring.buffer(), nullptr);
        const std::vector<u8> bytes = hl::headless_resource_bytes(ring.buffer());
        ASSERT_GE(bytes.size(), vertices.size());
        EXPECT_TRUE(std::equal(vertices.begin(), vertices.end(), bytes.begin()));
        submit([&](RenderResourceContext &c) { c.release_resource(&vb.resource); });
    }
}

TEST_F(ContextTest, DrawsWithoutTheirConstantsBindNoneOfThePreviousDrawsBytes)
{
    // The first draw of each frame fills the pixel stage's buffer and resource; the second
    // gives its constants in one of the ways below.
    std::vector<u8> whole = constants(5, 6, 7, 8, texture_handle);
    std::vector<u8> short_block(8, 0xEE); // the layout reads 16 bytes at offset 0
    struct Case {
        const char *name;
        u32 constants_offset;     // 0: the slot's block
        u32 constant_size_bytes;
        const std::vector<u8> *block;
        bool bound;               // the buffer is bound with the block's first 16 bytes
    };
    const Case cases[] = {
        {"a copy that runs past its record", u32(sizeof(DrawBatchRecord)), 64, nullptr, false},
        {"a copy that starts past its record", 4096, 16, nullptr, false},
        {"no constants at all", 0, 0, nullptr, false},
        {"the slot's block, shorter than the layout", 0, 8, &short_block, false},
        {"the slot's block, whole", 0, 20, &whole, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FrameWriter frame(default_allocator());
        frame.draw_entry(1, make_batch(shader_handle), {}, constants(1, 2, 3, 4, texture_handle));
        DrawBatchRecord batch = make_batch(shader_handle);
        batch.constants_offset = c.constants_offset;
        batch.constant_size_bytes = c.constant_size_bytes;
        batch.constant_block = c.block ? c.block->data() : nullptr;
        frame.draw_entry(9, batch);
        run(frame);
        const auto draws = hl::headless_draws(device->immediate_context());
        ASSERT_EQ(draws.size(), 2u);
        const hl::StageSnapshot &first = draws[0].stages[u32(hl::Stage::pixel)];
        const hl::StageSnapshot &pixel = draws[1].stages[u32(hl::Stage::pixel)];
        ASSERT_NE(first.constant_buffers[0], 0u);
        if (c.bound) {
            EXPECT_EQ(pixel.constant_buffers[0], first.constant_buffers[0]);
            EXPECT_EQ(pixel.constant_bytes[0], bytes_of(whole, 16));
            EXPECT_EQ(pixel.resources[0], first.resources[0]);
        } else {
            EXPECT_EQ(pixel.constant_buffers[0], 0u) << "left bound with the first draw's bytes";
            EXPECT_EQ(pixel.resources[0], 0u);
        }
    }
}

TEST_F(ContextTest, TargetsBoundInAnEarlierFrameAreLookedUpAgain)
{
    // Frame 1 binds a colour and a depth target and clears them.
    const auto frame_with = [&](bool set, u32 clear_flags_value, bool draw) {
        FrameWriter frame(default_allocator());
        frame.begin(0);
        if (set) {
            frame.set_target(0, colour.get());
            frame.set_depth(depth.get());
        }
        frame.clear(clear_flags_value);
        frame.end();
        if (draw)
            frame.draw_entry(9, make_batch(shader_handle));
        return run(frame);
    };
    colour->clear_color[1] = 0.5f;
    frame_with(true, clear_flags::color, true);

    // Between frames enough targets are made to move the manager's table, and the
    // colour target's front-end object is replaced by a copy (the old one is freed).
    std::vector<std::unique_ptr<RenderTarget>> more;
    for (u32 i = 0; i < 40; ++i)
        more.push_back(make_target(0, 8, 8));
    auto moved = std::make_unique<RenderTarget>(default_allocator());
    moved->description = colour->description;
    moved->window_index = colour->window_index;
    moved->handle = colour->handle;
    colour = std::move(moved);

    // Frame 2 begins with a clear of what frame 1 bound: the targets' current views.
    auto journal = frame_with(false, clear_flags::color | clear_flags::depth, true);
    const hl::JournalEntry *colour_clear = nullptr;
    const hl::JournalEntry *depth_clear = nullptr;
    for (const hl::JournalEntry &e : journal) {
        if (e.op == hl::ContextOp::clear_render_target_view)
            colour_clear = &e;
        if (e.op == hl::ContextOp::clear_depth_stencil_view)
            depth_clear = &e;
    }
    ASSERT_NE(colour_clear, nullptr);
    ASSERT_NE(depth_clear, nullptr);
    EXPECT_EQ(colour_clear->objects[0], id_of(record(*colour)->linear_targets[0].get()));
    EXPECT_EQ(depth_clear->objects[0], id_of(record(*depth)->depth_targets[0].get()));
    auto draws = hl::headless_draws(device->immediate_context());
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(draws[0].render_targets[0], id_of(record(*colour)->linear_targets[0].get()));

    // The colour target is released and its object freed; another target may take its
    // handle. Frame 3 clears nothing of it and draws into no colour target.
    submit([&](RenderResourceContext &rc) { rc.release_resource(colour.get()); });
    colour.reset();
    auto taker = make_target(0, 16, 16);
    journal = frame_with(false, clear_flags::color | clear_flags::depth, true);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::clear_render_target_view), 0u);
    EXPECT_EQ(count_ops(journal, hl::ContextOp::clear_depth_stencil_view), 1u);
    draws = hl::headless_draws(device->immediate_context());
    ASSERT_EQ(draws.size(), 1u);
    EXPECT_EQ(draws[0].render_targets[0], 0u);
    EXPECT_EQ(draws[0].depth_stencil_view, id_of(record(*depth)->depth_targets[0].get()));

    for (auto &target : more)
        submit([&](RenderResourceContext &rc) { rc.release_resource(target.get()); });
    submit([&](RenderResourceContext &rc) { rc.release_resource(taker.get()); });
}

// Names the first part of two draw records that differs.
std::string difference(const hl::DrawRecord &a, const hl::DrawRecord &b)
{
    if (a.render_targets != b.render_targets || a.depth_stencil_view != b.depth_stencil_view)
        return "targets";
    if (a.viewports != b.viewports || a.scissors != b.scissors)
        return "viewports or scissors";
    if (a.rasterizer_state != b.rasterizer_state || a.depth_stencil_state != b.depth_stencil_state ||
        a.blend_state != b.blend_state || a.stencil_ref != b.stencil_ref)
        return "pass states";
    for (u32 s = 0; s < 6; ++s) {
        const hl::StageSnapshot &x = a.stages[s], &y = b.stages[s];
        if (x.shader != y.shader)
            return "stage " + std::to_string(s) + " shader";
        if (x.resources != y.resources)
            return "stage " + std::to_string(s) + " resources";
        if (x.constant_buffers != y.constant_buffers || x.constant_bytes != y.constant_bytes)
            return "stage " + std::to_string(s) + " constant buffers";
        if (x.samplers != y.samplers)
            return "stage " + std::to_string(s) + " samplers";
    }
    if (a.vertex_buffers != b.vertex_buffers || a.index_buffer != b.index_buffer || a.input_layout != b.input_layout)
        return "geometry";
    return "counts or topology";
}

// A frame long enough for several ranges: segments that set targets, viewports and clears
// sit on both sides of range boundaries, one exactly at a range's first entry.
void write_long_frame(FrameWriter &frame, RenderTarget *a, RenderTarget *b, RenderTarget *depth,
                      RenderResourceHandle shader, RenderResourceHandle texture)
{
    const u32 total = 400; // ranges of 20 entries
    for (u32 i = 0; i < total; ++i) {
        const i64 key = i64(i) * 8;
        if (i % 47 == 0 || i == 40) {
            frame.begin(key);
            frame.set_target(0, (i / 47) % 2 ? b : a);
            frame.set_depth(i % 3 ? depth : nullptr);
            frame.viewports({{0.0f, 0.0f, 0.25f * f32(1 + (i % 4)), 1.0f, 0.0f, 1.0f}});
            frame.clear(clear_flags::color | (i % 3 ? clear_flags::depth : 0));
            frame.end();
            continue;
        }
        std::vector<u8> block(20);
        const f32 value = f32(i);
        memcpy(block.data(), &value, 4);
        const RenderResourceHandle resource = i % 5 == 0 ? texture : invalid_render_handle;
        memcpy(block.data() + 16, &resource, 4);
        frame.draw_entry(key | (1 + (i % 2)), make_batch(shader), {}, block);
    }
}

TEST_F(ContextTest, DeferredDispatchGivesTheSerialDraws)
{
    stop();
    start(4);
    colour = make_target(0, 64, 32);
    auto other = make_target(0, 64, 32);
    depth = make_target(3, 64, 32);
    shader_handle = create_shader(shader);
    texture_handle = make_texture();

    FrameWriter frame(default_allocator());
    write_long_frame(frame, colour.get(), other.get(), depth.get(), shader_handle, texture_handle);
    ID3D11DeviceContext *immediate = device->immediate_context();

    set_deferred(false);
    run(frame);
    const auto serial = hl::headless_draws(immediate);
    const auto serial_colour = hl::headless_resource_bytes(record(*other)->object->resource());
    EXPECT_EQ(hl::headless_create_count(hl::ObjectKind::deferred_context), 0u);

    set_deferred(true);
    for (u32 round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        run(frame);
        const auto deferred = hl::headless_draws(immediate);
        ASSERT_EQ(deferred.size(), serial.size());
        for (u32 i = 0; i < serial.size(); ++i)
            ASSERT_EQ(deferred[i], serial[i]) << "draw " << i << ": " << difference(deferred[i], serial[i]);
        EXPECT_EQ(hl::headless_resource_bytes(record(*other)->object->resource()), serial_colour);
        EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::command_list), 0u);
    }
    // 400 entries make 20 ranges; the pool keeps their contexts for the next frames.
    EXPECT_EQ(split_dispatch(400).range_count, 20u);
    EXPECT_EQ(hl::headless_create_count(hl::ObjectKind::deferred_context), 20u);
    EXPECT_EQ(device->deferred_pool_size(), 20u);

    // Switching back to serial starts from a clean cache: the serial draws again.
    set_deferred(false);
    run(frame);
    EXPECT_EQ(hl::headless_draws(immediate), serial);
}

TEST_F(ContextTest, DeferredDispatchOnADeviceKeepingNoTexelsOrJournal)
{
    // The benchmarks' device: calls are checked and nothing is kept. Buffers updated at the
    // frame's start (a CPU-side one, as particles have, and a GPU one) and drawn in every
    // range: the updates go ahead of the ranges and the frame is recorded on the workers.
    stop();
    hl::HeadlessConfig config = hl::default_headless_config();
    config.journal = false;
    config.keep_texels = false;
    start(4, &config);
    colour = make_target(0, 64, 32);
    auto other = make_target(0, 64, 32);
    depth = make_target(3, 64, 32);
    shader_handle = create_shader(shader);
    texture_handle = make_texture();
    Array<u8> vertices(default_allocator()), initial(default_allocator());
    vertices.resize(3 * 12);
    initial.resize(3 * 12);
    BufferDescription cpu_side = make_vertex_buffer_resource(buffer_mode::cpu_memory, 3, 12, &vertices);
    BufferDescription gpu = make_vertex_buffer_resource(buffer_mode::gpu, 3, 12, &initial);
    submit([&](RenderResourceContext &rc) {
        rc.create_resource(&cpu_side.resource);
        rc.create_resource(&gpu.resource);
    });

    FrameWriter frame(default_allocator());
    frame.begin(-8, false);
    frame.update_buffer(cpu_side, vertices.data());
    BufferDescription grown = gpu;
    grown.element_count = 6;
    std::vector<u8> grown_bytes(72, 5);
    frame.update_buffer(grown, grown_bytes.data());
    frame.end();
    write_long_frame(frame, colour.get(), other.get(), depth.get(), shader_handle, texture_handle);
    const std::vector<GeometryBinding> bindings[2] = {{{u32(RenderResourceType::VertexBuffer), cpu_side.resource.handle}},
                                                      {{u32(RenderResourceType::VertexBuffer), gpu.resource.handle}}};
    for (u32 i = 0; i < 100; ++i)
        frame.draw_entry(i64(400 + i) * 8 + 1, make_batch(shader_handle), bindings[i % 2]);

    set_deferred(true);
    for (u32 round = 0; round < 3; ++round)
        run(frame);
    EXPECT_EQ(device->deferred_dispatch_count(), 3u);
    EXPECT_EQ(device->serial_fallback_count(), 0u);
    EXPECT_TRUE(hl::headless_diagnostics().empty());
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::command_list), 0u);
    const BufferRecord *record = device->resource_manager()->vertex_buffer(gpu.resource.handle);
    ASSERT_TRUE(record && record->object && record->object->buffer);
    D3D11_BUFFER_DESC desc{};
    record->object->buffer->GetDesc(&desc);
    EXPECT_EQ(desc.ByteWidth, 72u) << "the update made the buffer again at its new size";
    EXPECT_TRUE(hl::headless_resource_bytes(record->object->buffer.get()).empty());
    submit([&](RenderResourceContext &rc) {
        rc.release_resource(&cpu_side.resource);
        rc.release_resource(&gpu.resource);
    });
}

// The draws with each vertex buffer named by the order it first appears in, so frames
// whose buffers were made again compare equal when they bound the same buffers alike.
std::vector<hl::DrawRecord> with_buffer_ranks(std::vector<hl::DrawRecord> draws)
{
    std::vector<u64> seen;
    for (hl::DrawRecord &draw : draws) {
        for (hl::VertexBufferSlot &slot : draw.vertex_buffers) {
            if (!slot.buffer)
                continue;
            auto found = std::find(seen.begin(), seen.end(), slot.buffer);
            if (found == seen.end())
                found = seen.insert(seen.end(), slot.buffer);
            slot.buffer = u64(found - seen.begin()) + 1;
        }
    }
    return draws;
}

u32 executed_lists(const std::vector<hl::JournalEntry> &journal)
{
    return count_ops(journal, hl::ContextOp::execute_command_list);
}

struct DeferredContextTest : ContextTest {
    void SetUp() override
    {
        ContextTest::SetUp();
        stop();
        start(4);
        colour = make_target(0, 64, 32);
        depth = make_target(3, 64, 32);
        shader_handle = create_shader(shader);
        texture_handle = make_texture();
    }
};

TEST_F(DeferredContextTest, BufferUpdatesGiveTheSerialFrame)
{
    // A GPU vertex buffer of 3 x 12 bytes given new contents during the frame: made again
    // larger (6 x 12), rewritten in place with another stride (3 x 16), made again (10 x 12).
    Array<u8> initial(default_allocator());
    initial.resize(36);
    memset(initial.data(), 1, initial.size());
    std::vector<u8> grown(72), restrided(48), regrown(120);
    for (u32 i = 0; i < regrown.size(); ++i) {
        if (i < grown.size())
            grown[i] = u8(i);
        if (i < restrided.size())
            restrided[i] = u8(100 + i);
        regrown[i] = u8(200 - i);
    }
    struct Update {
        u32 entry, count, stride;
        const std::vector<u8> *bytes;
        bool remade; // the buffer is made again at the new size
    };
    // An update in place leaves the bytes it does not reach as they were.
    std::vector<u8> restrided_over_grown = grown;
    std::copy(restrided.begin(), restrided.end(), restrided_over_grown.begin());
    struct Case {
        const char *name;
        std::vector<Update> updates;
        u32 first_draw, end_draw; // entries whose draw uses the buffer
        const std::vector<u8> *final_bytes;
        bool in_ranges; // recorded on deferred contexts, or executed serially
    };
    const Case cases[] = {
        {"updated in three ranges, drawn by every entry",
         {{45, 6, 12, &grown, true}, {130, 3, 16, &restrided, false}, {300, 10, 12, &regrown, true}}, 1, 400,
         &regrown, false},
        {"updated twice in one range, drawn only there",
         {{45, 6, 12, &grown, true}, {50, 3, 16, &restrided, false}}, 41, 60, &restrided_over_grown, true},
        // No draw before the last update: the updates are made ahead of the ranges.
        {"updated once, drawn from that entry on in every later range", {{45, 6, 12, &grown, true}}, 45, 400,
         &grown, true},
        {"updated in two ranges, drawn only after both",
         {{45, 6, 12, &grown, true}, {130, 3, 16, &restrided, false}}, 131, 400, &restrided_over_grown, true},
        {"updated after its last draw in an earlier range", {{300, 10, 12, &regrown, true}}, 1, 250, &regrown,
         false},
    };
    BufferDescription vb = make_vertex_buffer_resource(buffer_mode::gpu, 3, 12, &initial);

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Every frame starts from the buffer as first made. The other entries draw with no
        // geometry.
        const auto run_fresh = [&] {
            submit([&](RenderResourceContext &rc) { rc.create_resource(&vb.resource); });
            FrameWriter frame(default_allocator());
            frame.begin(0);
            frame.set_target(0, colour.get());
            frame.viewports({{0, 0, 1, 1, 0, 1}});
            frame.end();
            const std::vector<GeometryBinding> bindings = {
                {u32(RenderResourceType::VertexBuffer), vb.resource.handle}};
            for (u32 i = 1; i < 400; ++i) {
                frame.begin(i64(i) * 8 + 1, false);
                for (const Update &u : c.updates) {
                    if (u.entry != i)
                        continue;
                    BufferDescription next = vb;
                    next.element_count = u.count;
                    next.element_size = u.stride;
                    frame.update_buffer(next, u.bytes->data());
                }
                const bool drawn = i >= c.first_draw && i < c.end_draw;
                frame.draw(make_batch(shader_handle), drawn ? bindings : std::vector<GeometryBinding>{});
                frame.end();
            }
            const auto journal = run(frame);
            const BufferRecord *record = device->resource_manager()->vertex_buffer(vb.resource.handle);
            std::vector<u8> bytes;
            if (record && record->object)
                bytes = hl::headless_resource_bytes(record->object->buffer.get());
            submit([&](RenderResourceContext &rc) { rc.release_resource(&vb.resource); });
            return std::make_pair(executed_lists(journal), bytes);
        };

        set_deferred(false);
        const auto serial_bytes = run_fresh().second;
        const auto serial = with_buffer_ranks(hl::headless_draws(device->immediate_context()));
        ASSERT_EQ(serial.size(), 399u);
        EXPECT_EQ(serial_bytes, *c.final_bytes);
        // Each draw sees the buffer and stride of the last update before it (buffers ranked
        // from the one the first draw binds).
        u64 first_buffer = 0;
        for (const Update &u : c.updates)
            first_buffer += u.entry <= c.first_draw && u.remade;
        for (u32 i = c.first_draw; i < c.end_draw; ++i) {
            u32 stride = 12;
            u64 buffer = 1 - first_buffer;
            for (const Update &u : c.updates) {
                if (u.entry <= i) {
                    stride = u.stride;
                    buffer += u.remade;
                }
            }
            ASSERT_EQ(serial[i - 1].vertex_buffers[0].stride, stride) << "entry " << i;
            ASSERT_EQ(serial[i - 1].vertex_buffers[0].buffer, buffer) << "entry " << i;
        }

        set_deferred(true);
        for (u32 round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            const u32 deferred_before = device->deferred_dispatch_count();
            const u32 serial_before = device->serial_fallback_count();
            const auto [lists, bytes] = run_fresh();
            EXPECT_EQ(lists != 0, c.in_ranges);
            EXPECT_EQ(device->deferred_dispatch_count() - deferred_before, c.in_ranges ? 1u : 0u);
            EXPECT_EQ(device->serial_fallback_count() - serial_before, c.in_ranges ? 0u : 1u);
            const auto deferred = with_buffer_ranks(hl::headless_draws(device->immediate_context()));
            ASSERT_EQ(deferred.size(), serial.size());
            for (u32 i = 0; i < serial.size(); ++i)
                ASSERT_EQ(deferred[i], serial[i]) << "draw " << i << ": " << difference(deferred[i], serial[i]);
            EXPECT_EQ(bytes, serial_bytes);
        }
    }
}

TEST_F(DeferredContextTest, CopyCountsAcrossRangesGiveTheSerialCopies)
{
    // Every draw reads the colour target it draws into, so each one asks for the target's
    // copy; the copy counter set by segments decides how many copies are refreshed.
    struct Case {
        const char *name;
        std::vector<std::pair<u32, i32>> counters; // entry, copy counter set there
        u32 copies;
        bool in_ranges; // recorded on deferred contexts, or executed serially
    };
    const Case cases[] = {
        {"unlimited", {{0, -1}}, 399, true},
        {"none", {{0, 0}}, 0, true},
        {"two, crossing every range boundary", {{0, 2}}, 2, false},
        {"two, then three more from a later range", {{0, 2}, {210, 3}}, 5, false},
        {"three, spent before the next range, then unlimited", {{0, 3}, {20, -1}}, 3 + 379, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FrameWriter frame(default_allocator());
        for (u32 i = 0; i < 400; ++i) {
            const i64 key = i64(i) * 8;
            bool set = false;
            for (const auto &[entry, counter] : c.counters) {
                if (entry != i)
                    continue;
                frame.begin(key);
                frame.set_target(0, colour.get());
                frame.resolve_count(counter);
                frame.end();
                set = true;
            }
            if (!set)
                frame.draw_entry(key | 1, make_batch(shader_handle), {}, constants(1, 2, 3, 4, colour->handle));
        }
        set_deferred(false);
        const auto serial_journal = run(frame);
        const auto serial = hl::headless_draws(device->immediate_context());
        set_deferred(true);
        const auto deferred_journal = run(frame);
        const auto deferred = hl::headless_draws(device->immediate_context());
        EXPECT_EQ(count_ops(serial_journal, hl::ContextOp::copy_resource), c.copies);
        EXPECT_EQ(count_ops(deferred_journal, hl::ContextOp::copy_resource), c.copies);
        EXPECT_EQ(executed_lists(deferred_journal) != 0, c.in_ranges);
        ASSERT_EQ(deferred.size(), serial.size());
        for (u32 i = 0; i < serial.size(); ++i)
            ASSERT_EQ(deferred[i], serial[i]) << "draw " << i << ": " << difference(deferred[i], serial[i]);
    }
}

TEST(DispatchSplit, RangeSizesAndCounts)
{
    struct Case {
        u32 n, size, count;
    };
    const Case cases[] = {{0, 0, 0}, {15, 20, 1}, {20, 20, 1}, {21, 20, 2}, {400, 20, 20}, {1000, 50, 20},
                          {1001, 50, 21}, {50000, 2500, 20}};
    for (const Case &c : cases) {
        const DispatchSplit split = split_dispatch(c.n);
        EXPECT_EQ(split.range_size, c.size) << c.n;
        EXPECT_EQ(split.range_count, c.count) << c.n;
    }
}

TEST(BufferUpdatesCrossRanges, AnUpdatedBufferNamedByAnotherRange)
{
    // 100 entries in ranges of 20; each entry draws once, with at most one buffer.
    const RenderResourceHandle v = 0x05000001, w = 0x05000002, index = 0x06000003;
    struct Use {
        u32 first, end;
        RenderResourceHandle handle;
    };
    struct Case {
        const char *name;
        std::vector<std::pair<u32, RenderResourceHandle>> updates; // entry, buffer
        std::vector<Use> draws;
        bool crossed;
    };
    const Case cases[] = {
        {"updated and drawn in one range", {{25, v}, {30, v}}, {{21, 40, v}}, false},
        {"drawn in a later range", {{25, v}}, {{45, 46, v}}, true},
        {"drawn in an earlier range", {{25, v}}, {{5, 6, v}}, true},
        {"updated in two ranges, never drawn", {{25, v}, {65, v}}, {}, true},
        {"updated in two ranges, each its own buffer", {{25, v}, {65, w}}, {{20, 40, v}, {60, 80, w}}, false},
        {"another buffer drawn everywhere", {{25, v}}, {{0, 100, w}}, false},
        {"an index buffer drawn in another range", {{3, index}}, {{90, 91, index}}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FrameWriter frame(default_allocator());
        for (u32 i = 0; i < 100; ++i) {
            frame.begin(i64(i), false);
            for (const auto &[entry, handle] : c.updates) {
                if (entry != i)
                    continue;
                BufferDescription update = make_vertex_buffer_resource(buffer_mode::gpu, 3, 12, nullptr);
                update.resource.type =
                    handle == index ? RenderResourceType::IndexBuffer : RenderResourceType::VertexBuffer;
                update.resource.handle = handle;
                frame.update_buffer(update, nullptr);
            }
            std::vector<GeometryBinding> bindings;
            for (const Use &use : c.draws)
                if (i >= use.first && i < use.end)
                    bindings.push_back({u32(use.handle == index ? RenderResourceType::IndexBuffer
                                                                : RenderResourceType::VertexBuffer),
                                        use.handle});
            frame.draw(make_batch(1), bindings);
            frame.end();
        }
        EXPECT_EQ(buffer_updates_cross_ranges(frame.entries.data(), 100, 20), c.crossed);
        // One range holds every entry: nothing to cross.
        EXPECT_FALSE(buffer_updates_cross_ranges(frame.entries.data(), 100, 100));
    }
}

TEST(TrackTargetState, LaterCommandsWinAndOtherCommandsAreIgnored)
{
    FrameWriter frame(default_allocator());
    RenderTarget a(default_allocator()), b(default_allocator());
    frame.begin(0);
    frame.set_target(0, &a);
    frame.set_target(3, &b);
    frame.viewports({{0, 0, 0.5f, 0.5f, 0, 1}, {0.5f, 0.5f, 0.5f, 0.5f, 0, 1}});
    frame.resolve_count(2);
    frame.clear(7);
    frame.set_target(0, nullptr);
    frame.end();
    ContextTargetState state;
    track_target_state(state, frame.entries[0]);
    EXPECT_EQ(state.colour[0], nullptr);
    EXPECT_EQ(state.colour[3], &b);
    EXPECT_EQ(state.viewport_count, 2u);
    EXPECT_FLOAT_EQ(state.viewports[1].x, 0.5f);
    EXPECT_EQ(state.scissor_count, 1u);
    EXPECT_EQ(state.copy_counter, 2);
}

} // namespace
} // namespace tallow::render::d3d11::test

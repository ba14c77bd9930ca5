// The resource manager over the headless layer: update streams written by the front end
// make, update and release textures, every kind of render target and back buffers with
// exact descriptions and views; bad records are skipped; nothing outlives the manager.
#include "tests/render/d3d11/d3d_test_fixture.h"

#include "foundation/memory/memory_globals.h"
#include "render/commands/command_buffer.h"
#include "render/d3d11/texture_format.h"

#include <algorithm>
#include <cstring>

namespace tallow::render::d3d11::test {
namespace {

namespace hl = tallow::d3d11;

struct ManagerTest : D3DFixture {};

std::vector<u8> bytes_of(ID3D11Resource *resource, u32 subresource = 0)
{
    return hl::headless_resource_bytes(resource, subresource);
}

D3D11_TEXTURE2D_DESC texture_desc(const D3DResource *object)
{
    D3D11_TEXTURE2D_DESC desc{};
    static_cast<ID3D11Texture2D *>(object->resource())->GetDesc(&desc);
    return desc;
}

D3D11_SHADER_RESOURCE_VIEW_DESC view_desc(ID3D11ShaderResourceView *view)
{
    D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
    view->GetDesc(&desc);
    return desc;
}

TEST_F(ManagerTest, TextureIsMadeSwappedUpdatedAndReleased)
{
    // 2 x 1 texels stored B, G, R, A; the device wants R, G, B, A.
    const u8 pixels[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Texture texture(default_allocator());
    texture.description = {0, 0, 2, 1, 1, 1};
    texture.data.push_back(pixels);
    Texture twin(default_allocator());
    twin.description = texture.description;
    twin.data.push_back(pixels);
    ProcessResult result = submit([&](RenderResourceContext &c) {
        c.create_resource(&texture);
        c.create_resource(&twin);
    });
    EXPECT_EQ(result.executed, 2u);
    EXPECT_EQ(result.skipped, 0u);

    const TextureRecord *record = manager->texture(texture.handle);
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record->object, nullptr);
    EXPECT_TRUE(record->valid);
    EXPECT_EQ(record->byte_size, 8u);
    D3D11_TEXTURE2D_DESC desc = texture_desc(record->object);
    EXPECT_EQ(desc.Width, 2u);
    EXPECT_EQ(desc.Height, 1u);
    EXPECT_EQ(desc.MipLevels, 1u);
    EXPECT_EQ(desc.ArraySize, 1u);
    EXPECT_EQ(desc.Format, DXGI_FORMAT_R8G8B8A8_TYPELESS);
    EXPECT_EQ(desc.BindFlags, u32(D3D11_BIND_SHADER_RESOURCE));
    EXPECT_EQ(desc.MiscFlags, 0u);
    ASSERT_TRUE(record->linear_view && record->srgb_view);
    EXPECT_NE(record->linear_view.get(), record->srgb_view.get());
    EXPECT_EQ(view_desc(record->linear_view.get()).Format, DXGI_FORMAT_R8G8B8A8_UNORM);
    EXPECT_EQ(view_desc(record->srgb_view.get()).Format, DXGI_FORMAT_R8G8B8A8_UNORM_SRGB);
    EXPECT_EQ(view_desc(record->linear_view.get()).ViewDimension, D3D11_SRV_DIMENSION_TEXTURE2D);

    // Both textures hold R, G, B, A: the caller's bytes were not swapped in place.
    const std::vector<u8> expected = {3, 2, 1, 4, 7, 6, 5, 8};
    EXPECT_EQ(bytes_of(record->object->resource()), expected);
    EXPECT_EQ(bytes_of(manager->texture(twin.handle)->object->resource()), expected);
    EXPECT_EQ(pixels[0], 1);

    // Command 3 rewrites mip 0 on the given context.
    const u8 fresh[8] = {9, 9, 9, 9, 8, 8, 8, 8};
    u8 payload[sizeof(UpdateTexture) + sizeof(const void *)];
    UpdateTexture update;
    update.handle = texture.handle;
    update.description = texture.description;
    update.data_count = 1;
    update.data_offset = sizeof(UpdateTexture);
    const void *fresh_pointer = fresh;
    memcpy(payload, &update, sizeof update);
    memcpy(payload + sizeof update, &fresh_pointer, sizeof fresh_pointer);
    manager->update_resource(immediate, u32(RenderCommand::UpdateTexture), payload, sizeof payload);
    EXPECT_EQ(bytes_of(record->object->resource()), std::vector<u8>(fresh, fresh + 8));

    submit([&](RenderResourceContext &c) {
        c.release_resource(&texture);
        c.release_resource(&twin);
    });
    EXPECT_EQ(manager->live_count(RenderResourceType::Texture), 0u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::texture2d), 0u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::shader_resource_view), 0u);
}

struct TargetCase {
    const char *name;
    u32 format;
    u32 image_type;
    u32 slices;
    bool multisampled;
    D3D_FEATURE_LEVEL level;
    u32 bind_flags;
    u32 depth_views;
    u32 target_views; // per array (linear and sRGB)
    bool separate_srgb;
    bool unordered;
    D3D11_SRV_DIMENSION view_dimension;
    u32 object_dimension;
};

const TargetCase target_cases[] = {
    {"colour", 0, 0, 1, false, D3D_FEATURE_LEVEL_11_0, 0xA8, 0, 1, true, true, D3D11_SRV_DIMENSION_TEXTURE2D, 4},
    {"colour on 10_0", 0, 0, 1, false, D3D_FEATURE_LEVEL_10_0, 0x28, 0, 1, true, false,
     D3D11_SRV_DIMENSION_TEXTURE2D, 4},
    {"R32F shares one view", 1, 0, 1, false, D3D_FEATURE_LEVEL_11_0, 0xA8, 0, 1, false, true,
     D3D11_SRV_DIMENSION_TEXTURE2D, 4},
    {"depth of 4 slices", 3, 0, 4, false, D3D_FEATURE_LEVEL_11_0, 0x48, 4, 0, false, false,
     D3D11_SRV_DIMENSION_TEXTURE2DARRAY, 5},
    {"shadow map", 10, 0, 1, false, D3D_FEATURE_LEVEL_11_0, 0x48, 1, 0, false, false,
     D3D11_SRV_DIMENSION_TEXTURE2D, 4},
    {"multisampled HDR", 11, 0, 1, true, D3D_FEATURE_LEVEL_11_0, 0x28, 0, 1, false, false,
     D3D11_SRV_DIMENSION_TEXTURE2DMS, 4},
    {"colour array", 0, 0, 3, false, D3D_FEATURE_LEVEL_11_0, 0xA8, 0, 3, true, true,
     D3D11_SRV_DIMENSION_TEXTURE2DARRAY, 5},
    {"cube", 11, 2, 6, false, D3D_FEATURE_LEVEL_11_0, 0xA8, 0, 6, false, true, D3D11_SRV_DIMENSION_TEXTURECUBE, 9},
};

TEST(RenderTargetKinds, EveryFormatGetsItsViews)
{
    for (const TargetCase &c : target_cases) {
        SCOPED_TRACE(c.name);
        struct Run : D3DFixture {
            void TestBody() override {}
        } run;
        run.start(c.level);
        RenderTarget target(default_allocator());
        target.window_index = 0; // an instance, not a template
        target.description = {c.format, c.image_type, 64, 64, c.slices, 1};
        target.array_size = c.slices;
        target.multisampled = c.multisampled;
        target.sample_count = c.multisampled ? 4 : 1;
        run.submit([&](RenderResourceContext &ctx) { ctx.create_resource(&target); });
        const RenderTargetRecord *record = run.manager->render_target(target.handle);
        ASSERT_NE(record, nullptr);
        ASSERT_NE(record->object, nullptr);
        EXPECT_TRUE(record->alive);
        EXPECT_EQ(record->is_depth, c.depth_views > 0);
        D3D11_TEXTURE2D_DESC desc = texture_desc(record->object);
        EXPECT_EQ(desc.BindFlags, c.bind_flags);
        EXPECT_EQ(desc.Format, typeless_format(c.format));
        EXPECT_EQ(desc.ArraySize, c.slices);
        EXPECT_EQ(desc.SampleDesc.Count, c.multisampled ? 4u : 1u);
        EXPECT_EQ(desc.MiscFlags, c.image_type == 2 ? u32(D3D11_RESOURCE_MISC_TEXTURECUBE) : 0u);
        EXPECT_EQ(record->object->view_dimension, c.object_dimension);
        EXPECT_EQ(record->depth_targets.size(), c.depth_views);
        EXPECT_EQ(record->linear_targets.size(), c.target_views);
        EXPECT_EQ(record->srgb_targets.size(), c.target_views);
        for (u32 i = 0; i < record->depth_targets.size(); ++i) {
            D3D11_DEPTH_STENCIL_VIEW_DESC d{};
            record->depth_targets[i]->GetDesc(&d);
            EXPECT_EQ(d.Format, depth_view_format(typeless_format(c.format)));
            if (c.slices > 1) {
                EXPECT_EQ(d.ViewDimension, D3D11_DSV_DIMENSION_TEXTURE2DARRAY);
                EXPECT_EQ(d.Texture2DArray.FirstArraySlice, i);
                EXPECT_EQ(d.Texture2DArray.ArraySize, 1u);
            }
        }
        for (u32 i = 0; i < record->linear_targets.size(); ++i) {
            ASSERT_TRUE(record->linear_targets[i] && record->srgb_targets[i]);
            EXPECT_EQ(record->linear_targets[i].get() != record->srgb_targets[i].get(), c.separate_srgb);
            D3D11_RENDER_TARGET_VIEW_DESC d{};
            record->linear_targets[i]->GetDesc(&d);
            EXPECT_EQ(d.Format, view_format(c.format, false));
            if (c.slices > 1) {
                EXPECT_EQ(d.ViewDimension, D3D11_RTV_DIMENSION_TEXTURE2DARRAY);
                EXPECT_EQ(d.Texture2DArray.FirstArraySlice, i);
            } else {
                EXPECT_EQ(d.ViewDimension,
                          c.multisampled ? D3D11_RTV_DIMENSION_TEXTURE2DMS : D3D11_RTV_DIMENSION_TEXTURE2D);
            }
        }
        ASSERT_TRUE(record->linear_view && record->srgb_view);
        EXPECT_EQ(record->linear_view.get() != record->srgb_view.get(), c.separate_srgb);
        EXPECT_EQ(view_desc(record->linear_view.get()).ViewDimension, c.view_dimension);
        EXPECT_EQ(bool(record->unordered_view), c.unordered);
        if (c.unordered && c.slices > 1) {
            D3D11_UNORDERED_ACCESS_VIEW_DESC u{};
            record->unordered_view->GetDesc(&u);
            EXPECT_EQ(u.Texture2DArray.FirstArraySlice, 0u); // the whole array
            EXPECT_EQ(u.Texture2DArray.ArraySize, c.slices);
        }
        // A new target is cleared once: depth to 1 and stencil 0, colour to zero.
        auto journal = hl::headless_journal(run.immediate);
        ASSERT_EQ(journal.size(), 1u);
        EXPECT_EQ(journal[0].op, c.depth_views ? hl::ContextOp::clear_depth_stencil_view
                                               : hl::ContextOp::clear_render_target_view);
        run.submit([&](RenderResourceContext &ctx) { ctx.release_resource(&target); });
        EXPECT_EQ(run.live_children(), 0u);
        run.stop();
    }
}

TEST_F(ManagerTest, BufferTargetIsAStructuredBuffer)
{
    RenderTarget target(default_allocator());
    target.window_index = 0;
    target.description = {texture_format_buffer_32f, 0, 256, 4, 1, 1};
    submit([&](RenderResourceContext &c) { c.create_resource(&target); });
    const RenderTargetRecord *record = manager->render_target(target.handle);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->byte_size, 4096u);
    D3D11_BUFFER_DESC desc{};
    static_cast<ID3D11Buffer *>(record->object->resource())->GetDesc(&desc);
    EXPECT_EQ(desc.ByteWidth, 4096u);
    EXPECT_EQ(desc.BindFlags, 0x88u);
    EXPECT_EQ(desc.MiscFlags, u32(D3D11_RESOURCE_MISC_BUFFER_STRUCTURED));
    EXPECT_EQ(desc.StructureByteStride, 4u);
    EXPECT_EQ(view_desc(record->linear_view.get()).Buffer.NumElements, 1024u);
    D3D11_UNORDERED_ACCESS_VIEW_DESC u{};
    record->unordered_view->GetDesc(&u);
    EXPECT_EQ(u.ViewDimension, D3D11_UAV_DIMENSION_BUFFER);
    EXPECT_EQ(u.Buffer.NumElements, 1024u);
    EXPECT_TRUE(record->linear_targets.empty());
}

TEST_F(ManagerTest, WindowTargetsFollowTheBackBufferThroughAResize)
{
    const u32 window = add_swap_chain(1280, 720);
    BackBufferWrapper back_buffer(default_allocator(), window);
    back_buffer.handle = front->handle_pool().alloc_handle(render_handle_kind::render_target);
    ASSERT_TRUE(manager->create_render_target(back_buffer));
    EXPECT_EQ(back_buffer.description.width, 1280u);
    EXPECT_EQ(back_buffer.description.height, 720u);
    const RenderTargetRecord *bb = manager->render_target(back_buffer.handle);
    ASSERT_NE(bb, nullptr);
    ASSERT_EQ(bb->linear_targets.size(), 1u);
    D3D11_RENDER_TARGET_VIEW_DESC rtv{};
    bb->srgb_targets[0]->GetDesc(&rtv);
    EXPECT_EQ(rtv.Format, DXGI_FORMAT_R8G8B8A8_UNORM_SRGB);
    front->add_window_targets(window, &back_buffer);

    // A half-size HDR target made for every window.
    DependentRenderTarget half(default_allocator(), TargetDependency{front->back_buffer_key(), 0.5f, 0.5f, 1, 1});
    half.description.format = 11;
    submit([&](RenderResourceContext &c) { c.create_resource(&half); });
    RenderTarget *instance = front->render_target(&half, window);
    ASSERT_NE(instance, nullptr);
    const RenderTargetRecord *half_record = manager->render_target(instance->handle);
    ASSERT_NE(half_record, nullptr);
    EXPECT_EQ(half_record->desc.width, 640u);
    EXPECT_EQ(half_record->desc.height, 360u);

    // Resize: the back-buffer references go, the chain resizes, the targets come back in
    // the slots just freed and are cleared as new targets.
    const u32 slots_before[2] = {manager->slot_of(back_buffer.handle), manager->slot_of(instance->handle)};
    Array<RenderTarget *> targets(default_allocator());
    targets.push_back(&back_buffer);
    targets.push_back(instance);
    manager->release_all(targets);
    ASSERT_TRUE(SUCCEEDED(swap_chains[window]->ResizeBuffers(0, 800, 600, DXGI_FORMAT_UNKNOWN, 0)));
    hl::headless_clear_journal(immediate);
    manager->create_all(targets);
    EXPECT_EQ(back_buffer.description.width, 800u);
    EXPECT_EQ(manager->render_target(instance->handle)->desc.width, 400u);
    EXPECT_EQ(manager->render_target(instance->handle)->desc.height, 300u);
    const u32 slots_after[2] = {manager->slot_of(back_buffer.handle), manager->slot_of(instance->handle)};
    EXPECT_EQ(std::min(slots_before[0], slots_before[1]), std::min(slots_after[0], slots_after[1]));
    EXPECT_EQ(std::max(slots_before[0], slots_before[1]), std::max(slots_after[0], slots_after[1]));
    auto journal = hl::headless_journal(immediate);
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].op, hl::ContextOp::clear_render_target_view);
    EXPECT_EQ(journal[1].op, hl::ContextOp::clear_render_target_view);

    submit([&](RenderResourceContext &c) { c.release_resource(&half); });
    manager->release(RenderResourceType::BackBuffer, back_buffer.handle);
    front->remove_window_targets(window);
}

TEST_F(ManagerTest, FlaggedTargetsAreClearedAfterPresent)
{
    struct Case {
        const char *name;
        u32 format;
        u8 multisampled, hint, suppress;
        bool cleared;
    };
    const Case cases[] = {
        {"depth always", 3, 0, 0, 0, true},        {"plain colour", 0, 0, 0, 0, false},
        {"hint", 0, 0, 1, 0, true},                {"multisampled", 0, 1, 0, 0, true},
        {"hint but suppressed", 0, 0, 1, 1, false},
    };
    const u32 window = add_swap_chain(64, 64);
    BackBufferWrapper back_buffer(default_allocator(), window);
    back_buffer.handle = front->handle_pool().alloc_handle(render_handle_kind::render_target);
    back_buffer.suppress_clear = 1;
    ASSERT_TRUE(manager->create_render_target(back_buffer));
    front->add_window_targets(window, &back_buffer);
    std::vector<RenderTarget *> templates;
    for (const Case &c : cases) {
        auto *t = make_new<RenderTarget>(default_allocator(), default_allocator());
        t->description = {c.format, 0, 32, 32, 1, 1};
        t->multisampled = c.multisampled;
        t->sample_count = c.multisampled ? 2 : 1;
        t->hint_needs_clearing = c.hint;
        t->suppress_clear = c.suppress;
        t->clear_color[0] = 0.5f;
        templates.push_back(t);
        submit([&](RenderResourceContext &ctx) { ctx.create_resource(t); });
    }
    for (u32 i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        RenderTarget *instance = front->render_target(templates[i], window);
        ASSERT_NE(instance, nullptr);
        const RenderTargetRecord *record = manager->render_target(instance->handle);
        ASSERT_NE(record, nullptr);
        hl::headless_clear_journal(immediate);
        manager->clear_flagged_targets(immediate, window);
        const u64 view = record->is_depth ? hl::headless_object_id(record->depth_targets[0].get())
                                          : hl::headless_object_id(record->linear_targets[0].get());
        bool cleared = false;
        for (const hl::JournalEntry &e : hl::headless_journal(immediate))
            if (!e.objects.empty() && e.objects[0] == view)
                cleared = true;
        EXPECT_EQ(cleared, cases[i].cleared);
    }
    submit([&](RenderResourceContext &ctx) {
        for (RenderTarget *t : templates)
            ctx.release_resource(t);
    });
    for (RenderTarget *t : templates)
        delete_with_allocator(default_allocator(), t);
    manager->release(RenderResourceType::BackBuffer, back_buffer.handle);
    front->remove_window_targets(window);
}

// Writes raw records, as a broken or hostile front end might.
struct StreamWriter {
    CommandBuffer buffer{default_allocator(), 1024};
    template <typename T> void add(ResourceUpdate type, const T &payload)
    {
        buffer.write(u32(type), &payload, sizeof payload);
    }
};

TEST_F(ManagerTest, BadRecordsAreSkippedAndTheStreamGoesOn)
{
    RenderResourceHandlePool &pool = front->handle_pool();
    const RenderResourceHandle a = pool.alloc_handle(render_handle_kind::vertex_buffer);
    const RenderResourceHandle b = pool.alloc_handle(render_handle_kind::vertex_buffer);
    const RenderResourceHandle c = pool.alloc_handle(render_handle_kind::vertex_buffer);
    auto buffer = [](RenderResourceHandle handle, RenderResourceType type = RenderResourceType::VertexBuffer) {
        UpdateCreateBuffer record{};
        record.description.resource = {type, handle};
        record.description.element_count = 4;
        record.description.element_size = 16;
        record.data = nullptr;
        return record;
    };
    StreamWriter w;
    w.add(ResourceUpdate::CreateVertexBuffer, buffer(a));
    w.buffer.write(12, "junk", 4);                                         // unknown type
    w.add(ResourceUpdate::ReleaseVertexBuffer, UpdateRelease{RenderResourceType::VertexBuffer, a});
    w.add(ResourceUpdate::ReleaseVertexBuffer, UpdateRelease{RenderResourceType::VertexBuffer, a}); // twice
    w.add(ResourceUpdate::ReleaseTexture, UpdateRelease{RenderResourceType::Texture, b});         // never made
    w.add(ResourceUpdate::CreateVertexBuffer, buffer(b, RenderResourceType::IndexBuffer));         // wrong type
    w.add(ResourceUpdate::CreateIndexBuffer, buffer(make_render_handle(9, 3), RenderResourceType::IndexBuffer));
    w.buffer.write(u32(ResourceUpdate::CreateVertexBuffer), "short", 5);   // payload too short
    w.add(ResourceUpdate::CreateVertexBuffer, buffer(b));
    w.add(ResourceUpdate::CreateVertexBuffer, buffer(c));
    ProcessResult result = manager->process(w.buffer);
    EXPECT_EQ(result.executed, 4u);
    EXPECT_EQ(result.skipped, 6u);
    EXPECT_FALSE(result.truncated);
    // The double release did not put a's slot on the free list twice.
    ASSERT_NE(manager->vertex_buffer(b), nullptr);
    ASSERT_NE(manager->vertex_buffer(c), nullptr);
    EXPECT_NE(manager->slot_of(b), manager->slot_of(c));
    EXPECT_EQ(manager->slot_of(b), 0u); // a's freed slot, reused
    EXPECT_EQ(manager->live_count(RenderResourceType::VertexBuffer), 2u);

    // A record that claims more bytes than the stream holds ends it.
    CommandBuffer cut(default_allocator(), 64);
    UpdateRelease release{RenderResourceType::VertexBuffer, b};
    u32 at = 0;
    cut.write(u32(ResourceUpdate::ReleaseVertexBuffer), &release, sizeof release, &at);
    CommandHeader header;
    memcpy(&header, cut.at(at), sizeof header);
    header.size = 4096;
    memcpy(cut.at(at), &header, sizeof header);
    result = manager->process(cut);
    EXPECT_TRUE(result.truncated);
    EXPECT_EQ(result.executed, 0u);
    EXPECT_NE(manager->vertex_buffer(b), nullptr);
}

TEST_F(ManagerTest, CreateOnALiveHandleRemakesWithoutLeaking)
{
    RenderTarget target(default_allocator());
    target.window_index = 0;
    target.description = {0, 0, 16, 16, 1, 1};
    submit([&](RenderResourceContext &c) { c.create_resource(&target); });
    const u32 textures = hl::headless_live_count(hl::ObjectKind::texture2d);
    UpdateCreateRenderTarget again{&target, target.handle};
    StreamWriter w;
    w.add(ResourceUpdate::CreateRenderTarget, again);
    w.add(ResourceUpdate::CreateRenderTarget, again);
    EXPECT_EQ(manager->process(w.buffer).executed, 2u);
    EXPECT_EQ(hl::headless_live_count(hl::ObjectKind::texture2d), textures);
    EXPECT_EQ(manager->live_count(RenderResourceType::RenderTarget), 1u);
    submit([&](RenderResourceContext &c) { c.release_resource(&target); });
}

TEST_F(ManagerTest, SlotsAreReusedLastFreedFirstAndStreamsStartAligned)
{
    RenderResourceHandlePool &pool = front->handle_pool();
    RenderResourceHandle h[3];
    StreamWriter w;
    for (RenderResourceHandle &handle : h) {
        handle = pool.alloc_handle(render_handle_kind::vertex_buffer);
        UpdateCreateBuffer record{};
        record.description.resource = {RenderResourceType::VertexBuffer, handle};
        record.description.mode = buffer_mode::cpu_memory;
        w.add(ResourceUpdate::CreateVertexBuffer, record);
    }
    w.add(ResourceUpdate::ReleaseVertexBuffer, UpdateRelease{RenderResourceType::VertexBuffer, h[0]});
    w.add(ResourceUpdate::ReleaseVertexBuffer, UpdateRelease{RenderResourceType::VertexBuffer, h[2]});
    // The same stream one byte into an unaligned copy: reading starts at the first
    // aligned address, where the copy's records begin after 3 bytes of padding.
    std::vector<u8> shifted(w.buffer.write_offset() + 8);
    u8 *base = shifted.data();
    const u32 lead = u32((4 - (reinterpret_cast<uintptr_t>(base + 1) & 3)) & 3);
    memcpy(base + 1 + lead, w.buffer.data(), w.buffer.write_offset());
    ProcessResult result = manager->process(base + 1, 0, lead + w.buffer.write_offset());
    EXPECT_EQ(result.executed, 5u);
    EXPECT_EQ(result.skipped, 0u);

    StreamWriter again;
    const RenderResourceHandle x = pool.alloc_handle(render_handle_kind::vertex_buffer);
    const RenderResourceHandle y = pool.alloc_handle(render_handle_kind::vertex_buffer);
    for (RenderResourceHandle handle : {x, y}) {
        UpdateCreateBuffer record{};
        record.description.resource = {RenderResourceType::VertexBuffer, handle};
        record.description.mode = buffer_mode::cpu_memory;
        again.add(ResourceUpdate::CreateVertexBuffer, record);
    }
    manager->process(again.buffer);
    EXPECT_EQ(manager->slot_of(x), 2u); // freed last
    EXPECT_EQ(manager->slot_of(y), 0u);
}

TEST_F(ManagerTest, CopiesReachTexturesAndTargetsWithTheBoxClamped)
{
    std::vector<u8> source_bytes(8 * 8 * 4);
    for (u32 i = 0; i < source_bytes.size(); ++i)
        source_bytes[i] = u8(i);
    Texture source(default_allocator());
    source.description = {1, 0, 8, 8, 1, 1}; // R32F: no swap
    source.data.push_back(source_bytes.data());
    RenderTarget small(default_allocator());
    small.window_index = 0;
    small.description = {1, 0, 4, 4, 1, 1};
    submit([&](RenderResourceContext &c) {
        c.create_resource(&source);
        c.create_resource(&small);
    });
    hl::headless_clear_journal(immediate);

    // A whole copy into a smaller target takes its 4 x 4 corner.
    manager->copy_texture_region(immediate, CommandCopyTarget{small.handle, source.handle, {0, 0, 0, 0, 0, 0}});
    std::vector<u8> copied = bytes_of(manager->render_target(small.handle)->object->resource());
    ASSERT_EQ(copied.size(), 64u);
    for (u32 row = 0; row < 4; ++row)
        EXPECT_EQ(0, memcmp(copied.data() + row * 16, source_bytes.data() + row * 32, 16)) << row;

    // A box past the source is cut to it; unknown handles copy nothing.
    manager->copy_texture_region(immediate, CommandCopyTarget{small.handle, source.handle, {6, 6, 0, 20, 20, 1}});
    manager->copy_texture_region(immediate, CommandCopyTarget{make_render_handle(0, 999), source.handle, {}});
    manager->copy_texture_region(immediate, CommandCopyTarget{small.handle, make_render_handle(1, 999), {}});
    u32 copies = 0;
    for (const hl::JournalEntry &e : hl::headless_journal(immediate)) {
        if (e.op != hl::ContextOp::copy_subresource_region)
            continue;
        ++copies;
    }
    EXPECT_EQ(copies, 2u);
    submit([&](RenderResourceContext &c) {
        c.release_resource(&source);
        c.release_resource(&small);
    });
}

void fill_ones(void *destination, u32 element_size, u32 count) { memset(destination, 1, u64(element_size) * count); }

TEST_F(ManagerTest, BufferUpdatesLandOnTheContextThatRunsThem)
{
    BufferDescription vb{};
    vb.resource.type = RenderResourceType::VertexBuffer;
    vb.element_count = 4;
    vb.element_size = 8;
    vb.fill = fill_ones;
    submit([&](RenderResourceContext &c) { c.create_resource(&vb.resource); });
    const BufferRecord *record = manager->vertex_buffer(vb.resource.handle);
    ASSERT_NE(record, nullptr);
    ID3D11Buffer *buffer = record->object->buffer.get();
    EXPECT_EQ(hl::headless_resource_bytes(buffer), std::vector<u8>(32, 1));

    // Command 0 recorded on a deferred context changes nothing until its list runs.
    ID3D11DeviceContext *deferred = nullptr;
    ASSERT_TRUE(SUCCEEDED(device->CreateDeferredContext(0, &deferred)));
    const std::vector<u8> fresh(16, 7);
    UpdateCreateBuffer update{};
    update.description = vb;
    update.description.element_count = 2;
    update.data = fresh.data();
    manager->update_resource(deferred, u32(RenderCommand::UpdateVertexBuffer), reinterpret_cast<const u8 *>(&update),
                             sizeof update);
    EXPECT_EQ(hl::headless_resource_bytes(buffer), std::vector<u8>(32, 1));
    ID3D11CommandList *list = nullptr;
    ASSERT_TRUE(SUCCEEDED(deferred->FinishCommandList(FALSE, &list)));
    immediate->ExecuteCommandList(list, FALSE);
    std::vector<u8> expected(32, 1);
    std::fill(expected.begin(), expected.begin() + 16, 7);
    EXPECT_EQ(hl::headless_resource_bytes(buffer), expected);
    EXPECT_EQ(record->count, 4u);
    list->Release();
    deferred->Release();
    submit([&](RenderResourceContext &c) { c.release_resource(&vb.resource); });
}

TEST_F(ManagerTest, EverythingLeftAliveGoesWithTheManager)
{
    static const u8 texels[16] = {};
    Texture texture(default_allocator());
    texture.description = {0, 0, 2, 2, 1, 1};
    texture.data.push_back(texels);
    RenderTarget target(default_allocator());
    target.window_index = 0;
    target.description = {3, 0, 8, 8, 1, 1};
    BufferDescription vb{};
    vb.resource.type = RenderResourceType::VertexBuffer;
    vb.element_count = 3;
    vb.element_size = 12;
    BufferDescription ib{};
    ib.resource.type = RenderResourceType::IndexBuffer;
    ib.element_count = 3;
    VertexDeclaration declaration;
    declaration.channel_count = 1;
    declaration.channels[0] = {0, 2, 0, 0, 0, {}};
    submit([&](RenderResourceContext &c) {
        c.create_resource(&texture);
        c.create_resource(&target);
        c.create_resource(&vb.resource);
        c.create_resource(&ib.resource);
        c.create_resource(&declaration.resource);
    });
    EXPECT_GT(live_children(), 0u);
    // TearDown destroys the manager without releases and expects nothing left.
}

} // namespace
} // namespace tallow::render::d3d11::test

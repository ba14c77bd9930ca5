// Resource contexts: create and release records as the device decodes them, and when
// released handles may be reused.
#include "render/resources/render_resource_context.h"
#include "render/resources/render_resource_set.h"
#include "tests/support/fakes/recording_allocator.h"
#include "tests/support/fakes/recording_render_device.h"

#include "foundation/memory/memory_globals.h"

#include <gtest/gtest.h>

namespace tallow {
namespace {

using test::DecodedUpdate;
using test::RecordingRenderDevice;

void fill_ramp(void *destination, u32 element_size, u32 count)
{
    u8 *bytes = static_cast<u8 *>(destination);
    for (u32 i = 0; i < element_size * count; ++i)
        bytes[i] = u8(i);
}

void fill_indices(void *destination, u32 is_32_bit, u32 count)
{
    for (u32 i = 0; i < count; ++i) {
        if (is_32_bit)
            static_cast<u32 *>(destination)[i] = i;
        else
            static_cast<u16 *>(destination)[i] = u16(i);
    }
}

struct ResourceContextFixture : ::testing::Test {
    RecordingRenderDevice device{default_allocator()};

    void execute(RenderResourceContext *context)
    {
        context->set_event(true);
        device.update_resources(1, &context);
        context->set_event(false);
    }
};

TEST_F(ResourceContextFixture, CreateAndReleaseStreamsDecodeBack)
{
    Texture texture(default_allocator());
    texture.description = {3, 0, 64, 32, 1, 2};
    static const u8 mip0[4] = {}, mip1[4] = {};
    texture.data.push_back(mip0);
    texture.data.push_back(mip1);

    BufferDescription vb{};
    vb.resource.type = RenderResourceType::VertexBuffer;
    vb.element_count = 3;
    vb.element_size = 12;
    vb.fill = fill_ramp;
    BufferDescription ib{};
    ib.resource.type = RenderResourceType::IndexBuffer;
    ib.element_count = 6;
    ib.element_size = 0; // 16-bit
    ib.fill = fill_indices;
    VertexDeclaration declaration;
    declaration.channel_count = 2;
    RenderResource shader{RenderResourceType::Shader};

    RenderResourceContext *context = device.alloc_resource_context();
    ASSERT_TRUE(context->create_resource(&texture));
    ASSERT_TRUE(context->create_resource(&vb.resource));
    ASSERT_TRUE(context->create_resource(&ib.resource));
    ASSERT_TRUE(context->create_resource(&declaration.resource));
    ASSERT_TRUE(context->create_resource(&shader));
    EXPECT_EQ(render_kind_of(texture.handle), render_handle_kind::texture);
    EXPECT_EQ(render_kind_of(vb.resource.handle), render_handle_kind::vertex_buffer);
    EXPECT_EQ(render_kind_of(ib.resource.handle), render_handle_kind::index_buffer);
    EXPECT_EQ(render_kind_of(declaration.resource.handle), render_handle_kind::vertex_declaration);
    EXPECT_EQ(render_kind_of(shader.handle), render_handle_kind::shader);
    const RenderResourceHandle texture_handle = texture.handle;
    context->release_resource(&texture);
    EXPECT_EQ(texture.handle, invalid_render_handle);
    execute(context);

    const std::vector<DecodedUpdate> &u = device.updates();
    ASSERT_EQ(u.size(), 6u);
    EXPECT_EQ(u[0].type, ResourceUpdate::CreateTexture);
    EXPECT_EQ(u[0].handle, texture_handle);
    EXPECT_EQ(u[0].texture.width, 64u);
    EXPECT_EQ(u[0].texture.mip_count, 2u);
    ASSERT_EQ(u[0].texture_data.size(), 2u);
    EXPECT_EQ(u[0].texture_data[1], mip1);

    EXPECT_EQ(u[1].type, ResourceUpdate::CreateVertexBuffer);
    EXPECT_EQ(u[1].buffer.element_count, 3u);
    ASSERT_NE(u[1].data, nullptr);
    EXPECT_EQ(static_cast<const u8 *>(u[1].data)[35], 35) << "the fill function wrote the copy";

    EXPECT_EQ(u[2].type, ResourceUpdate::CreateIndexBuffer);
    ASSERT_NE(u[2].data, nullptr);
    EXPECT_EQ(static_cast<const u16 *>(u[2].data)[5], 5) << "16-bit indices";

    EXPECT_EQ(u[3].type, ResourceUpdate::CreateVertexDeclaration);
    EXPECT_EQ(u[3].channel_count, 2u);
    EXPECT_EQ(u[4].type, ResourceUpdate::CreateShader);
    EXPECT_EQ(u[4].shader, &shader);
    EXPECT_EQ(u[5].type, ResourceUpdate::ReleaseTexture) << "created and released in one context: 10 then 11";
    EXPECT_EQ(u[5].handle, texture_handle);
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();

    for (RenderResource *r : {&vb.resource, &ib.resource, &declaration.resource, &shader})
        context->release_resource(r);
    execute(context);
    EXPECT_TRUE(device.objects().empty());
    EXPECT_TRUE(device.errors().empty());
    device.release_resource_context(context);
}

TEST_F(ResourceContextFixture, DynamicBufferPointsAtItsArray)
{
    Array<u8> bytes(default_allocator());
    bytes.resize(48);
    BufferDescription vb = make_vertex_buffer_resource(buffer_mode::cpu_memory, 4, 12, &bytes);
    BufferDescription empty = make_vertex_buffer_resource(buffer_mode::cpu_memory, 0, 12, nullptr);
    RenderResourceContext *context = device.alloc_resource_context();
    ASSERT_TRUE(context->create_resource(&vb.resource));
    ASSERT_TRUE(context->create_resource(&empty.resource));
    EXPECT_EQ(context->copies().live_count(), 0u) << "dynamic data is not copied";
    execute(context);
    ASSERT_EQ(device.updates().size(), 2u);
    EXPECT_EQ(device.updates()[0].data, bytes.data());
    EXPECT_EQ(device.updates()[0].buffer.mode, buffer_mode::cpu_memory);
    EXPECT_EQ(device.updates()[0].buffer.dynamic, 1u);
    EXPECT_EQ(device.updates()[1].data, nullptr);
    context->release_resource(&vb.resource);
    context->release_resource(&empty.resource);
    execute(context);
    device.release_resource_context(context);
}

TEST_F(ResourceContextFixture, ReleasedIndexIsNotReusedBeforeTheReleaseExecuted)
{
    RenderResource a{RenderResourceType::Shader};
    RenderResourceContext *loader = device.alloc_resource_context();
    RenderResourceContext *main = device.alloc_resource_context();
    ASSERT_TRUE(loader->create_resource(&a));
    execute(loader);
    const u32 old_index = render_index_of(a.handle);

    main->release_resource(&a); // filed, not yet executed
    EXPECT_EQ(main->pending_release_count(), 1u);
    RenderResource b{RenderResourceType::Shader};
    ASSERT_TRUE(loader->create_resource(&b));
    EXPECT_NE(render_index_of(b.handle), old_index) << "the old object still lives under that index";

    // The loader's stream reaches the device first: its create must not collide.
    execute(loader);
    execute(main);
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();
    EXPECT_EQ(main->pending_release_count(), 0u);

    RenderResource c{RenderResourceType::Shader};
    ASSERT_TRUE(loader->create_resource(&c));
    EXPECT_EQ(render_index_of(c.handle), old_index) << "back in the pool once executed";
    loader->release_resource(&b);
    loader->release_resource(&c);
    execute(loader);
    device.release_resource_context(loader);
    device.release_resource_context(main);
}

TEST_F(ResourceContextFixture, ReleasesThatWriteNothing)
{
    RenderResourceContext *context = device.alloc_resource_context();
    struct Case {
        const char *name;
        RenderResourceType type;
        RenderResourceHandle handle;
    };
    const Case cases[] = {
        {"type 4", RenderResourceType(4), 0x04000001u},
        {"type 7", RenderResourceType(7), 0x07000002u},
        {"never created", RenderResourceType::Shader, invalid_render_handle},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RenderResource r{c.type, c.handle};
        context->release_resource(&r);
        EXPECT_EQ(r.handle, invalid_render_handle);
    }
    EXPECT_TRUE(context->stream().is_empty());

    RenderResource shader{RenderResourceType::Shader};
    ASSERT_TRUE(context->create_resource(&shader));
    EXPECT_FALSE(context->create_resource(&shader)) << "a second create would leak the first handle";
    context->release_resource(&shader);
    context->release_resource(&shader); // the second release finds no handle
    execute(context);
    ASSERT_EQ(device.updates().size(), 2u);
    EXPECT_TRUE(device.errors().empty()) << device.errors().front();
    EXPECT_EQ(device.handle_pool().live_count(), 0u);
    device.release_resource_context(context);
}

TEST(RenderResourceAllocator, DestroyFreesEverythingStillLive)
{
    test::RecordingAllocator backing;
    {
        RenderResourceAllocator copies(backing);
        void *a = copies.allocate(16, 4);
        copies.allocate(32, 4);
        void *c = copies.allocate(64, 4);
        copies.deallocate(a);
        EXPECT_FALSE(backing.is_live(a));
        copies.allocate(8, 4);
        EXPECT_EQ(copies.live_count(), 3u);
        EXPECT_TRUE(backing.is_live(c));
    }
    EXPECT_EQ(backing.live_count(), 0u);
}

TEST_F(ResourceContextFixture, ResourceSetCreatesWhatItOwns)
{
    RenderResourceSet set(default_allocator());
    Allocator &a = set.allocator();
    RenderTarget *own = make_new<RenderTarget>(a, a);
    own->window_index = 0; // not a template: a plain target for window 0
    Texture *external = make_new<Texture>(default_allocator(), default_allocator());
    RenderResource borrowed{RenderResourceType::Shader};
    set.add(30, own, true, false);
    set.add(10, external, true, true);
    set.add(20, &borrowed);
    ASSERT_EQ(set.entries().size(), 3u);
    EXPECT_EQ(set.entries()[0].name, 10u) << "sorted by name";
    EXPECT_EQ(set.find(30), own);
    EXPECT_EQ(set.find(25), nullptr);

    RenderResourceContext *context = device.alloc_resource_context();
    set.create_all(*context);
    EXPECT_NE(own->handle, invalid_render_handle);
    EXPECT_EQ(external->handle, invalid_render_handle) << "create_all skips external entries";
    EXPECT_EQ(borrowed.handle, invalid_render_handle) << "and entries not made here";
    set.destroy_all(*context);
    execute(context);
    set.release(); // destroys `own`; `external` stays with its owner
    ASSERT_EQ(set.entries().size(), 1u);
    EXPECT_EQ(set.entries()[0].name, 20u);
    delete_with_allocator(default_allocator(), external);
    device.release_resource_context(context);
}

} // namespace
} // namespace tallow

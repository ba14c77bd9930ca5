// The "package" and "mouse_cursor" resource readers, fed good and damaged bytes.
#include "foundation/io/memory_buffer.h"
#include "tests/resource/resource_fixture.h"

namespace tallow::test {
namespace {

void *run_load(const ResourceTypeCallbacks &callbacks, const std::vector<u8> &bytes, Allocator &allocator)
{
    InputArchive archive(make_shared_reference<MemoryInputBuffer>(allocator, bytes.data(), bytes.size()));
    return callbacks.load(
        ResourceLoadParams{callbacks.userdata, NameId64("t"), NameId64("n"), archive, bytes.size(), allocator, 0});
}

std::vector<u8> words(std::initializer_list<u32> values, u32 extra_bytes = 0)
{
    Array<u8> out(default_allocator());
    for (u32 v : values)
        append_u32(out, v);
    for (u32 i = 0; i < extra_bytes; ++i)
        out.push_back(u8(i));
    return std::vector<u8>(out.begin(), out.end());
}

TEST(ResourceTypes, PackageResourceReadsItsListAndRejectsBadCounts)
{
    TraceAllocator allocator("package_test", default_allocator());
    ResourceTypeCallbacks callbacks = package_resource_callbacks();
    std::string good = package_resource({{"lua", "boot"}, {"data", "x"}});
    std::vector<u8> bytes(good.begin(), good.end());
    auto *list = static_cast<Array<ResourceId> *>(run_load(callbacks, bytes, allocator));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 2u);
    EXPECT_TRUE((*list)[0] == resource_id("lua", "boot"));
    callbacks.unload(ResourceUnloadParams{nullptr, package_type, list, allocator, 0});

    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"count without entries", words({1})},
        {"count one more", std::vector<u8>(bytes.begin(), bytes.end() - 1)},
        {"count huge", words({0xFFFFFFFFu, 1, 2, 3, 4})},
    };
    ResourceLogCapture log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_load(callbacks, c.bytes, allocator), nullptr);
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

TEST(ResourceTypes, MouseCursorChecksItsSizes)
{
    TraceAllocator allocator("cursor_test", default_allocator());
    struct Factory {
        u32 made = 0, destroyed = 0;
    } counts;
    MouseCursorFactory factory;
    factory.context = &counts;
    factory.create = [](void *c, const MouseCursor &image) -> u64 {
        ++static_cast<Factory *>(c)->made;
        return image.width == 2 ? 77 : 0;
    };
    factory.destroy = [](void *c, u64) { ++static_cast<Factory *>(c)->destroyed; };
    ResourceTypeCallbacks callbacks = mouse_cursor_callbacks(&factory);

    auto *cursor = static_cast<MouseCursor *>(run_load(callbacks, words({2, 2, 1, 0, 16}, 16), allocator));
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->hot_spot_x, 1u);
    EXPECT_EQ(cursor->pixels[15], 15);
    callbacks.bring_in(callbacks.userdata, cursor);
    EXPECT_EQ(cursor->cursor, 77u);
    callbacks.bring_out(callbacks.userdata, cursor);
    EXPECT_EQ(counts.destroyed, 1u);
    callbacks.unload(ResourceUnloadParams{nullptr, mouse_cursor_type, cursor, allocator, 0});

    struct Case {
        const char *name;
        std::vector<u8> bytes;
    };
    const Case cases[] = {
        {"header cut", words({2, 2, 1})},
        {"byte count too small", words({2, 2, 0, 0, 12}, 16)},
        {"pixels cut", words({2, 2, 0, 0, 16}, 15)},
        {"size overflows 32 bits", words({0x10000, 0x10000, 0, 0, 0}, 16)},
    };
    ResourceLogCapture log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_load(callbacks, c.bytes, allocator), nullptr);
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

} // namespace
} // namespace tallow::test

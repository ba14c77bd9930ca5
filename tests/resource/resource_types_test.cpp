// The "package", "mouse_cursor" and "strings" resource readers, fed good and damaged bytes.
#include "foundation/io/memory_buffer.h"
#include "resource/strings_resource.h"
#include "resource/strings_writer.h"
#include "tests/resource/resource_fixture.h"

#include <algorithm>

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

namespace tallow::test {
namespace {

TEST(ResourceTypes, StringsResourceFindsEveryTextAndRefusesDamagedTables)
{
    TraceAllocator allocator("strings_test", default_allocator());
    const StringsEntry entries[] = {{"menu_start", "Start"}, {"menu_quit", "Quit"}, {"title", "A game"},
                                    {"empty", ""},           {"greeting", "Grüße"}};
    Array<u8> built(default_allocator());
    ASSERT_TRUE(build_strings_resource(entries, 5, built));
    std::vector<u8> bytes(built.begin(), built.end());
    ResourceTypeCallbacks callbacks = strings_resource_callbacks();
    auto *strings = static_cast<StringsResource *>(run_load(callbacks, bytes, allocator));
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(strings->count, 5u);

    // Every id (the first and last records among them), and ids that are missing: below the
    // first key, above the last and between two keys.
    std::vector<u32> keys;
    for (const StringsEntry &e : entries) {
        const char *text = strings_lookup(*strings, NameId32(e.id));
        ASSERT_NE(text, nullptr) << e.id;
        EXPECT_STREQ(text, e.text);
        keys.push_back(NameId32(e.id).value());
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(strings_lookup(*strings, NameId32::from_value(keys.front() - 1)), nullptr);
    EXPECT_EQ(strings_lookup(*strings, NameId32::from_value(keys.back() + 1)), nullptr);
    EXPECT_EQ(strings_lookup(*strings, NameId32::from_value(keys[2] + 1)), nullptr);
    EXPECT_EQ(strings_lookup(*strings, NameId32("not there")), nullptr);
    allocator.deallocate(strings); // no unload callback: the block goes back to its allocator

    // Two ids with the same key cannot be told apart: the writer refuses them.
    const StringsEntry twice[] = {{"a", "1"}, {"a", "2"}};
    Array<u8> refused(default_allocator());
    {
        ResourceLogCapture log;
        EXPECT_FALSE(build_strings_resource(twice, 2, refused));
    }
    EXPECT_EQ(refused.size(), 0u);

    struct Case {
        const char *name;
        std::vector<u8> bytes;
        const char *reason;
    };
    const Case cases[] = {
        {"empty", {}, "the record count is larger than the resource"},
        {"count past the records", words({3, keys[0], 28, keys[1], 28}), "the record count is larger"},
        {"count huge", words({0x20000000u, 1, 2}), "the record count is larger"},
        {"offset past the end", words({1, keys[0], 64}, 4), "a text lies outside the resource"},
        {"offset at the end", words({1, keys[0], 12}), "a text lies outside the resource"},
        {"text without its end", std::vector<u8>(bytes.begin(), bytes.end() - 1), "has no end"},
        {"keys out of order", words({2, keys[1], 20, keys[0], 20}, 1), "the keys are not sorted"},
        {"key repeated", words({2, keys[0], 20, keys[0], 20}, 1), "the keys are not sorted or a key repeats"},
    };
    ResourceLogCapture log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *reason = nullptr;
        EXPECT_FALSE(validate_strings_resource(c.bytes.data(), c.bytes.size(), &reason));
        ASSERT_NE(reason, nullptr);
        EXPECT_NE(std::string(reason).find(c.reason), std::string::npos) << reason;
        EXPECT_EQ(run_load(callbacks, c.bytes, allocator), nullptr);
        EXPECT_TRUE(log.contains("refused"));
    }
    EXPECT_EQ(allocator.allocation_count(), 0u);
}

} // namespace
} // namespace tallow::test
